#include "destination_files.h"

#include <algorithm>

#include "paths.h"

namespace ablative {

namespace {
// Blocks arrive grouped by file, so a handful of handles is enough; more
// would only count against the process's limit.
constexpr size_t kCachedFiles = 32;

constexpr wchar_t kCannotCreateFolders[] =
    L"Failed to create destination directories (destination path may point to a file)";
constexpr wchar_t kCannotOpen[] = L"Failed to open destination file";

bool fail(std::wstring& errorText, const std::wstring& message) {
  errorText = message;
  return false;
}
}  // namespace

DestinationFiles::DestinationFiles(PathOf pathOf, std::vector<uint64_t> lengths)
    : pathOf_(std::move(pathOf)), lengths_(std::move(lengths)), slots_(kCachedFiles), slotOf_(lengths_.size(), -1) {}

bool DestinationFiles::createRoot(const std::wstring& folder, std::wstring& errorText) {
  if (!makeFolder(folder)) return fail(errorText, L"Unable to create destination folder: " + folder);
  return true;
}

bool DestinationFiles::createAll(bool keepContent, std::wstring& errorText) {
  for (uint32_t i = 0; i < lengths_.size(); ++i) {
    const std::wstring folder = parentFolder(pathOf_(i));
    if (!makeFolder(folder)) return fail(errorText, kCannotCreateFolders);
    if (!createFile(i, keepContent)) return fail(errorText, kCannotOpen);
    changedFolders_.insert(folder);
  }
  return true;
}

bool DestinationFiles::syncFolders() {
  return std::all_of(changedFolders_.begin(), changedFolders_.end(),
                     [](const std::wstring& folder) { return syncDirectory(folder); });
}

FileHandle* DestinationFiles::open(uint32_t index, std::wstring& errorText) {
  if (slotOf_[index] >= 0) {
    Slot& slot = slots_[static_cast<size_t>(slotOf_[index])];
    slot.lastUse = ++useCounter_;
    return &slot.handle;
  }
  FileHandle* handle = openInSlot(index, OpenMode::ReadWrite);
  if (handle == nullptr) errorText = kCannotOpen;
  return handle;
}

void DestinationFiles::closeAll() {
  for (Slot& slot : slots_) {
    if (!slot.handle.isOpen()) continue;
    flushFile(slot.handle);
    slot.handle.close();
    slotOf_[slot.file] = -1;
  }
}

// Creates the missing folders from the top down, remembering which parents
// gained an entry.
bool DestinationFiles::makeFolder(const std::wstring& folder) {
  if (folder.empty() || knownFolders_.count(folder) != 0) return true;
  PathKind kind = pathStatus(folder).kind;
  if (kind == PathKind::Missing) {
    const std::wstring parent = parentFolder(folder);
    if (parent != folder && !makeFolder(parent)) return false;
    if (!createDirectories(folder)) return false;
    changedFolders_.insert(parent);
  } else if (kind != PathKind::Directory) {
    return false;
  }
  knownFolders_.insert(folder);
  return true;
}

bool DestinationFiles::createFile(uint32_t index, bool keepContent) {
  FileHandle* handle = openInSlot(index, OpenMode::OpenOrCreate);
  uint64_t size = 0;
  if (handle == nullptr || !fileSize(*handle, size)) return false;
  const uint64_t keep = keepContent ? lengths_[index] : 0;
  return size <= keep || (seekFile(*handle, keep) && setEndOfFile(*handle) && flushFile(*handle));
}

// Opens file `index` in the least recently used slot, closing what it held:
// every block written there has been flushed already (or, with the archive
// kept, needs no flush).
FileHandle* DestinationFiles::openInSlot(uint32_t index, OpenMode mode) {
  Slot& slot = *std::min_element(slots_.begin(), slots_.end(),
                                 [](const Slot& a, const Slot& b) { return a.lastUse < b.lastUse; });
  if (slot.handle.isOpen()) slotOf_[slot.file] = -1;
  if (!openFile(pathOf_(index), mode, slot.handle)) return nullptr;
  slot.file = index;
  slot.lastUse = ++useCounter_;
  slotOf_[index] = static_cast<int32_t>(&slot - slots_.data());
  return &slot.handle;
}

}  // namespace ablative
