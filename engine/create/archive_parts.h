// The files creation writes an archive into: one file at the archive's path,
// or volumes of a fixed size whose concatenation is that file. Every part is
// written under a temporary name and renamed into place only once all of
// them are complete and flushed; any way out before all are in place
// removes them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "files/volume_set.h"
#include "platform/env.h"

namespace ablative {

class ArchiveParts {
 public:
  // `volumeBytes` 0: one file. A volume that starts below `keptOpenBelow`
  // stays open until finish(), to be written over; any other is flushed and
  // closed once full, so that a set of many volumes holds few open files.
  ArchiveParts(const std::wstring& archivePath, uint64_t volumeBytes, uint64_t keptOpenBelow);
  ArchiveParts(const ArchiveParts&) = delete;
  ArchiveParts& operator=(const ArchiveParts&) = delete;
  ~ArchiveParts();

  // Creates the first part. A leftover temporary goes by name (a link goes
  // itself, never what it leads to), and the file is then created
  // exclusively: nothing planted at that name can redirect the bytes. False
  // also where a folder stands at the part's own name.
  bool start();
  // Writes on from the end, opening the next volume when one is full.
  bool append(const uint8_t* data, uint64_t length);
  // Writes over bytes appended below `keptOpenBelow`; after the last append.
  bool overwrite(uint64_t offset, const uint8_t* data, uint64_t length);
  // Makes every part still open durable, and closes it.
  bool finish();
  // Renames the parts into place, in order; false at the first that fails,
  // and then every part of the set goes, those already renamed too.
  bool publish();

  size_t count() const { return parts_.size(); }
  const std::wstring& lastPath() const { return parts_.back().path; }

 private:
  struct Part {
    std::wstring path;  // where it goes; written at temporaryPathFor(path) until published
    FileHandle file;
    uint64_t written = 0;
    uint64_t handedOver = 0;  // bytes already handed to the disk
    bool created = false;     // the temporary is ours to remove
    bool published = false;
  };

  uint64_t capacity() const { return volumeBytes_ != 0 ? volumeBytes_ : UINT64_MAX; }
  bool openNext();
  bool write(Part& part, const uint8_t* data, uint64_t length);
  bool closeFull(Part& part, size_t index);

  const std::wstring archivePath_;
  const uint64_t volumeBytes_;
  const uint64_t keptOpenBelow_;
  std::vector<Part> parts_;
};

}  // namespace ablative
