// POSIX implementation of the platform seam (Linux): positional I/O,
// fdatasync for durability, fallocate hole punching for released ranges.
#include "env.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifdef SYS_openat2
#include <linux/openat2.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>

#include "env_platform.h"
#include "utf8.h"

namespace ablative {

namespace {

// wchar_t is UTF-32 here: a path reaches the system as its UTF-8 bytes.
bool nativePath(const std::wstring& path, std::string& out) {
  out = toUtf8(path);
  if (out.empty() != path.empty() || out.find('\0') != std::string::npos) {
    errno = out.empty() ? EILSEQ : EINVAL;
    return false;
  }
  return true;
}

int openFlags(OpenMode mode) {
  switch (mode) {
    case OpenMode::ReadOnly:
    case OpenMode::ReadDenyWrite: return O_RDONLY;
    case OpenMode::ReadWrite: return O_RDWR;
    case OpenMode::CreateTruncate: return O_RDWR | O_CREAT | O_TRUNC;
    case OpenMode::OpenOrCreate: return O_RDWR | O_CREAT;
    case OpenMode::CreateNew: return O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW;
  }
  return O_RDONLY;
}

PathKind kindOf(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return PathKind::File;
  if (S_ISDIR(st.st_mode)) return PathKind::Directory;
  if (S_ISLNK(st.st_mode)) return PathKind::Link;
  return PathKind::Other;
}

// Opens `relative` below the folder `root` one component at a time, none of
// them followed if it is a link: for kernels without openat2.
int walkBelow(int root, const std::string& relative, int flags, mode_t mode) {
  int folder = root;
  for (size_t start = 0;;) {
    const size_t slash = relative.find('/', start);
    const std::string name = relative.substr(start, slash == std::string::npos ? slash : slash - start);
    const int next = slash == std::string::npos
                         ? ::openat(folder, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode)
                         : ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder != root) {
      const int code = errno;
      ::close(folder);
      errno = code;
    }
    if (next < 0 || slash == std::string::npos) return next;
    folder = next;
    start = slash + 1;
  }
}

// Opens `relative` below the folder `root`, following no link: in one call
// where the kernel has openat2 (Linux 5.6 and later), else by a walk.
int openBelowNative(int root, const std::string& relative, int flags, mode_t mode) {
  if (relative.empty()) return ::openat(root, ".", flags | O_CLOEXEC, mode);
#ifdef SYS_openat2
  static std::atomic<bool> unavailable{false};
  if (!unavailable.load(std::memory_order_relaxed)) {
    struct open_how how {};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) != 0 ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    int fd;
    do {
      fd = static_cast<int>(::syscall(SYS_openat2, root, relative.c_str(), &how, sizeof how));
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return fd;  // EPERM: a filter that forbids the call
    unavailable.store(true, std::memory_order_relaxed);
  }
#endif
  return walkBelow(root, relative, flags, mode);
}

std::wstring fullPath(const FolderHandle& folder, const std::wstring& relative) {
  if (relative.empty()) return folder.path;
  if (folder.path.empty() || folder.path.back() == L'/') return folder.path + relative;
  return folder.path + L'/' + relative;
}

bool closeKeepingError(int fd, bool ok) {
  const int code = errno;
  ::close(fd);
  errno = code;
  return ok;
}

bool isMissing(int code) { return code == ENOENT || code == ENOTDIR; }

}  // namespace

bool platform::closeNative(intptr_t native) { return ::close(static_cast<int>(native)) == 0; }

bool openFile(const std::wstring& path, OpenMode mode, FileHandle& file) {
  file.close();
  if (ioHookFails({.op = IoOp::Open, .path = &path, .file = &file, .mode = mode})) return false;
  std::string native;
  if (!nativePath(path, native)) return false;
  int fd;
  do {
    fd = ::open(native.c_str(), openFlags(mode) | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;  // opening a folder for writing fails here; for reading, fileSize and reads refuse it
  file.native = fd;
  file.position = 0;
  return true;
}

bool lockFile(FileHandle& file, bool exclusive) {
  if (ioHookFails({.op = IoOp::Lock, .file = &file})) return false;
  int rc;
  do {
    rc = ::flock(static_cast<int>(file.native), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool openFolder(const std::wstring& path, FolderHandle& folder) {
  folder.handle.close();
  if (ioHookFails({.op = IoOp::OpenFolder, .path = &path, .file = &folder.handle})) return false;
  std::string native;
  if (!nativePath(path.empty() ? L"." : path, native)) return false;
  int fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  folder.handle.native = fd;
  folder.path = path;
  return true;
}

PathStatus statusBelow(const FolderHandle& folder, const std::wstring& relative) {
  PathStatus status;
  const std::wstring full = fullPath(folder, relative);
  if (ioHookFails({.op = IoOp::Status, .path = &full})) return status;
  std::string native;
  if (!nativePath(relative, native)) return status;
  const int fd = openBelowNative(static_cast<int>(folder.handle.native), native, O_PATH, 0);
  struct stat st;
  if (fd < 0) {
    status.kind = errno == ELOOP ? PathKind::Link : isMissing(errno) ? PathKind::Missing : PathKind::Error;
  } else if (closeKeepingError(fd, ::fstat(fd, &st) == 0)) {
    status.kind = kindOf(st);
    status.size = static_cast<uint64_t>(st.st_size);
  }
  return status;
}

bool openBelow(const FolderHandle& folder, const std::wstring& relative, OpenMode mode, FileHandle& file) {
  file.close();
  const std::wstring full = fullPath(folder, relative);
  if (ioHookFails({.op = IoOp::Open, .path = &full, .file = &file, .mode = mode})) return false;
  std::string native;
  if (!nativePath(relative, native)) return false;
  const int fd = openBelowNative(static_cast<int>(folder.handle.native), native, openFlags(mode) | O_NOFOLLOW, 0666);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0) return closeKeepingError(fd, false);
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return closeKeepingError(fd, false);
  }
  file.native = fd;
  file.position = 0;
  return true;
}

bool makeFolderBelow(const FolderHandle& folder, const std::wstring& relative) {
  const std::wstring full = fullPath(folder, relative);
  if (ioHookFails({.op = IoOp::MakeDirectory, .path = &full})) return false;
  std::string native;
  if (!nativePath(relative, native)) return false;
  const size_t slash = native.rfind('/');
  const int root = static_cast<int>(folder.handle.native);
  const int parent = slash == std::string::npos
                         ? root
                         : openBelowNative(root, native.substr(0, slash), O_RDONLY | O_DIRECTORY, 0);
  if (parent < 0) return false;
  const std::string name = slash == std::string::npos ? native : native.substr(slash + 1);
  bool ok = ::mkdirat(parent, name.c_str(), 0777) == 0;
  struct stat st;
  if (!ok && errno == EEXIST && ::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    ok = S_ISDIR(st.st_mode);
    errno = S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
  }
  return parent == root ? ok : closeKeepingError(parent, ok);
}

bool syncFolderBelow(const FolderHandle& folder, const std::wstring& relative) {
  const std::wstring full = fullPath(folder, relative);
  if (ioHookFails({.op = IoOp::SyncDirectory, .path = &full})) return false;
  std::string native;
  if (!nativePath(relative, native)) return false;
  const int fd = openBelowNative(static_cast<int>(folder.handle.native), native, O_RDONLY | O_DIRECTORY, 0);
  return fd >= 0 && closeKeepingError(fd, ::fsync(fd) == 0);
}

bool flushFileSystem(FileHandle& onIt) {
  if (ioHookFails({.op = IoOp::FlushFileSystem, .file = &onIt})) return false;
#ifdef __linux__
  return ::syncfs(static_cast<int>(onIt.native)) == 0;
#else
  errno = ENOTSUP;
  return false;
#endif
}

bool seekFile(FileHandle& file, uint64_t offset) {
  if (ioHookFails({.op = IoOp::Seek, .file = &file, .offset = offset})) return false;
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    errno = EINVAL;
    return false;
  }
  file.position = offset;
  return true;
}

bool readSome(FileHandle& file, void* buffer, uint32_t length, uint32_t& got) {
  got = 0;
  uint32_t allowed = length;
  if (ioHookFails({.op = IoOp::Read, .file = &file, .offset = file.position, .length = length, .limit = &allowed})) {
    return false;
  }
  length = std::min(length, allowed);
  ssize_t n;
  do {
    n = ::pread(static_cast<int>(file.native), buffer, length, static_cast<off_t>(file.position));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return false;
  got = static_cast<uint32_t>(n);
  file.position += got;
  return true;
}

bool writeSome(FileHandle& file, const void* buffer, uint32_t length, uint32_t& written) {
  written = 0;
  uint32_t allowed = length;
  if (ioHookFails({.op = IoOp::Write, .file = &file, .offset = file.position, .length = length, .limit = &allowed})) {
    return false;
  }
  length = std::min(length, allowed);
  ssize_t n;
  do {
    n = ::pwrite(static_cast<int>(file.native), buffer, length, static_cast<off_t>(file.position));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return false;
  written = static_cast<uint32_t>(n);
  file.position += written;
  return true;
}

bool flushFile(FileHandle& file) {
  if (ioHookFails({.op = IoOp::Flush, .file = &file})) return false;
  return ::fdatasync(static_cast<int>(file.native)) == 0;
}

void startWriteback(FileHandle& file, uint64_t first, uint64_t end) {
#ifdef __linux__
  // Errors are of no consequence: the flush that follows reports its own.
  const int saved = errno;
  ::sync_file_range(static_cast<int>(file.native), static_cast<off_t>(first), static_cast<off_t>(end - first),
                    SYNC_FILE_RANGE_WRITE);
  errno = saved;
#else
  (void)file, (void)first, (void)end;
#endif
}

bool fileSize(FileHandle& file, uint64_t& size) {
  if (ioHookFails({.op = IoOp::Size, .file = &file})) return false;
  struct stat st;
  if (fstat(static_cast<int>(file.native), &st) != 0) return false;
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool setEndOfFile(FileHandle& file) {
  if (ioHookFails({.op = IoOp::SetEnd, .file = &file, .offset = file.position})) return false;
  int rc;
  do {
    rc = ::ftruncate(static_cast<int>(file.native), static_cast<off_t>(file.position));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool markSparse(FileHandle& file) {
  // Linux files are always sparse-capable; what matters is whether this file
  // system can punch holes. Punching one byte past the end changes nothing and
  // fails with EOPNOTSUPP exactly where the later zeroing would.
  if (ioHookFails({.op = IoOp::MarkSparse, .file = &file})) return false;
  uint64_t size = 0;
  if (!fileSize(file, size)) return false;
  return ::fallocate(static_cast<int>(file.native), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                     static_cast<off_t>(size), 1) == 0;
}

bool zeroRange(FileHandle& file, uint64_t first, uint64_t end) {
  if (end <= first) return true;
  if (ioHookFails({.op = IoOp::ZeroRange, .file = &file, .offset = first, .length = end - first})) return false;
  return ::fallocate(static_cast<int>(file.native), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                     static_cast<off_t>(first), static_cast<off_t>(end - first)) == 0;
}

PathStatus pathStatus(const std::wstring& path) {
  PathStatus status;
  if (ioHookFails({.op = IoOp::Status, .path = &path})) return status;
  std::string native;
  struct stat st;
  if (!nativePath(path, native) || ::stat(native.c_str(), &st) != 0) {
    status.kind = isMissing(errno) ? PathKind::Missing : PathKind::Error;
    return status;
  }
  status.kind = kindOf(st);
  status.size = static_cast<uint64_t>(st.st_size);
  return status;
}

bool listDirectory(const std::wstring& path, std::vector<DirEntry>& entries) {
  entries.clear();
  if (ioHookFails({.op = IoOp::List, .path = &path})) return false;
  std::string native;
  if (!nativePath(path, native)) return false;
  DIR* dir = ::opendir(native.c_str());
  if (dir == nullptr) return false;
  int dirFd = ::dirfd(dir);
  bool ok = true;
  for (;;) {
    errno = 0;
    struct dirent* item = ::readdir(dir);
    if (item == nullptr) {
      ok = errno == 0;
      break;
    }
    if (std::strcmp(item->d_name, ".") == 0 || std::strcmp(item->d_name, "..") == 0) continue;
    DirEntry entry;
    entry.name = fromUtf8(item->d_name);
    if (entry.name.empty()) {  // not UTF-8: no name the archive could store
      errno = EILSEQ;
      ok = false;
      break;
    }
    struct stat st;
    if (::fstatat(dirFd, item->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      ok = false;
      break;
    }
    entry.isLink = S_ISLNK(st.st_mode);
    if (entry.isLink && ::fstatat(dirFd, item->d_name, &st, 0) != 0) {
      entry.kind = PathKind::Missing;
    } else {
      entry.kind = kindOf(st);
      entry.size = static_cast<uint64_t>(st.st_size);
    }
    entries.push_back(std::move(entry));
  }
  int code = errno;
  ::closedir(dir);
  errno = code;
  return ok;
}

bool freeSpace(const std::wstring& path, uint64_t& bytes) {
  if (ioHookFails({.op = IoOp::FreeSpace, .path = &path})) return false;
  std::string native;
  struct statvfs st;
  if (!nativePath(path.empty() ? L"." : path, native) || ::statvfs(native.c_str(), &st) != 0) return false;
  bytes = uint64_t{st.f_bavail} * st.f_frsize;
  return true;
}

bool createDirectories(const std::wstring& path) {
  if (path.empty()) return true;
  if (ioHookFails({.op = IoOp::MakeDirectory, .path = &path})) return false;
  PathStatus status = pathStatus(path);
  if (status.kind == PathKind::Directory) return true;
  if (status.kind != PathKind::Missing) {
    if (status.kind != PathKind::Error) errno = ENOTDIR;
    return false;
  }
  size_t cut = path.find_last_of(L'/');
  if (cut != std::wstring::npos && cut > 0 && !createDirectories(path.substr(0, cut))) return false;
  std::string native;
  if (!nativePath(path, native)) return false;
  if (::mkdir(native.c_str(), 0777) == 0) return true;
  return errno == EEXIST && pathStatus(path).kind == PathKind::Directory;
}

bool renameReplace(const std::wstring& from, const std::wstring& to) {
  if (ioHookFails({.op = IoOp::Rename, .path = &from, .target = &to})) return false;
  std::string a, b;
  return nativePath(from, a) && nativePath(to, b) && ::rename(a.c_str(), b.c_str()) == 0;
}

bool removeFile(const std::wstring& path) {
  if (ioHookFails({.op = IoOp::Remove, .path = &path})) return false;
  std::string native;
  return nativePath(path, native) && ::unlink(native.c_str()) == 0;
}

bool syncDirectory(const std::wstring& path) {
  if (ioHookFails({.op = IoOp::SyncDirectory, .path = &path})) return false;
  std::string native;
  if (!nativePath(path.empty() ? L"." : path, native)) return false;
  int fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  int code = errno;
  ::close(fd);
  errno = code;
  return ok;
}

bool fileIdentity(const std::wstring& path, FileIdentity& identity) {
  if (ioHookFails({.op = IoOp::Identity, .path = &path})) return false;
  std::string native;
  struct stat st;
  if (!nativePath(path.empty() ? L"." : path, native) || ::stat(native.c_str(), &st) != 0) return false;
  identity.volume = static_cast<uint64_t>(st.st_dev);
  identity.index = static_cast<uint64_t>(st.st_ino);
  return true;
}

uint32_t lastErrorCode() { return static_cast<uint32_t>(errno); }

void setLastErrorCode(uint32_t code) { errno = static_cast<int>(code); }

std::wstring systemErrorText(uint32_t code) {
  char buffer[256];
  const char* text = ::strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  std::string message = text != nullptr ? text : "";
  if (message.empty() || message.rfind("Unknown error", 0) == 0) return L"Unknown error";
  while (!message.empty() && std::strchr("\r\n \t", message.back()) != nullptr) message.pop_back();
  return fromUtf8(message);
}

// wchar_t holds whole code points here. Surrogates and values past U+10FFFF
// are not characters, so such text fails like a failed code-page conversion.
std::string toUtf8(const std::wstring& wide) {
  std::string out;
  out.reserve(wide.size());
  for (wchar_t ch : wide) {
    if (!appendUtf8(out, static_cast<uint32_t>(ch))) return {};
  }
  return out;
}

// Strict decoding: overlong forms, surrogates and truncated sequences fail.
std::wstring fromUtf8(const std::string& utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  for (size_t at = 0; at < utf8.size();) {
    uint32_t cp = 0;
    if (!nextCodePoint(utf8, at, cp)) return {};
    out += static_cast<wchar_t>(cp);
  }
  return out;
}

std::wstring upperCaseName(const std::wstring& name) {
  std::wstring upper = name;
  for (wchar_t& ch : upper) {
    if (ch >= L'a' && ch <= L'z') ch = static_cast<wchar_t>(ch - L'a' + L'A');
  }
  return upper;
}

uint32_t diskFullErrorCode() { return ENOSPC; }

bool isNotFoundError(uint32_t code) { return isMissing(static_cast<int>(code)); }

bool isAccessDeniedError(uint32_t code) { return code == EACCES || code == EPERM; }

bool isInUseError(uint32_t code) { return code == EWOULDBLOCK; }

bool isLinkError(uint32_t code) { return code == ELOOP; }

}  // namespace ablative
