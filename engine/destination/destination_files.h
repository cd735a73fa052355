// The destination files of one extraction. The run writes only into files
// it made itself: a file is made at its first write, once its data is in
// hand, by removing whatever stands at its path (other names of that file,
// inside or outside the destination, keep their bytes) and creating it anew,
// with its folders. A resumed run takes over the files an earlier run made.
// Files are reached through a small cache of open handles, so that an archive
// may hold any number of files whatever the process's limit on open files.
// Writes and new names are tracked until makeDurable, which makes them all
// durable at once.
//
// Everything below the destination folder is reached without following a
// link: a folder or file of the run that is a link (a reparse point on
// Windows) fails with "Destination path passes through a link: " + its path.
// The destination folder itself may be a link: the user named it.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "destination/write_behind.h"
#include "plan/extraction_plan.h"
#include "platform/env.h"
#include "status.h"

namespace ablative {

class DestinationFiles {
 public:
  // Per file: `relativeOf(index)` is its path below `root`, "/" between its
  // components, and `lengths` how long it ends up. Paths are built when
  // needed rather than held: for an archive of many files they would take
  // more memory than the archive's own tables. `kinds` says which are
  // folders, and which links.
  using RelativeOf = std::function<std::wstring(uint32_t)>;
  DestinationFiles(std::wstring root, RelativeOf relativeOf, std::vector<uint64_t> lengths,
                   std::vector<EntryKind> kinds);

  // Before anything is written: where the destination folder exists, every
  // path of the run that exists must be what the run may replace, else it
  // fails naming the path:
  //   "Destination path passes through a link: " + path
  //   "A folder stands where the archive has a file: " + path
  //   "A file stands where the archive has a folder: " + path
  //   "Not a regular file, where the archive has a file: " + path
  //   "A folder stands where the archive has a link: " + path
  Status checkPaths();

  // Before anything is created: the length of file `index` where it is a
  // regular file, else false; and that file opened for reading.
  bool existingLength(uint32_t index, uint64_t& length);
  bool openExisting(uint32_t index, FileHandle& file);

  std::wstring pathOf(uint32_t index) const;

  // Creates the destination folder with its missing parents (durable with
  // the next makeDurable), else "Unable to create destination folder: " +
  // folder.
  Status createRoot();

  // A resumed run takes over file `index`, which an earlier run made and
  // wrote, where it still exists: it must have no other name than its own and
  // the hard links to it the plan makes (`names` in all), and, when
  // `cutBeyondLength`, anything beyond its final length is cut, with a flush,
  // so that bytes cut away cannot come back.
  //   "Destination file has other names (hard links), so this extraction did not make it: " + path
  Status adopt(uint32_t index, uint32_t names, bool cutBeyondLength);

  // Makes file `index` now, empty, replacing whatever stands at its path,
  // unless the run has made it already: for files no block fills.
  Status make(uint32_t index);

  // Makes folder `index` with its parents where it is missing: for folders
  // no file fills. Fails as write does making a file's folders.
  Status makeFolderEntry(uint32_t index);

  // Makes link `index` to `target` (see makeLinkBelow), with its folders,
  // replacing whatever stands at its path, and gives the link itself the time
  // `modifiedNs` (unless kNoTime), durable with the next makeDurable.
  // Where the system makes no links here, nothing is made and `refusal` says
  // why. Fails as write does making a file's folders, else with
  //   "Failed to create symbolic link " + path + " (code=" ..., or as
  // setMetadata does setting the time.
  Status makeLink(uint32_t index, const std::wstring& target, bool toFolder, int64_t modifiedNs, std::wstring& refusal);

  // Gives file `target`, whole, the further name of entry `index`,
  // replacing whatever stands there (removed only where the name is not
  // free); where the file system keeps one name a
  // file, copies it there instead. Fails as write does making a file's
  // folders, else with "Failed to create hard link " + path + " (code=" ...,
  // or as a copy's reads and writes do.
  Status makeHardLink(uint32_t index, uint32_t target);

  bool made(uint32_t index) const { return made_[index] != 0; }

  // The open file `index`, which the run made, reopened when the cache had
  // let it go; null with "Failed to open destination file " + its path and
  // the system's reason, or with the message of a flush or a close of the
  // file it displaced.
  Status open(uint32_t index, FileHandle*& file);

  // Writes `bytes` at `offset` of file `index` (block_io's messages), making
  // the file first if the run has not; the write is durable only after
  // makeDurable. Making it fails with:
  //   "Failed to create destination folder " + path + " (code=" ...
  //   "Failed to replace destination file " + path + " (code=" ...
  //   "Failed to open destination file " + path + " (code=" ...
  Status write(uint32_t index, uint64_t offset, std::span<const uint8_t> bytes);

  // Lengthens file `index` to its final length where it is shorter: the
  // bytes no block filled read as zeros. A file the run never wrote is made
  // for it only where nothing stands at its path: what is there is not the
  // run's to overwrite.
  Status fillToLength(uint32_t index);

  // Gives file or folder `index`, complete, its modification time unless
  // `modifiedNs` is kNoTime, then permission bits from `unixMode` unless it is
  // kNoMode, durable with the next makeDurable (or at once, where a file the
  // cache let go is flushed alone); never reopens the file for writing, so that
  // a run resumed after they were set, read-only included, sets them again;
  // else fails with:
  //   "Failed to set the modification time of: " + path + " (code=" ...
  //   "Failed to set the permissions of: " + path + " (code=" ...
  //   "Failed to flush destination file (code=" ...
  Status setMetadata(uint32_t index, int64_t modifiedNs, uint32_t unixMode);

  // Makes every write and every name made or removed since the last call
  // durable: with one flush of the file system where the platform has it and
  // more than one file or a name changed, else with a flush of each file
  // written and of each folder that changed. Failures, like those of closing,
  // read "Failed to flush destination file (code=".
  Status makeDurable();

  // Closes every open file, checking each close.
  Status closeAll();

 private:
  struct Slot {
    uint32_t file = 0;
    uint64_t lastUse = 0;
    FileHandle handle;
  };

  void markWritten(uint32_t index);  // for the next makeDurable
  bool openRoot();
  Status copy(uint32_t from, uint32_t to);
  bool syncFolders();
  bool makeFolder(const std::wstring& relative);
  Status clearPlace(uint32_t index, const wchar_t* replaceFailed);
  Status makeFile(uint32_t index);
  Status freeSlot(Slot*& slot);
  bool openIn(Slot& slot, uint32_t index, const std::wstring& relative, OpenMode mode);
  Status openInSlot(uint32_t index, OpenMode mode, FileHandle*& file);
  Status release(Slot& slot);
  Status failOnLink(const std::wstring& relative, const std::wstring& otherwise);

  std::wstring rootPath_;
  RelativeOf relativeOf_;
  std::vector<uint64_t> lengths_;
  std::vector<EntryKind> kinds_;
  std::vector<Slot> slots_;
  std::vector<int32_t> slotOf_;  // per file: its slot, or -1 while closed
  uint64_t useCounter_ = 0;
  FolderHandle root_;                       // the destination folder, once it exists
  std::vector<std::wstring> foldersAbove_;  // folders above it that gained an entry when it was created
  std::set<std::wstring> knownFolders_;     // below it: folders that exist now ("" is the root)
  std::set<std::wstring> changedFolders_;   // below it: folders that gained an entry
  std::vector<uint8_t> made_;               // per file: made (or adopted) by the run
  std::vector<uint8_t> unflushed_;          // per file: written since the last makeDurable
  std::vector<uint32_t> written_;           // the files so marked
  bool closedUnflushed_ = false;            // one of them was closed since
  bool namesChanged_ = false;               // since the last makeDurable
  bool metadataChanged_ = false;            // likewise: a file's flush of its data alone may leave it out
  WriteBehind writeBehind_;                 // last: its thread is done before the root closes
};

}  // namespace ablative
