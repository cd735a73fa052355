// Turns the user's source (one file or one folder tree) into the sorted list
// of regular files an archive will hold.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ablative {

struct SourceEntry {
  std::wstring sourcePath;       // the path to open the file by
  std::wstring relativePath;     // relative to the source, "/" between components; the sort key
  std::string relativePathUtf8;  // the name the archive stores
  uint64_t size = 0;             // at scan time; a link's target size
  uint32_t blockCount = 0;       // filled in by archive creation
  uint32_t firstBlock = 0;       // filled in by archive creation
};

// A single file gives one entry named by its last path component. A folder is
// walked recursively: regular files are taken, each under its own path inside
// the tree (a link to a file gives the link's path and the target's content),
// links to folders are not followed, dangling links and other objects are
// skipped, and sub-folders that deny access count as empty. The list is sorted
// by relativePath as UTF-16 code units, so the order is the same everywhere.
//
// An empty list means failure, with errorText set to one of:
//   "Input path does not exist", "Input path is neither a file nor a directory",
//   "Unable to access input path", "Failed while scanning source directory",
//   "Input directory contains no regular files",
//   "File name not supported by the archive format: " + path
std::vector<SourceEntry> collectSourceFiles(const std::wstring& inputPath, std::wstring& errorText);

}  // namespace ablative
