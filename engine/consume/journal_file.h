// The journal's file as bytes, apart from what they mean (journal.h): it
// holds only the file and the bytes not yet written to it. A journal is
// written whole under a temporary name, flushed, renamed into place and its
// folder flushed, so it never exists half written; after that it changes in
// place, each change flushed before it counts.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/env.h"

namespace ablative {

class JournalFile {
 public:
  // Starts a journal at `path`: its temporary file, created exclusively once
  // a leftover of that name is removed (a link itself, never what it leads
  // to), so no planted link redirects it.
  bool begin(const std::wstring& path);
  // Appends to the journal being written, held in memory until spill or commit.
  void append(std::span<const uint8_t> bytes);
  // Writes what was appended once it comes to `chunk` bytes or more.
  bool spill(uint64_t chunk);
  // Where every step since begin succeeded (`written`), writes the rest and
  // flushes it, renames the file into place, flushes its folder and opens it
  // for changes. Where writing or renaming fails, the temporary file is
  // removed, the system's reason kept.
  bool commit(bool written);

  // Opens the journal at `path` for changes.
  bool open(const std::wstring& path);
  // Writes `bytes` at `offset` in place and flushes them: true once durable.
  bool overwrite(uint64_t offset, std::span<const uint8_t> bytes);
  // Cuts the file at `length` and flushes the cut. Neither failure is
  // reported: a cut that fails only leaves the file longer, and one whose
  // flush fails is flushed by the next change.
  void cut(uint64_t length);
  void close();

 private:
  std::wstring path_;
  FileHandle file_;
  std::vector<uint8_t> pending_;  // appended, not yet written
};

}  // namespace ablative
