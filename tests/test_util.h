// Helpers shared by the engine tests: scratch folders and whole-file I/O.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "ablative.h"

namespace testutil {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// A fresh temporary folder, removed with its contents when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& relativeUtf8) const;

 private:
  fs::path path_;
  int linksBefore_ = 0;
};

std::wstring wide(const fs::path& path);                   // exact, names outside the Basic Multilingual Plane included
void writeFile(const fs::path& path, const Bytes& bytes);  // creates parent folders
void writeFile(const fs::path& path, const std::string& text);
Bytes readFile(const fs::path& path);
void allowRemoval(const fs::path& path);  // on Windows a read-only file refuses removal, and runs restore some
Bytes bytesOf(const std::string& text);
Bytes mixedBytes(size_t length, uint32_t seed);  // pseudo-random with runs mixed in, so both codecs occur
bool runningUnderWine();                         // which lacks some file-system controls

inline ablative::Status extractKeeping(const std::wstring& archive, const std::wstring& destination) {
  ablative::ExtractOptions options;
  options.keepOriginal = true;
  ablative::ExtractOutcome unused;
  return ablative::extractArchive(archive, destination, options, unused, {}, {}, {});
}

// Makes `link` a symbolic link to an existing `target`; false where none could be made. Under Wine the host makes it.
bool makeLink(const fs::path& target, const fs::path& link);

}  // namespace testutil
