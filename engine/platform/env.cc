// The calls of the platform seam that touch the file system, and the file
// handle, written once for both platforms: each call asks the I/O hook, then
// does its work through env_platform.h.
#include "platform/env.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/env_platform.h"
#include "platform/file_parts.h"

namespace ablative {

namespace {

std::unique_ptr<IoHook> activeHook;  // constant-initialised: valid before any static constructor runs
thread_local bool insideHook = false;

// True when the hook fails `call`; its code is then the last error.
bool ioHookFails(const IoCall& call) {
  if (!activeHook || insideHook) return false;
  // Creation and `test` make calls from worker threads; a hook sees them one at a time.
  static std::mutex oneCallAtATime;
  std::unique_lock lock(oneCallAtATime);
  // Left however the hook ends: a test's hook may throw, as memory running out does.
  struct Inside {
    Inside() { insideHook = true; }
    ~Inside() { insideHook = false; }
  };
  uint32_t code = 0;
  {
    const Inside inside;
    code = (*activeHook)(call);
  }
  lock.unlock();
  if (code == 0) return false;
  setLastErrorCode(code);
  return true;
}

// An empty path names the current folder where the system needs a name.
const std::wstring& orCurrentFolder(const std::wstring& path) {
  static const std::wstring current = L".";
  return path.empty() ? current : path;
}

// readSome and writeSome: the hook may lower the length, even to nothing, and
// the file pointer advances by the bytes moved.
bool transfer(IoOp op, FileHandle& file, void* buffer, uint32_t length, uint32_t& moved) {
  moved = 0;
  if (file.parts) {
    const bool ok = parts::transfer(*file.parts, op == IoOp::Write, file.position, buffer, length, moved);
    file.position += moved;
    return ok;
  }
  uint32_t allowed = length;
  if (ioHookFails({.op = op, .file = &file, .offset = file.position, .length = length, .limit = &allowed})) {
    return false;
  }
  const bool ok = platform::transfer(file, op == IoOp::Write, buffer, std::min(length, allowed), moved);
  file.position += moved;
  return ok;
}

}  // namespace

void setIoHook(IoHook hook) { activeHook = hook ? std::make_unique<IoHook>(std::move(hook)) : nullptr; }

std::wstring platform::fullPath(const FolderHandle& folder, const std::wstring& relative) {
  std::wstring full = folder.path;
  if (relative.empty()) return full;
  if (!full.empty() && std::wstring_view(kSeparators).find(full.back()) == std::wstring_view::npos) {
    full += kPathSeparator;
  }
  for (wchar_t ch : relative) full += ch == L'/' ? kPathSeparator : ch;
  return full;
}

FileHandle::FileHandle(FileHandle&& other) noexcept
    : native(other.native), position(other.position), parts(std::move(other.parts)) {
  other.native = -1;
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    close();
    native = other.native;
    position = other.position;
    parts = std::move(other.parts);
    other.native = -1;
  }
  return *this;
}

FileHandle::FileHandle() = default;

FileHandle::~FileHandle() { close(); }

bool FileHandle::isOpen() const { return native != -1 || parts; }

bool FileHandle::close() {
  bool ok = true;
  if (native != -1) {
    const uint32_t saved = lastErrorCode();  // closing must not hide the error a caller is about to report
    ok = platform::closeNative(native);      // the handle is released even when this fails
    if (ok) setLastErrorCode(saved);
  }
  parts.reset();  // each part closes itself
  native = -1;
  position = 0;
  return ok;
}

bool openFile(const std::wstring& path, OpenMode mode, FileHandle& file) {
  file.close();
  if (ioHookFails({.op = IoOp::Open, .path = &path, .file = &file, .mode = mode})) return false;
  return platform::openFile(path, mode, file);
}

std::vector<uint64_t> partStarts(const FileHandle& file) {
  if (!file.parts) return {0};
  std::vector<uint64_t> starts;
  for (const FilePart& part : file.parts->parts) starts.push_back(part.start);
  return starts;
}

bool openAgain(FileHandle& file, FileHandle& again) {
  again.close();
  if (file.parts) return parts::openAgain(*file.parts, again);
  if (ioHookFails({.op = IoOp::OpenAgain, .file = &again})) return false;
  return platform::openAgain(file, again);
}

bool lockFile(FileHandle& file, bool exclusive) {
  if (file.parts) return parts::lock(*file.parts, exclusive);
  if (ioHookFails({.op = IoOp::Lock, .file = &file})) return false;
  return platform::lockFile(file, exclusive);
}

bool openFolder(const std::wstring& path, FolderHandle& folder) {
  folder.handle.close();
  if (ioHookFails({.op = IoOp::OpenFolder, .path = &path, .file = &folder.handle})) return false;
  if (!platform::openFolder(orCurrentFolder(path), folder.handle)) return false;
  folder.path = path;
  return true;
}

bool seekFile(FileHandle& file, uint64_t offset) {
  if (file.parts) {  // each transfer seeks its part
    file.position = offset;
    return true;
  }
  if (ioHookFails({.op = IoOp::Seek, .file = &file, .offset = offset})) return false;
  if (!platform::seekFile(file, offset)) return false;
  file.position = offset;
  return true;
}

bool readSome(FileHandle& file, void* buffer, uint32_t length, uint32_t& got) {
  return transfer(IoOp::Read, file, buffer, length, got);
}

bool writeSome(FileHandle& file, const void* buffer, uint32_t length, uint32_t& written) {
  return transfer(IoOp::Write, file, const_cast<void*>(buffer), length, written);  // only read from
}

bool flushFile(FileHandle& file) {
  if (file.parts) return parts::flush(*file.parts);
  if (ioHookFails({.op = IoOp::Flush, .file = &file})) return false;
  return platform::flushFile(file);
}

bool fileSize(FileHandle& file, uint64_t& size) {
  if (file.parts) return parts::size(*file.parts, size);
  if (ioHookFails({.op = IoOp::Size, .file = &file})) return false;
  return platform::fileSize(file, size);
}

bool setEndOfFile(FileHandle& file) {
  if (file.parts) return parts::cut(*file.parts, file.position);
  if (ioHookFails({.op = IoOp::SetEnd, .file = &file, .offset = file.position})) return false;
  return platform::setEndOfFile(file);
}

bool markSparse(FileHandle& file) {
  if (file.parts) return parts::markSparse(*file.parts);
  if (ioHookFails({.op = IoOp::MarkSparse, .file = &file})) return false;
  return platform::markSparse(file);
}

bool zeroRange(FileHandle& file, uint64_t first, uint64_t end) {
  if (end <= first) return true;
  if (file.parts) return parts::zeroRange(*file.parts, first, end);
  IoCall call{.op = IoOp::ZeroRange, .file = &file, .offset = first, .length = end - first};
  if (ioHookFails(call)) return false;
  if (platform::zeroRange(file, first, end)) return true;
  const uint32_t code = lastErrorCode();
  if (!platform::zeroingUnsupported(code)) return false;
  bool stoodIn = false;
  call.stoodIn = &stoodIn;
  if (ioHookFails(call)) return false;
  if (!stoodIn) setLastErrorCode(code);
  return stoodIn;
}

bool findHoles(FileHandle& file, uint64_t first, uint64_t end, std::vector<ByteRange>& holes) {
  holes.clear();
  if (end <= first) return true;
  if (file.parts) return parts::findHoles(*file.parts, first, end, holes);
  if (ioHookFails({.op = IoOp::Holes, .file = &file, .offset = first, .length = end - first})) return false;
  return platform::findHoles(file, first, end, holes);
}

bool linkCount(FileHandle& file, uint32_t& links) {
  if (file.parts) return parts::linkCount(*file.parts, links);
  if (ioHookFails({.op = IoOp::Size, .file = &file})) return false;
  return platform::linkCount(file, links);
}

bool setModifiedTime(FileHandle& file, int64_t ns) {
  if (ioHookFails({.op = IoOp::SetMetadata, .file = &file})) return false;
  return platform::setModifiedTime(file, ns);
}

bool permissions(FileHandle& file, uint32_t& mode) {
  if (ioHookFails({.op = IoOp::Size, .file = &file})) return false;
  return platform::permissions(file, mode);
}

bool setPermissions(FileHandle& file, uint32_t mode) {
  if (ioHookFails({.op = IoOp::SetMetadata, .file = &file})) return false;
  return platform::setPermissions(file, mode);
}

bool flushFileSystem(FileHandle& onIt) {
  if (onIt.parts) return flushFileSystem(onIt.parts->parts.front().handle);
  if (ioHookFails({.op = IoOp::FlushFileSystem, .file = &onIt})) return false;
  return platform::flushFileSystem(onIt);
}

PathStatus pathStatus(const std::wstring& path) {
  if (ioHookFails({.op = IoOp::Status, .path = &path})) return PathStatus{};
  return platform::pathStatus(path);
}

bool entryStatus(const std::wstring& path, EntryStatus& status) {
  if (ioHookFails({.op = IoOp::Status, .path = &path})) return false;
  return platform::entryStatus(path, status);
}

bool readLinkTarget(const std::wstring& path, std::wstring& target) {
  if (ioHookFails({.op = IoOp::Status, .path = &path})) return false;
  return platform::readLinkTarget(path, target);
}

bool realPath(const std::wstring& path, std::wstring& real) {
  if (ioHookFails({.op = IoOp::Status, .path = &path})) return false;
  return platform::realPath(path, real);
}

bool listDirectory(const std::wstring& path, std::vector<DirEntry>& entries) {
  entries.clear();
  if (ioHookFails({.op = IoOp::List, .path = &path})) return false;
  return platform::listDirectory(path, entries);
}

bool volumeSpace(const std::wstring& path, VolumeSpace& space) {
  if (ioHookFails({.op = IoOp::VolumeSpace, .path = &path})) return false;
  return platform::volumeSpace(orCurrentFolder(path), space);
}

bool fileSystemTraits(const std::wstring& path, FileSystemTraits& traits) {
  traits = FileSystemTraits{};
  if (ioHookFails({.op = IoOp::VolumeSpace, .path = &path})) return false;
  return platform::fileSystemTraits(orCurrentFolder(path), traits);
}

// Each level is a call of its own, hooked as such, and so is each status query.
bool createDirectories(const std::wstring& path) {
  if (path.empty()) return true;
  if (ioHookFails({.op = IoOp::MakeDirectory, .path = &path})) return false;
  const PathStatus status = pathStatus(path);
  if (status.kind == PathKind::Directory) return true;
  if (status.kind != PathKind::Missing) {
    if (status.kind != PathKind::Error) setLastErrorCode(platform::notDirectoryErrorCode());
    return false;
  }
  const size_t cut = path.find_last_of(platform::kSeparators);
  if (cut != std::wstring::npos && cut > 0 && !createDirectories(path.substr(0, cut))) return false;
  if (platform::makeDirectory(path)) return true;
  return platform::isExistsError(lastErrorCode()) && pathStatus(path).kind == PathKind::Directory;
}

bool renameReplace(const std::wstring& from, const std::wstring& to) {
  if (ioHookFails({.op = IoOp::Rename, .path = &from, .target = &to})) return false;
  return platform::renameReplace(from, to);
}

bool removeFile(const std::wstring& path) {
  if (ioHookFails({.op = IoOp::Remove, .path = &path})) return false;
  return platform::removeFile(path);
}

bool syncDirectory(const std::wstring& path) {
  if (ioHookFails({.op = IoOp::SyncDirectory, .path = &path})) return false;
  return platform::syncDirectory(orCurrentFolder(path));
}

bool fileIdentity(const std::wstring& path, FileIdentity& identity) {
  if (ioHookFails({.op = IoOp::Identity, .path = &path})) return false;
  return platform::fileIdentity(orCurrentFolder(path), identity);
}

bool fileIdentity(FileHandle& file, FileIdentity& identity) {
  if (file.parts) return fileIdentity(file.parts->parts.front().handle, identity);
  if (ioHookFails({.op = IoOp::Identity, .file = &file})) return false;
  return platform::fileIdentity(file, identity);
}

// The *Below calls show the hook the whole path.
PathStatus statusBelow(const FolderHandle& folder, const std::wstring& relative) {
  const std::wstring full = platform::fullPath(folder, relative);
  if (ioHookFails({.op = IoOp::Status, .path = &full})) return PathStatus{};
  return platform::statusBelow(folder, relative, full);
}

bool openBelow(const FolderHandle& folder, const std::wstring& relative, OpenMode mode, FileHandle& file) {
  file.close();
  const std::wstring full = platform::fullPath(folder, relative);
  if (ioHookFails({.op = IoOp::Open, .path = &full, .file = &file, .mode = mode})) return false;
  return platform::openBelow(folder, relative, full, mode, file);
}

bool makeFolderBelow(const FolderHandle& folder, const std::wstring& relative) {
  const std::wstring full = platform::fullPath(folder, relative);
  if (ioHookFails({.op = IoOp::MakeDirectory, .path = &full})) return false;
  return platform::makeFolderBelow(folder, relative, full);
}

bool syncFolderBelow(const FolderHandle& folder, const std::wstring& relative) {
  const std::wstring full = platform::fullPath(folder, relative);
  if (ioHookFails({.op = IoOp::SyncDirectory, .path = &full})) return false;
  return platform::syncFolderBelow(folder, relative, full);
}

bool removeBelow(const FolderHandle& folder, const std::wstring& relative) {
  const std::wstring full = platform::fullPath(folder, relative);
  if (ioHookFails({.op = IoOp::Remove, .path = &full})) return false;
  return platform::removeBelow(folder, relative, full);
}

bool openFolderBelow(const FolderHandle& folder, const std::wstring& relative, FileHandle& file) {
  file.close();
  const std::wstring full = platform::fullPath(folder, relative);
  if (ioHookFails({.op = IoOp::OpenFolder, .path = &full, .file = &file})) return false;
  return platform::openFolderBelow(folder, relative, full, file);
}

bool openMetadataBelow(const FolderHandle& folder, const std::wstring& relative, FileHandle& file) {
  file.close();
  const std::wstring full = platform::fullPath(folder, relative);
  if (ioHookFails({.op = IoOp::Open, .path = &full, .file = &file, .mode = OpenMode::ReadOnly})) return false;
  return platform::openMetadataBelow(folder, relative, full, file);
}

bool makeLinkBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring& target,
                   bool toFolder) {
  const std::wstring full = platform::fullPath(folder, relative);
  if (ioHookFails({.op = IoOp::MakeLink, .path = &full})) return false;
  return platform::makeLinkBelow(folder, relative, full, target, toFolder);
}

bool makeHardLinkBelow(const FolderHandle& folder, const std::wstring& target, const std::wstring& relative) {
  const std::wstring full = platform::fullPath(folder, relative);
  if (ioHookFails({.op = IoOp::MakeLink, .path = &full})) return false;
  return platform::makeHardLinkBelow(folder, target, relative, full);
}

bool setLinkTimeBelow(const FolderHandle& folder, const std::wstring& relative, int64_t ns) {
  const std::wstring full = platform::fullPath(folder, relative);
  if (ioHookFails({.op = IoOp::SetMetadata, .path = &full})) return false;
  return platform::setLinkTimeBelow(folder, relative, full, ns);
}

}  // namespace ablative
