// The destination files of one extraction. All of them, with their folders,
// are created before the first block; afterwards they are reached through a
// small cache of open handles, so that an archive may hold any number of
// files whatever the process's limit on open files.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "env.h"

namespace ablative {

class DestinationFiles {
 public:
  // Per file: `pathOf(index)` says where it goes, `lengths` how long it ends
  // up. Paths are built when needed rather than held: for an archive of many
  // files they would take more memory than the archive's own tables.
  using PathOf = std::function<std::wstring(uint32_t)>;
  DestinationFiles(PathOf pathOf, std::vector<uint64_t> lengths);

  // Creates the destination folder with its missing parents, else
  // "Unable to create destination folder: " + folder.
  bool createRoot(const std::wstring& folder, std::wstring& errorText);

  // Creates every file and its folders, in file order. A fresh run empties
  // existing files; a resumed one (`keepContent`) keeps what they hold but
  // cuts anything beyond the file's final length. A cut is flushed, so
  // bytes cut away cannot come back. Messages:
  //   "Failed to create destination directories (destination path may point to a file)"
  //   "Failed to open destination file"
  bool createAll(bool keepContent, std::wstring& errorText);

  // Flushes every folder that gained an entry (a file or a folder), so no
  // created name can vanish in a power loss.
  bool syncFolders();

  // The open file `index`, reopened when the cache had let it go; null with
  // "Failed to open destination file".
  FileHandle* open(uint32_t index, std::wstring& errorText);

  // Flushes each open file (ignoring the outcome) and closes it.
  void closeAll();

 private:
  struct Slot {
    uint32_t file = 0;
    uint64_t lastUse = 0;
    FileHandle handle;
  };

  bool makeFolder(const std::wstring& folder);
  bool createFile(uint32_t index, bool keepContent);
  FileHandle* openInSlot(uint32_t index, OpenMode mode);

  PathOf pathOf_;
  std::vector<uint64_t> lengths_;
  std::vector<Slot> slots_;
  std::vector<int32_t> slotOf_;        // per file: its slot, or -1 while closed
  uint64_t useCounter_ = 0;
  std::set<std::wstring> knownFolders_;    // folders that exist now
  std::set<std::wstring> changedFolders_;  // folders that gained an entry
};

}  // namespace ablative
