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

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes out of scope.
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

// The engine speaks wide strings; these convert a path exactly, names outside
// the Basic Multilingual Plane included, on both platforms.
std::wstring wide(const fs::path& path);

void writeFile(const fs::path& path, const Bytes& bytes);  // creates parent folders
void writeFile(const fs::path& path, const std::string& text);
Bytes readFile(const fs::path& path);
// Lets everything below `path` be removed: on Windows a read-only file refuses removal, and runs restore some.
void allowRemoval(const fs::path& path);
Bytes bytesOf(const std::string& text);

// Extracts `archive` into `destination`, keeping the archive.
inline ablative::Status extractKeeping(const std::wstring& archive, const std::wstring& destination) {
  ablative::ExtractOptions options;
  options.keepOriginal = true;
  ablative::ExtractOutcome unused;
  return ablative::extractArchive(archive, destination, options, unused, {}, {}, {});
}

// Deterministic pseudo-random bytes with runs mixed in, so both codecs occur.
Bytes mixedBytes(size_t length, uint32_t seed);

// True when the Windows build runs under Wine, which lacks some file-system controls.
bool runningUnderWine();

// Makes `link` a symbolic link to `target` (a file or a folder that exists). Wine has no symbolic links of its own,
// so there the link is made on the host, which Wine shows as a reparse point when it leads to a folder (and as the
// file itself when it leads to a file). False where no link could be made.
bool makeLink(const fs::path& target, const fs::path& link);

}  // namespace testutil
