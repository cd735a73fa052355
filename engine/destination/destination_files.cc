#include "destination/destination_files.h"

#include <algorithm>

#include "status.h"
#include "files/block_io.h"
#include "files/file_util.h"
#include "files/path_tree.h"
#include "files/paths.h"

namespace ablative {

namespace {
// Blocks arrive grouped by file, so a handful of handles is enough; more
// would only count against the process's limit.
constexpr size_t kCachedFiles = 32;

constexpr wchar_t kLink[] = L"Destination path passes through a link: ";
constexpr wchar_t kFolderForFile[] = L"A folder stands where the archive has a file: ";
constexpr wchar_t kFileForFolder[] = L"A file stands where the archive has a folder: ";
constexpr wchar_t kFolderForLink[] = L"A folder stands where the archive has a link: ";
constexpr wchar_t kNotRegular[] = L"Not a regular file, where the archive has a file: ";
constexpr wchar_t kOtherNames[] =
    L"Destination file has other names (hard links), so this extraction did not make it: ";
constexpr wchar_t kTimeFailed[] = L"Failed to set the modification time of: ";
constexpr wchar_t kModeFailed[] = L"Failed to set the permissions of: ";
constexpr wchar_t kLinkFailed[] = L"Failed to create symbolic link ";
constexpr wchar_t kHardLinkFailed[] = L"Failed to create hard link ";
constexpr uint32_t kCopyBytes = 1 << 20;  // copied at a time where no hard link can be made
// Smaller writes are left to the group's flush, which writes them together:
// starting each tiny file's write-back on its own costs a call and a disk
// request a file.
constexpr size_t kWritebackBytes = 64 << 10;

// "prefix path (code=N): reason", for the error just met.
std::wstring failedOn(const wchar_t* prefix, const std::wstring& path) {
  return codedErrorText((prefix + path + L" (code=").c_str());
}

// The stored permission bits, kept within what the file was made with plus
// execute wherever that may read: the user's umask still decides who may read
// and write, the archive only who may run the file (or enter the folder) and
// what it takes away. Set-user-ID, set-group-ID and sticky bits are never
// restored: an archive from elsewhere must not hand out privileges.
uint32_t restoredMode(uint32_t stored, uint32_t created) {
  const uint32_t allowed = created | ((created & 0444) >> 2);
  return stored & allowed & 0777;
}

// Most files are created with the mode they keep: those take no call to change it.
bool setRestoredMode(FileHandle& file, uint32_t stored) {
  uint32_t created = 0;
  if (!permissions(file, created)) return false;
  const uint32_t restored = restoredMode(stored, created);
  return restored == created || setPermissions(file, restored);
}

// The folder of a path below the root ("" for the root itself).
std::wstring folderOf(const std::wstring& relative) {
  const size_t slash = relative.rfind(L'/');
  return slash == std::wstring::npos ? L"" : relative.substr(0, slash);
}
}  // namespace

DestinationFiles::DestinationFiles(std::wstring root, RelativeOf relativeOf, std::vector<uint64_t> lengths,
                                   std::vector<EntryKind> kinds)
    : rootPath_(std::move(root)), relativeOf_(std::move(relativeOf)), lengths_(std::move(lengths)),
      kinds_(std::move(kinds)), slots_(kCachedFiles), slotOf_(lengths_.size(), -1), made_(lengths_.size(), 0),
      unflushed_(lengths_.size(), 0) {}

std::wstring DestinationFiles::pathOf(uint32_t index) const { return joinPath(rootPath_, relativeOf_(index)); }

Status DestinationFiles::checkPaths() {
  if (!openRoot()) return {};  // nothing below a folder that is not there
  // Each folder is looked at once, and none below one that is missing.
  PathTree folders;
  std::vector<uint8_t> missing(1, 0);  // per node
  for (uint32_t i = 0; i < lengths_.size(); ++i) {
    const std::wstring relative = relativeOf_(i);
    bool underMissing = false;
    const size_t cut = relative.rfind(L'/');
    const std::wstring_view parent = std::wstring_view(relative).substr(0, cut == std::wstring::npos ? 0 : cut);
    std::wstring refused;
    if (cut != std::wstring::npos) {
      walkPath(folders, parent, [&](uint32_t node, size_t end, bool added) {
        if (!added) {
          underMissing = missing[node] != 0;
          return true;
        }
        missing.push_back(underMissing ? 1 : 0);
        if (underMissing) return true;
        const std::wstring folder(parent.substr(0, end));
        const PathKind kind = statusBelow(root_, folder).kind;
        if (kind == PathKind::Link) refused = kLink + joinPath(rootPath_, folder);
        if (kind != PathKind::Directory && kind != PathKind::Missing && kind != PathKind::Link) {
          refused = kFileForFolder + joinPath(rootPath_, folder);
        }
        underMissing = kind == PathKind::Missing;
        missing[node] = underMissing ? 1 : 0;
        return refused.empty();
      });
    }
    if (!refused.empty()) return failure(StatusKind::Failed, refused);
    if (underMissing) continue;
    const PathKind kind = statusBelow(root_, relative).kind;
    if (kinds_[i] == EntryKind::Link) {  // replaced, an earlier run's link included
      if (kind == PathKind::Directory) return failure(StatusKind::Failed, kFolderForLink + pathOf(i));
      continue;
    }
    if (kind == PathKind::Link) return failure(StatusKind::Failed, kLink + pathOf(i));
    if (kinds_[i] == EntryKind::Folder) {
      if (kind != PathKind::Directory && kind != PathKind::Missing)
        return failure(StatusKind::Failed, kFileForFolder + pathOf(i));
      continue;
    }
    if (kind == PathKind::Directory) return failure(StatusKind::Failed, kFolderForFile + pathOf(i));
    if (kind == PathKind::Other) return failure(StatusKind::Failed, kNotRegular + pathOf(i));
  }
  return {};
}

bool DestinationFiles::existingLength(uint32_t index, uint64_t& length) {
  const PathStatus status = openRoot() ? statusBelow(root_, relativeOf_(index)) : PathStatus{};
  length = status.size;
  return status.kind == PathKind::File;
}

bool DestinationFiles::openExisting(uint32_t index, FileHandle& file) {
  return openRoot() && openBelow(root_, relativeOf_(index), OpenMode::ReadOnly, file);
}

// The folders above the destination are the user's: links there are followed.
Status DestinationFiles::createRoot() {
  if (!createFolders(rootPath_, foldersAbove_) || !openRoot()) {
    return failure(StatusKind::Failed, L"Unable to create destination folder: " + rootPath_);
  }
  // A new folder's own entries reach the disk before its name does: FAT
  // writes them apart, and a later flush of the parent alone (the journal's)
  // would leave a name without its folder.
  if (!foldersAbove_.empty()) {
    std::vector<std::wstring> deepestFirst = {rootPath_};
    deepestFirst.insert(deepestFirst.end(), foldersAbove_.rbegin(), foldersAbove_.rend());
    if (!std::all_of(deepestFirst.begin(), deepestFirst.end(), syncDirectory)) {
      return failure(StatusKind::Failed, L"Unable to create destination folder: " + rootPath_);
    }
    foldersAbove_.clear();
  }
  return {};
}

// Checked through a handle that needs no access to the data: the earlier run
// may have set the file's metadata, read-only included, before it stopped.
Status DestinationFiles::adopt(uint32_t index, uint32_t names, bool cutBeyondLength) {
  const std::wstring relative = relativeOf_(index);
  if (statusBelow(root_, relative).kind == PathKind::Missing) return {};  // made again when written
  FileHandle checked;
  uint32_t links = 0;
  uint64_t size = 0;
  if (!openMetadataBelow(root_, relative, checked) || !linkCount(checked, links) || !fileSize(checked, size)) {
    return failOnLink(relative, failedOn(L"Failed to open destination file ", pathOf(index)));
  }
  if (links > names) return failure(StatusKind::Failed, kOtherNames + pathOf(index));
  if (cutBeyondLength && size > lengths_[index]) {
    FileHandle* file = nullptr;
    if (Status opened = openInSlot(index, OpenMode::ReadWrite, file); !opened.ok()) return opened;
    if (!(seekFile(*file, lengths_[index]) && setEndOfFile(*file) && flushFile(*file))) {
      return failure(StatusKind::Failed, codedErrorText(kDestinationWriteFailed));
    }
  }
  made_[index] = 1;
  return {};
}

Status DestinationFiles::make(uint32_t index) { return made_[index] ? Status{} : makeFile(index); }

Status DestinationFiles::makeFolderEntry(uint32_t index) {
  const std::wstring relative = relativeOf_(index);
  namesChanged_ = true;
  if (makeFolder(relative)) return {};
  return failOnLink(relative, failedOn(L"Failed to create destination folder ", pathOf(index)));
}

Status DestinationFiles::makeLink(uint32_t index, const std::wstring& target, bool toFolder, int64_t modifiedNs,
                                  std::wstring& refusal) {
  if (Status status = clearPlace(index, kLinkFailed); !status.ok()) return status;
  if (makeLinkBelow(root_, relativeOf_(index), target, toFolder)) {
    metadataChanged_ = true;
    if (modifiedNs == kNoTime || setLinkTimeBelow(root_, relativeOf_(index), modifiedNs)) return {};
    return failure(StatusKind::Failed, failedOn(kTimeFailed, pathOf(index)));
  }
  if (!isLinkRefusedError(lastErrorCode())) {
    return failOnLink(relativeOf_(index), failedOn(kLinkFailed, pathOf(index)));
  }
  refusal = systemErrorText(lastErrorCode());
  return {};
}

// As a file is made: at once where its place is free, and only where that
// fails is what stands there removed first.
Status DestinationFiles::makeHardLink(uint32_t index, uint32_t target) {
  const std::wstring relative = relativeOf_(index), folder = folderOf(relative);
  namesChanged_ = true;
  if (makeFolder(folder) && makeHardLinkBelow(root_, relativeOf_(target), relative)) {
    changedFolders_.insert(folder);
    return {};
  }
  if (Status status = clearPlace(index, kHardLinkFailed); !status.ok()) return status;
  if (makeHardLinkBelow(root_, relativeOf_(target), relative)) return {};
  if (!isLinkRefusedError(lastErrorCode())) {
    return failOnLink(relativeOf_(index), failedOn(kHardLinkFailed, pathOf(index)));
  }
  return copy(target, index);
}

// The bytes of file `from`, which the run made whole, into `to` from its
// start, read through a handle of their own: an earlier run may have made
// `from` read-only already.
Status DestinationFiles::copy(uint32_t from, uint32_t to) {
  FileHandle source;
  if (!openExisting(from, source)) {
    return failure(StatusKind::Failed, failedOn(L"Failed to open destination file ", pathOf(from)));
  }
  if (Status status = make(to); !status.ok()) return status;
  std::vector<uint8_t> bytes;
  for (uint64_t at = 0; at < lengths_[from]; at += bytes.size()) {
    const auto length = static_cast<uint32_t>(std::min<uint64_t>(kCopyBytes, lengths_[from] - at));
    Status read = readDestinationBlock(source, at, length, bytes);
    if (read.kind == StatusKind::EndedEarly) {
      return failure(StatusKind::Failed, failedOn(L"Failed to read destination file ", pathOf(from)));
    }
    if (!read.ok()) return read;
    if (Status status = write(to, at, bytes); !status.ok()) return status;
  }
  return {};
}

bool DestinationFiles::syncFolders() {
  if (kCanFlushFileSystem) return flushFileSystem(root_.handle);  // the names above it are on its file system too
  return std::all_of(foldersAbove_.begin(), foldersAbove_.end(),
                     [](const std::wstring& folder) { return syncDirectory(folder); }) &&
         std::all_of(changedFolders_.begin(), changedFolders_.end(),
                     [this](const std::wstring& folder) { return syncFolderBelow(root_, folder); });
}

Status DestinationFiles::open(uint32_t index, FileHandle*& file) {
  if (slotOf_[index] >= 0) {
    Slot& slot = slots_[static_cast<size_t>(slotOf_[index])];
    slot.lastUse = ++useCounter_;
    file = &slot.handle;
    return {};
  }
  return openInSlot(index, OpenMode::ReadWrite, file);
}

Status DestinationFiles::write(uint32_t index, uint64_t offset, std::span<const uint8_t> bytes) {
  if (Status status = make(index); !status.ok()) return status;
  FileHandle* file = nullptr;
  if (Status opened = open(index, file); !opened.ok()) return opened;
  markWritten(index);  // a failed write may still have changed the file
  if (Status written = writeDestinationBytes(*file, offset, bytes); !written.ok()) return written;
  // The disk writes while the next units decode, so the group's flush waits for less.
  if (bytes.size() >= kWritebackBytes) startWriteback(*file, offset, offset + bytes.size());
  writeBehind_.written(root_, bytes.size());
  return {};
}

Status DestinationFiles::fillToLength(uint32_t index) {
  if (!made_[index] && statusBelow(root_, relativeOf_(index)).kind != PathKind::Missing) return {};
  if (Status status = make(index); !status.ok()) return status;
  FileHandle* file = nullptr;
  uint64_t size = 0;
  if (Status opened = open(index, file); !opened.ok()) return opened;
  const uint64_t length = lengths_[index];
  if (!fileSize(*file, size) || (size < length && !(seekFile(*file, length) && setEndOfFile(*file)))) {
    return failure(StatusKind::Failed, codedErrorText(kDestinationWriteFailed));
  }
  markWritten(index);
  return {};
}

// A file still open in the cache is set through its handle; any other file
// through one that needs no access to its data, since an earlier run may have
// made it read-only already. The time goes first and the permissions last, so
// that a read-only attribute refuses nothing that follows it.
Status DestinationFiles::setMetadata(uint32_t index, int64_t modifiedNs, uint32_t unixMode) {
  if (modifiedNs == kNoTime && unixMode == kNoMode) return {};
  const bool isFolder = kinds_[index] == EntryKind::Folder;
  FileHandle own;
  FileHandle* target = &own;
  if (slotOf_[index] >= 0) {
    if (Status opened = open(index, target); !opened.ok()) return opened;
    markWritten(index);  // where each file is flushed alone, its flush carries its metadata
  } else if (const std::wstring relative = relativeOf_(index);
             !(isFolder ? openFolderBelow(root_, relative, own) : openMetadataBelow(root_, relative, own))) {
    return failOnLink(relative, failedOn(modifiedNs != kNoTime ? kTimeFailed : kModeFailed, pathOf(index)));
  }
  metadataChanged_ = true;
  if (modifiedNs != kNoTime && !setModifiedTime(*target, modifiedNs)) {
    return failure(StatusKind::Failed, failedOn(kTimeFailed, pathOf(index)));
  }
  if (unixMode != kNoMode && !setRestoredMode(*target, unixMode)) {
    return failure(StatusKind::Failed, failedOn(kModeFailed, pathOf(index)));
  }
  // Where each file is flushed alone, one the cache let go is flushed here, before its handle goes. One that was
  // read-only already refuses: the run that made it so had set all of its metadata, this run changes none of it.
  if (!kCanFlushFileSystem && !isFolder && own.isOpen() && !flushFile(own) && !isAccessDeniedError(lastErrorCode())) {
    return failure(StatusKind::Failed, codedErrorText(kDestinationFlushFailed));
  }
  return {};
}

Status DestinationFiles::makeDurable() {
  bool ok = true;
  if (kCanFlushFileSystem && (written_.size() > 1 || closedUnflushed_ || namesChanged_ || metadataChanged_)) {
    ok = flushFileSystem(root_.handle);
  } else {
    for (uint32_t index : written_) {
      if (slotOf_[index] >= 0 && !flushFile(slots_[static_cast<size_t>(slotOf_[index])].handle)) ok = false;
      if (!ok) break;
    }
    ok = ok && (!namesChanged_ || syncFolders());
  }
  if (!ok) return failure(StatusKind::Failed, codedErrorText(kDestinationFlushFailed));
  for (uint32_t index : written_) unflushed_[index] = 0;
  written_.clear();
  closedUnflushed_ = false;
  metadataChanged_ = false;
  if (namesChanged_) {
    namesChanged_ = false;
    foldersAbove_.clear();
    changedFolders_.clear();
  }
  return {};
}

Status DestinationFiles::closeAll() {
  Status first;
  for (Slot& slot : slots_) {
    if (!slot.handle.isOpen()) continue;
    if (Status released = release(slot); first.ok()) first = released;
  }
  return first;
}

void DestinationFiles::markWritten(uint32_t index) {
  if (!unflushed_[index]) written_.push_back(index);
  unflushed_[index] = 1;
}

bool DestinationFiles::openRoot() { return root_.handle.isOpen() || openFolder(rootPath_, root_); }

// Creates the missing folders below the root from the top down, remembering
// which gained an entry.
bool DestinationFiles::makeFolder(const std::wstring& relative) {
  if (relative.empty() || knownFolders_.count(relative) != 0) return true;
  const PathKind kind = statusBelow(root_, relative).kind;
  if (kind == PathKind::Missing) {
    const std::wstring parent = folderOf(relative);
    if (!makeFolder(parent) || !makeFolderBelow(root_, relative)) return false;
    changedFolders_.insert(parent);
  } else if (kind != PathKind::Directory) {
    return false;
  }
  knownFolders_.insert(relative);
  return true;
}

// Makes the folders entry `index` lacks and removes whatever stands at its
// path, failing with `replaceFailed` + its path where that stays.
Status DestinationFiles::clearPlace(uint32_t index, const wchar_t* replaceFailed) {
  const std::wstring relative = relativeOf_(index), folder = folderOf(relative);
  namesChanged_ = true;  // from here on, whatever happens
  if (!makeFolder(folder)) {
    return failOnLink(relative, failedOn(L"Failed to create destination folder ", joinPath(rootPath_, folder)));
  }
  if (!removeBelow(root_, relative) && !isNotFoundError(lastErrorCode())) {
    return failOnLink(relative, failedOn(replaceFailed, pathOf(index)));
  }
  changedFolders_.insert(folder);
  return {};
}

// Creates the file anew in its place. Most places are free, and there it is
// created at once; only where that fails is whatever stands there removed
// first, and a second failure named.
Status DestinationFiles::makeFile(uint32_t index) {
  const std::wstring relative = relativeOf_(index), folder = folderOf(relative);
  Slot* slot = nullptr;
  if (Status freed = freeSlot(slot); !freed.ok()) return freed;
  namesChanged_ = true;
  if (makeFolder(folder) && openIn(*slot, index, relative, OpenMode::CreateNew)) {
    changedFolders_.insert(folder);
  } else {
    if (Status cleared = clearPlace(index, L"Failed to replace destination file "); !cleared.ok()) return cleared;
    FileHandle* file = nullptr;
    if (Status opened = openInSlot(index, OpenMode::CreateNew, file); !opened.ok()) return opened;
  }
  made_[index] = 1;
  writeBehind_.written(root_, WriteBehind::kMadeFileBytes);
  return {};
}

// The least recently used slot, the file it held let go of.
Status DestinationFiles::freeSlot(Slot*& slot) {
  slot = &*std::min_element(slots_.begin(), slots_.end(),
                            [](const Slot& a, const Slot& b) { return a.lastUse < b.lastUse; });
  return slot->handle.isOpen() ? release(*slot) : Status{};
}

bool DestinationFiles::openIn(Slot& slot, uint32_t index, const std::wstring& relative, OpenMode mode) {
  if (!openBelow(root_, relative, mode, slot.handle)) return false;
  slot.file = index;
  slot.lastUse = ++useCounter_;
  slotOf_[index] = static_cast<int32_t>(&slot - slots_.data());
  return true;
}

// Opens file `index` in the least recently used slot.
Status DestinationFiles::openInSlot(uint32_t index, OpenMode mode, FileHandle*& file) {
  Slot* slot = nullptr;
  if (Status freed = freeSlot(slot); !freed.ok()) return freed;
  const std::wstring relative = relativeOf_(index);
  if (!openIn(*slot, index, relative, mode)) {
    return failOnLink(relative, failedOn(L"Failed to open destination file ", pathOf(index)));
  }
  file = &slot->handle;
  return {};
}

// Closes a slot's file. Writes not yet durable stay covered: by the file
// system's flush where there is one, else by flushing the file first.
Status DestinationFiles::release(Slot& slot) {
  slotOf_[slot.file] = -1;
  bool ok = true;
  if (unflushed_[slot.file]) {
    if (kCanFlushFileSystem) {
      closedUnflushed_ = true;
    } else {
      ok = flushFile(slot.handle);
      if (ok) unflushed_[slot.file] = 0;
    }
  }
  ok = slot.handle.close() && ok;
  return ok ? Status{} : failure(StatusKind::Failed, codedErrorText(kDestinationFlushFailed));
}

// Names the first link on the way to `relative`, if there is one: what
// refused the path may have been planted since the checks ran.
Status DestinationFiles::failOnLink(const std::wstring& relative, const std::wstring& otherwise) {
  for (size_t end = relative.find(L'/');; end = relative.find(L'/', end + 1)) {
    const std::wstring prefix = relative.substr(0, end);
    if (statusBelow(root_, prefix).kind == PathKind::Link) {
      return failure(StatusKind::Failed, kLink + joinPath(rootPath_, prefix));
    }
    if (end == std::wstring::npos) return failure(StatusKind::Failed, otherwise);
  }
}

}  // namespace ablative
