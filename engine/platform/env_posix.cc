// POSIX implementation of the platform seam (Linux), below env.cc:
// positional I/O, fdatasync for durability, fallocate hole punching for
// released ranges.
#include "platform/env.h"

#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <wctype.h>

#ifdef SYS_openat2
#include <linux/openat2.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/env_platform.h"
#include "platform/utf8.h"

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

bool closeKeepingError(int fd, bool ok) {
  const int code = errno;
  ::close(fd);
  errno = code;
  return ok;
}

// Calls `act(parent, name)` with the folder that holds `relative` below
// `folder`, reached without following a link, and the last component.
template <typename Act>
bool inParentBelow(const FolderHandle& folder, const std::wstring& relative, const Act& act) {
  std::string native;
  if (!nativePath(relative, native)) return false;
  const size_t slash = native.rfind('/');
  const int root = static_cast<int>(folder.handle.native);
  const int parent =
      slash == std::string::npos ? root : openBelowNative(root, native.substr(0, slash), O_RDONLY | O_DIRECTORY, 0);
  if (parent < 0) return false;
  const bool ok = act(parent, slash == std::string::npos ? native : native.substr(slash + 1));
  return parent == root ? ok : closeKeepingError(parent, ok);
}

bool isMissing(int code) { return code == ENOENT || code == ENOTDIR; }

// Opens `relative` below `folder` with `flags`, following no link, and only
// where it is a regular file.
bool openRegularBelow(const FolderHandle& folder, const std::wstring& relative, int flags, FileHandle& file) {
  std::string native;
  if (!nativePath(relative, native)) return false;
  const int fd = openBelowNative(static_cast<int>(folder.handle.native), native, flags | O_NOFOLLOW, 0666);
  if (fd < 0) return false;
  // What an exclusive create made is a new regular file: nothing stood there to check.
  if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) {
    file.native = fd;
    return true;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) return closeKeepingError(fd, false);
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : S_ISLNK(st.st_mode) ? ELOOP : EINVAL;  // O_PATH opens a link itself
    return closeKeepingError(fd, false);
  }
  file.native = fd;
  return true;
}

// The name under which the system reaches an open file itself, for the calls
// that refuse a handle opened with O_PATH.
std::string procPathOf(const FileHandle& file) { return "/proc/self/fd/" + std::to_string(file.native); }

}  // namespace

namespace platform {

bool closeNative(intptr_t native) { return ::close(static_cast<int>(native)) == 0; }

bool openFile(const std::wstring& path, OpenMode mode, FileHandle& file) {
  std::string native;
  if (!nativePath(path, native)) return false;
  int fd;
  do {
    fd = ::open(native.c_str(), openFlags(mode) | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;  // opening a folder for writing fails here; for reading, fileSize and reads refuse it
  file.native = fd;
  return true;
}

// Transfers are positional, so a duplicate's pointer is its own; closing it
// keeps the lock, which belongs to the open file both share.
bool openAgain(FileHandle& file, FileHandle& again) {
  const int fd = ::fcntl(static_cast<int>(file.native), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return false;
  again.native = fd;
  return true;
}

bool lockFile(FileHandle& file, bool exclusive) {
  int rc;
  do {
    rc = ::flock(static_cast<int>(file.native), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool openFolder(const std::wstring& path, FileHandle& file) {
  std::string native;
  if (!nativePath(path, native)) return false;
  int fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  file.native = fd;
  return true;
}

PathStatus statusBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring&) {
  PathStatus status;
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

bool openBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring&, OpenMode mode,
               FileHandle& file) {
  return openRegularBelow(folder, relative, openFlags(mode), file);
}

// O_PATH needs no permission on the file itself; the setters below reach the
// file through its /proc name.
bool openMetadataBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring&,
                       FileHandle& file) {
  return openRegularBelow(folder, relative, O_PATH, file);
}

bool makeFolderBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring&) {
  return inParentBelow(folder, relative, [](int parent, const std::string& name) {
    bool ok = ::mkdirat(parent, name.c_str(), 0777) == 0;
    struct stat st;
    if (!ok && errno == EEXIST && ::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      ok = S_ISDIR(st.st_mode);
      errno = S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
    }
    return ok;
  });
}

bool syncFolderBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring&) {
  std::string native;
  if (!nativePath(relative, native)) return false;
  const int fd = openBelowNative(static_cast<int>(folder.handle.native), native, O_RDONLY | O_DIRECTORY, 0);
  return fd >= 0 && closeKeepingError(fd, ::fsync(fd) == 0);
}

bool openFolderBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring&, FileHandle& file) {
  std::string native;
  if (!nativePath(relative, native)) return false;
  const int fd =
      openBelowNative(static_cast<int>(folder.handle.native), native, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0);
  if (fd < 0) return false;
  file.native = fd;
  return true;
}

bool makeLinkBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring&,
                   const std::wstring& target, bool) {
  std::string nativeTarget;
  if (!nativePath(target, nativeTarget)) return false;
  return inParentBelow(folder, relative, [&nativeTarget](int parent, const std::string& name) {
    return ::symlinkat(nativeTarget.c_str(), parent, name.c_str()) == 0;
  });
}

// linkat without AT_SYMLINK_FOLLOW names the target itself, never what a link there leads to.
bool makeHardLinkBelow(const FolderHandle& folder, const std::wstring& target, const std::wstring& relative,
                       const std::wstring&) {
  return inParentBelow(folder, target, [&](int targetParent, const std::string& targetName) {
    return inParentBelow(folder, relative, [&](int parent, const std::string& name) {
      return ::linkat(targetParent, targetName.c_str(), parent, name.c_str(), 0) == 0;
    });
  });
}

namespace {
// Times for the *utimens* calls: the access time left alone, the modification time `ns`.
void modifiedOnly(int64_t ns, struct timespec (&times)[2]) {
  constexpr int64_t kPerSecond = 1000000000;
  const int64_t seconds = ns / kPerSecond - (ns % kPerSecond < 0 ? 1 : 0);  // rounded down before 1970 too
  times[0] = {0, UTIME_OMIT};
  times[1] = {static_cast<time_t>(seconds), static_cast<long>(ns - seconds * kPerSecond)};
}
}  // namespace

bool setModifiedTime(FileHandle& file, int64_t ns) {
  struct timespec times[2];
  modifiedOnly(ns, times);
  if (::futimens(static_cast<int>(file.native), times) == 0) return true;
  return errno == EBADF && ::utimensat(AT_FDCWD, procPathOf(file).c_str(), times, 0) == 0;
}

bool setLinkTimeBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring&, int64_t ns) {
  struct timespec times[2];
  modifiedOnly(ns, times);
  return inParentBelow(folder, relative, [&times](int parent, const std::string& name) {
    return ::utimensat(parent, name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
  });
}

bool permissions(FileHandle& file, uint32_t& mode) {
  struct stat st;
  if (fstat(static_cast<int>(file.native), &st) != 0) return false;
  mode = st.st_mode & 07777;
  return true;
}

bool setPermissions(FileHandle& file, uint32_t mode) {
  const auto bits = static_cast<mode_t>(mode & 07777);
  if (::fchmod(static_cast<int>(file.native), bits) == 0) return true;
  return errno == EBADF && ::chmod(procPathOf(file).c_str(), bits) == 0;
}

bool removeBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring&) {
  return inParentBelow(folder, relative,
                       [](int parent, const std::string& name) { return ::unlinkat(parent, name.c_str(), 0) == 0; });
}

bool flushFileSystem(FileHandle& onIt) {
#ifdef __linux__
  return ::syncfs(static_cast<int>(onIt.native)) == 0;
#else
  (void)onIt;
  errno = ENOTSUP;
  return false;
#endif
}

// Transfers are positional: only the range of the pointer is checked here.
bool seekFile(FileHandle&, uint64_t offset) {
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    errno = EINVAL;
    return false;
  }
  return true;
}

bool transfer(FileHandle& file, bool write, void* buffer, uint32_t length, uint32_t& moved) {
  const int fd = static_cast<int>(file.native);
  const auto at = static_cast<off_t>(file.position);
  ssize_t n;
  do {
    n = write ? ::pwrite(fd, buffer, length, at) : ::pread(fd, buffer, length, at);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return false;
  moved = static_cast<uint32_t>(n);
  return true;
}

bool flushFile(FileHandle& file) { return ::fdatasync(static_cast<int>(file.native)) == 0; }

bool fileSize(FileHandle& file, uint64_t& size) {
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
  int rc;
  do {
    rc = ::ftruncate(static_cast<int>(file.native), static_cast<off_t>(file.position));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

// Linux files are always sparse-capable; what matters is whether this file
// system can punch holes. Punching one byte past the end changes nothing and
// fails with EOPNOTSUPP exactly where the later zeroing would. The size is
// asked through the seam, so the hook sees that query too.
bool markSparse(FileHandle& file) {
  uint64_t size = 0;
  if (!ablative::fileSize(file, size)) return false;
  return ::fallocate(static_cast<int>(file.native), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                     static_cast<off_t>(size), 1) == 0;
}

bool zeroRange(FileHandle& file, uint64_t first, uint64_t end) {
  return ::fallocate(static_cast<int>(file.native), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                     static_cast<off_t>(first), static_cast<off_t>(end - first)) == 0;
}

bool findHoles(FileHandle& file, uint64_t first, uint64_t end, std::vector<ByteRange>& holes) {
  const int fd = static_cast<int>(file.native);
  for (off_t at = static_cast<off_t>(first); static_cast<uint64_t>(at) < end;) {
    const off_t hole = ::lseek(fd, at, SEEK_HOLE);
    if (hole < 0) return errno == ENXIO;  // past the end: nothing more to find
    if (static_cast<uint64_t>(hole) >= end) return true;
    off_t data = ::lseek(fd, hole, SEEK_DATA);
    if (data < 0) {
      if (errno != ENXIO) return false;
      data = static_cast<off_t>(end);  // a hole up to the file's end
    }
    holes.push_back({static_cast<uint64_t>(hole), std::min(static_cast<uint64_t>(data), end)});
    at = data;
  }
  return true;
}

bool linkCount(FileHandle& file, uint32_t& links) {
  struct stat st;
  if (fstat(static_cast<int>(file.native), &st) != 0) return false;
  links = static_cast<uint32_t>(st.st_nlink);
  return true;
}

bool fileIdentity(FileHandle& file, FileIdentity& identity) {
  struct stat st;
  if (fstat(static_cast<int>(file.native), &st) != 0) return false;
  identity.volume = static_cast<uint64_t>(st.st_dev);
  identity.index = static_cast<uint64_t>(st.st_ino);
  return true;
}

// Only Windows asks the hook to stand in, for the zeroing control some of its
// file systems lack (Wine's); a hole punch that fails here stands.
bool zeroingUnsupported(uint32_t) { return false; }

PathStatus pathStatus(const std::wstring& path) {
  PathStatus status;
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

bool entryStatus(const std::wstring& path, EntryStatus& status) {
  std::string native;
  struct stat st;
  if (!nativePath(path, native) || ::lstat(native.c_str(), &st) != 0) return false;
  status.kind = S_ISLNK(st.st_mode) ? PathKind::Link : kindOf(st);
  status.modifiedNs = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  status.mode = st.st_mode & 07777;
  return true;
}

bool readLinkTarget(const std::wstring& path, std::wstring& target) {
  std::string native;
  if (!nativePath(path, native)) return false;
  std::string bytes(PATH_MAX, '\0');
  const ssize_t length = ::readlink(native.c_str(), bytes.data(), bytes.size());
  if (length < 0 || static_cast<size_t>(length) == bytes.size()) return false;
  bytes.resize(static_cast<size_t>(length));
  target = fromUtf8(bytes);
  return !target.empty();
}

bool realPath(const std::wstring& path, std::wstring& real) {
  std::string native;
  if (!nativePath(path, native)) return false;
  char* resolved = ::realpath(native.c_str(), nullptr);
  if (resolved == nullptr) return false;
  real = fromUtf8(resolved);
  ::free(resolved);
  return true;
}

bool listDirectory(const std::wstring& path, std::vector<DirEntry>& entries) {
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
    entry.nameIsText = isValidUtf8(item->d_name);
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

// A file system that counts no inodes (f_files 0) makes them as needed.
bool volumeSpace(const std::wstring& path, VolumeSpace& space) {
  std::string native;
  struct statvfs st;
  if (!nativePath(path, native) || ::statvfs(native.c_str(), &st) != 0) return false;
  space.unitBytes = st.f_frsize != 0 ? st.f_frsize : std::max<uint64_t>(st.f_bsize, 1);
  space.freeBytes = uint64_t{st.f_bavail} * space.unitBytes;
  space.freeEntries = st.f_files != 0 ? uint64_t{st.f_favail} : kNoEntryLimit;
  return true;
}

namespace {

// A FUSE file system says nothing of its type: a scratch file written past
// its start shows whether the gap takes space, and whether a range of it can
// be released.
void probeHoles(const std::string& folder, FileSystemTraits& traits) {
  constexpr off_t kGap = 1 << 20;
  std::string scratch = folder + "/.zarvik-probe-XXXXXX";
  const int fd = ::mkstemp(scratch.data());
  if (fd < 0) return;  // nothing can be tried here: the traits stay as assumed
  struct stat st;
  traits.holesInNewFiles = ::pwrite(fd, "x", 1, kGap) == 1 && ::fstat(fd, &st) == 0 && st.st_blocks * 512 < kGap;
  traits.releasesRanges = ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, kGap, 1) == 0;
  ::close(fd);
  ::unlink(scratch.c_str());
}

}  // namespace

bool fileSystemTraits(const std::wstring& path, FileSystemTraits& traits) {
  constexpr long kFatMagic = 0x4d44, kExFatMagic = 0x2011BAB0, kFuseMagic = 0x65735546;  // linux/magic.h has no exFAT
  std::string native;
  struct statfs st;
  if (!nativePath(path, native) || ::statfs(native.c_str(), &st) != 0) return false;
  const bool fatFamily = st.f_type == kFatMagic || st.f_type == kExFatMagic;
  traits.releasesRanges = !fatFamily;
  traits.holesInNewFiles = traits.releasesRanges;
  if (st.f_type == kFatMagic) traits.largestFile = 0xFFFFFFFFu;
  // exFAT reports the bytes its longest name may take in the widest character set, not its 255 characters.
  if (st.f_namelen > 0) traits.longestName = fatFamily ? 255 : static_cast<uint32_t>(st.f_namelen);
  traits.namesInUtf16 = fatFamily;
  traits.windowsNames = fatFamily;
  traits.lastingFileNumbers = !fatFamily && st.f_type != kFuseMagic;
  if (st.f_type == kFuseMagic) probeHoles(native, traits);
  return true;
}

bool makeDirectory(const std::wstring& path) {
  std::string native;
  return nativePath(path, native) && ::mkdir(native.c_str(), 0777) == 0;
}

bool isExistsError(uint32_t code) { return code == EEXIST; }

uint32_t notDirectoryErrorCode() { return ENOTDIR; }

bool renameReplace(const std::wstring& from, const std::wstring& to) {
  std::string a, b;
  if (!nativePath(from, a) || !nativePath(to, b) || ::rename(a.c_str(), b.c_str()) != 0) return false;
  // FAT keeps a file's size and first cluster in its directory entry and writes
  // a renamed file's new entry only with the file itself: until the file is
  // flushed, a power cut leaves the name on the replaced file's freed clusters.
  int fd = ::open(b.c_str(), O_RDONLY | O_CLOEXEC);
  return fd >= 0 && closeKeepingError(fd, ::fsync(fd) == 0);
}

bool removeFile(const std::wstring& path) {
  std::string native;
  return nativePath(path, native) && ::unlink(native.c_str()) == 0;
}

bool syncDirectory(const std::wstring& path) {
  std::string native;
  if (!nativePath(path, native)) return false;
  int fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd >= 0 && closeKeepingError(fd, ::fsync(fd) == 0);
}

bool fileIdentity(const std::wstring& path, FileIdentity& identity) {
  std::string native;
  struct stat st;
  if (!nativePath(path, native) || ::stat(native.c_str(), &st) != 0) return false;
  identity.volume = static_cast<uint64_t>(st.st_dev);
  identity.index = static_cast<uint64_t>(st.st_ino);
  return true;
}

}  // namespace platform

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

void writeBackFileSystem(const FolderHandle& folder) {
#ifdef __linux__
  const int saved = errno;
  const int own = ::openat(static_cast<int>(folder.handle.native), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (own >= 0) {
    ::syncfs(own);
    ::close(own);
  }
  errno = saved;
#else
  (void)folder;
#endif
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

// Names here are bytes: what is not UTF-8 comes through as nameFromBytes
// keeps it, and goes back to the file system as the same bytes.
std::string toUtf8(const std::wstring& wide) {
  std::string out;
  return nameBytes(wide, out) ? out : std::string();
}

std::wstring fromUtf8(const std::string& utf8) { return nameFromBytes(utf8); }

// File systems that ignore case fold every letter they know, not only
// ASCII (exFAT's table maps "ä" to "Ä"): folding by Unicode's simple upper
// case finds each pair they would hold as one, whatever the user's locale.
std::wstring upperCaseName(const std::wstring& name) {
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  std::wstring upper = name;
  for (wchar_t& ch : upper) {
    if (unicode != static_cast<locale_t>(0)) {
      ch = static_cast<wchar_t>(towupper_l(static_cast<wint_t>(ch), unicode));
    } else if (ch >= L'a' && ch <= L'z') {
      ch = static_cast<wchar_t>(ch - L'a' + L'A');
    }
  }
  return upper;
}

uint32_t diskFullErrorCode() { return ENOSPC; }

bool isNotFoundError(uint32_t code) { return isMissing(static_cast<int>(code)); }

bool isAccessDeniedError(uint32_t code) { return code == EACCES || code == EPERM; }

bool isInUseError(uint32_t code) { return code == EWOULDBLOCK; }

bool isLinkError(uint32_t code) { return code == ELOOP; }

// symlinkat and linkat: a file system without such links
bool isLinkRefusedError(uint32_t code) { return code == EPERM || code == ENOSYS || code == EOPNOTSUPP; }

}  // namespace ablative
