// Turns the user's source (one file or one folder tree) into the sorted list
// of regular files an archive will hold.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "containers/zvka_format.h"

namespace ablative {

struct SourceEntry {
  std::string relativePathUtf8;  // relative to the source, "/" between components: the name the archive stores
  uint64_t size = 0;             // at scan time; a followed link's target size
  // Kept only by a scan of every entry: what the entry is, its link target
  // ("/" between components), its time and permission bits.
  EntryType type = EntryType::File;
  std::string linkTarget;
  int64_t modifiedNs = 0;
  uint32_t mode = 0;
};

// Files alone, links to files followed (every archive version); or every
// entry as it is, with its metadata: folders, links not followed (version 4).
enum class ScanScope { Files, EveryEntry };

// The files of one source. Each entry keeps only its stored name; the path to
// open it by is rebuilt when needed, since a tree of many files would
// otherwise hold every path twice more, in wide characters, for the whole run.
struct SourceFiles {
  std::wstring inputPath;
  bool inputIsFolder = false;
  std::vector<SourceEntry> entries;

  std::wstring sourcePathOf(const SourceEntry& entry) const;
};

// A single file gives one entry named by its last path component. A folder is
// walked recursively: regular files are taken, each under its own path inside
// the tree (a link to a file gives the link's path and the target's content),
// links to folders are not followed, dangling links and other objects are
// skipped, and sub-folders that deny access count as empty. The list is sorted
// by relative path as UTF-16 code units, so the order is the same everywhere.
//
// With ScanScope::EveryEntry, every folder below the source is an entry too,
// and a symbolic link is an entry of its own with its target, wherever it
// leads (where the platform reads no link targets, it is followed as above).
//
// Folders are listed by up to `threads` threads at once; the list is the same
// for any count.
//
// Fails, with no entries, with one of:
//   "Input path does not exist", "Input path is neither a file nor a directory",
//   "Unable to access input path",
//   "Failed while scanning source directory: " + folder + " (" + the system's reason + ")",
//   "Input directory contains no regular files" (with EveryEntry: no entries at all),
//   "Unable to access input path: " + path (EveryEntry: an entry's metadata or link target cannot be read),
//   "File name not supported by the archive format: " + path (a name with no
//   UTF-8 form, its bytes shown as \xNN, or one that an extraction on this
//   platform would refuse: isSafeStoredPath)
Status collectSourceFiles(const std::wstring& inputPath, ScanScope scope, unsigned threads, SourceFiles& source);

}  // namespace ablative
