// The destination files of one extraction. All of them, with their folders,
// are created before the first block; afterwards they are reached through a
// small cache of open handles, so that an archive may hold any number of
// files whatever the process's limit on open files. Writes are tracked until
// makeDurable, which flushes them all at once.
//
// Everything below the destination folder is reached without following a
// link: a folder or file of the run that is a link (a reparse point on
// Windows) fails with "Destination path passes through a link: " + its path.
// The destination folder itself may be a link: the user named it.
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
  // Per file: `relativeOf(index)` is its path below `root`, "/" between its
  // components, and `lengths` how long it ends up. Paths are built when
  // needed rather than held: for an archive of many files they would take
  // more memory than the archive's own tables.
  using RelativeOf = std::function<std::wstring(uint32_t)>;
  DestinationFiles(std::wstring root, RelativeOf relativeOf, std::vector<uint64_t> lengths);

  // Before anything is written: where the destination folder exists, none of
  // the folders and files of the run that exist may be a link.
  bool checkNoLinks(std::wstring& errorText);

  // Before anything is created: the length of file `index` where it is a
  // regular file, else false; and that file opened for reading.
  bool existingLength(uint32_t index, uint64_t& length);
  bool openExisting(uint32_t index, FileHandle& file);

  std::wstring pathOf(uint32_t index) const;

  // Creates the destination folder with its missing parents, else
  // "Unable to create destination folder: " + folder.
  bool createRoot(std::wstring& errorText);

  // Creates every file and its folders, in file order. A fresh run empties
  // existing files; a resumed one (`keepContent`) keeps what they hold but
  // cuts anything beyond the file's final length. A cut is flushed, so
  // bytes cut away cannot come back. Messages:
  //   "Failed to create destination directories (destination path may point to a file)"
  //   "Failed to open destination file"
  bool createAll(bool keepContent, std::wstring& errorText);

  // Makes every name created in or for the destination durable (each folder
  // that gained an entry, or its whole file system at once where the platform
  // can), so no created name can vanish in a power loss.
  bool syncFolders();

  // The open file `index`, reopened when the cache had let it go; null with
  // "Failed to open destination file", or with the message of a flush or a
  // close of the file it displaced.
  FileHandle* open(uint32_t index, std::wstring& errorText);

  // Writes `bytes` at `offset` of file `index` (block_io's messages); the
  // write is durable only after makeDurable.
  bool write(uint32_t index, uint64_t offset, const std::vector<uint8_t>& bytes, std::wstring& errorText);

  // Lengthens file `index` to its final length where it is shorter: the
  // bytes no block filled read as zeros.
  bool fillToLength(uint32_t index, std::wstring& errorText);

  // Makes every write since the last call durable: with one flush of the
  // file system where the platform has it and more than one file was
  // written, else with a flush of each file written. Failures, like those of
  // closing, read "Failed to flush destination file (code=".
  bool makeDurable(std::wstring& errorText);

  // Closes every open file, checking each close.
  bool closeAll(std::wstring& errorText);

 private:
  struct Slot {
    uint32_t file = 0;
    uint64_t lastUse = 0;
    FileHandle handle;
  };

  void markWritten(uint32_t index);  // for the next makeDurable
  bool openRoot();
  bool makeFolder(const std::wstring& relative);
  bool createFile(uint32_t index, bool keepContent);
  FileHandle* openInSlot(uint32_t index, OpenMode mode, std::wstring& errorText);
  bool release(Slot& slot, std::wstring& errorText);
  bool failOnLink(const std::wstring& relative, const wchar_t* otherwise, std::wstring& errorText);

  std::wstring rootPath_;
  RelativeOf relativeOf_;
  std::vector<uint64_t> lengths_;
  std::vector<Slot> slots_;
  std::vector<int32_t> slotOf_;  // per file: its slot, or -1 while closed
  uint64_t useCounter_ = 0;
  FolderHandle root_;                       // the destination folder, once it exists
  std::vector<std::wstring> foldersAbove_;  // folders above it that gained an entry when it was created
  std::set<std::wstring> knownFolders_;     // below it: folders that exist now ("" is the root)
  std::set<std::wstring> changedFolders_;   // below it: folders that gained an entry
  std::vector<uint8_t> unflushed_;          // per file: written since the last makeDurable
  std::vector<uint32_t> written_;           // the files so marked
  bool closedUnflushed_ = false;            // one of them was closed since
};

}  // namespace ablative
