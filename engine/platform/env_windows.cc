// Windows implementation of the platform seam, below env.cc: Win32 file
// handles, the file-system controls for sparse files, and the UTF-8 code page.
#include "platform/env.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <climits>

#include "platform/env_platform.h"
#include "platform/reparse_data.h"

namespace ablative {

namespace {

// "The create operation stopped after reaching a symbolic link"; older SDKs lack the name.
constexpr DWORD kStoppedOnLink = 681;

HANDLE handleOf(const FileHandle& file) { return reinterpret_cast<HANDLE>(file.native); }

bool isFullPath(const std::wstring& path) {
  return (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) ||
         (path.size() >= 2 && (path[0] == L'\\' || path[0] == L'/') && (path[1] == L'\\' || path[1] == L'/'));
}

// Paths longer than the classic limit need the extended-length form, which
// the system takes literally: make it absolute and normalised first.
std::wstring nativePath(const std::wstring& path) {
  if (path.size() < MAX_PATH - 12 || path.rfind(L"\\\\?\\", 0) == 0 || !isFullPath(path)) return path;
  DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return path;
  full.resize(length);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

PathKind kindOfAttributes(DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::Directory;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return PathKind::Other;
  return PathKind::File;
}

// Follows a link by opening what it leads to.
PathStatus followedStatus(const std::wstring& path) {
  PathStatus status;
  HANDLE h = CreateFileW(nativePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    status.kind = isNotFoundError(GetLastError()) ? PathKind::Missing : PathKind::Error;
    return status;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(h, &info)) {
    status.kind = kindOfAttributes(info.dwFileAttributes);
    status.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  }
  DWORD code = GetLastError();
  CloseHandle(h);
  SetLastError(code);
  return status;
}

// Opens with the access, sharing and disposition of `mode`, and `flags`.
bool openNative(const std::wstring& path, OpenMode mode, DWORD flags, FileHandle& file) {
  DWORD access = GENERIC_READ | GENERIC_WRITE;
  DWORD share = FILE_SHARE_READ;
  DWORD disposition = OPEN_EXISTING;
  switch (mode) {
    case OpenMode::ReadOnly:
      access = GENERIC_READ;
      share = FILE_SHARE_READ | FILE_SHARE_WRITE;  // like a stream: a file in use by a writer still reads
      break;
    case OpenMode::ReadDenyWrite: access = GENERIC_READ; break;
    case OpenMode::ReadWrite: break;
    case OpenMode::CreateTruncate: disposition = CREATE_ALWAYS; break;
    case OpenMode::OpenOrCreate: disposition = OPEN_ALWAYS; break;
    case OpenMode::CreateNew:
      disposition = CREATE_NEW;
      flags |= FILE_FLAG_OPEN_REPARSE_POINT;  // a link of that name is an entry that exists, not a way elsewhere
      break;
  }
  HANDLE h = CreateFileW(nativePath(path).c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL | flags,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  file.native = reinterpret_cast<intptr_t>(h);
  return true;
}

// Whether a component of `relative` that exists is a reparse point. The
// walk stops at the first that does not exist.
bool passesThroughLink(const FolderHandle& folder, const std::wstring& relative) {
  for (size_t end = relative.find(L'/');; end = relative.find(L'/', end + 1)) {
    const std::wstring upTo = platform::fullPath(folder, relative.substr(0, end));
    const DWORD attributes = GetFileAttributesW(nativePath(upTo).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      SetLastError(kStoppedOnLink);
      return true;
    }
    if (end == std::wstring::npos) return false;
  }
}

// Keeps `file` open only where it is a regular file: a link (opened as a
// reparse point) or a folder is closed with an error saying so.
bool keepIfRegular(FileHandle& file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handleOf(file), &info)) {
    file.close();  // keeps the error
    return false;
  }
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
    const DWORD code = info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? ERROR_DIRECTORY : kStoppedOnLink;
    file.close();
    SetLastError(code);
    return false;
  }
  return true;
}

}  // namespace

namespace platform {

bool closeNative(intptr_t native) { return CloseHandle(reinterpret_cast<HANDLE>(native)) != 0; }

bool openFile(const std::wstring& path, OpenMode mode, FileHandle& file) { return openNative(path, mode, 0, file); }

bool openFolder(const std::wstring& path, FileHandle& file) {
  HANDLE h = CreateFileW(nativePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  file.native = reinterpret_cast<intptr_t>(h);
  return true;
}

// The sharing modes of openFile do the locking here.
bool lockFile(FileHandle&, bool) { return true; }

// A duplicated handle would share the system's file pointer: a handle opened
// anew on the same file has its own.
bool openAgain(FileHandle& file, FileHandle& again) {
  const HANDLE h = ReOpenFile(handleOf(file), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
  if (h == INVALID_HANDLE_VALUE) return false;
  again.native = reinterpret_cast<intptr_t>(h);
  return true;
}

// Windows resolves a path as a whole with no way to refuse links on the way,
// so each component that exists is checked first; a link planted between the
// check and the open is not caught, except at the last component.
PathStatus statusBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring& full) {
  PathStatus status;
  if (passesThroughLink(folder, relative)) {
    status.kind = PathKind::Link;
    return status;
  }
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(nativePath(full).c_str(), GetFileExInfoStandard, &data)) {
    status.kind = isNotFoundError(GetLastError()) ? PathKind::Missing : PathKind::Error;
    return status;
  }
  status.kind = kindOfAttributes(data.dwFileAttributes);
  status.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return status;
}

bool openBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring& full, OpenMode mode,
               FileHandle& file) {
  if (passesThroughLink(folder, relative) || !openNative(full, mode, FILE_FLAG_OPEN_REPARSE_POINT, file)) return false;
  return keepIfRegular(file);
}

// The right to append is asked where the file grants it, as flushFile needs a
// right to write; a read-only file grants none, and opens without it.
bool openMetadataBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring& full,
                       FileHandle& file) {
  if (passesThroughLink(folder, relative)) return false;
  const std::wstring path = nativePath(full);
  constexpr DWORD kMetadata = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (const DWORD access : {kMetadata | FILE_APPEND_DATA, kMetadata}) {
    h = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) break;
  }
  if (h == INVALID_HANDLE_VALUE) return false;
  file.native = reinterpret_cast<intptr_t>(h);
  return keepIfRegular(file);
}

bool makeFolderBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring& full) {
  if (passesThroughLink(folder, relative)) return false;
  if (CreateDirectoryW(nativePath(full).c_str(), nullptr)) return true;
  if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
  const DWORD attributes = GetFileAttributesW(nativePath(full).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
  SetLastError(ERROR_DIRECTORY);
  return false;
}

// Windows commits entries with the file.
bool syncFolderBelow(const FolderHandle&, const std::wstring&, const std::wstring&) { return true; }

// A link at the name goes, not what it leads to, as on POSIX; a link to a
// folder goes as a folder does. A read-only file goes too, as a name goes on
// POSIX whatever its file's permissions: a resumed run replaces what an
// earlier run made read-only.
bool removeBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring& full) {
  const size_t slash = relative.rfind(L'/');
  if (slash != std::wstring::npos && passesThroughLink(folder, relative.substr(0, slash))) return false;
  const std::wstring path = nativePath(full);
  const DWORD attributes = GetFileAttributesW(path.c_str()),
              linkToFolder = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & linkToFolder) == linkToFolder) {
    return RemoveDirectoryW(path.c_str()) != 0;
  }
  if (DeleteFileW(path.c_str())) return true;
  const bool readOnlyFile = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
                            !(attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
  if (!readOnlyFile || GetLastError() != ERROR_ACCESS_DENIED) return false;
  return SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY}) && DeleteFileW(path.c_str());
}

// Flushing a whole volume needs administrator rights here.
bool flushFileSystem(FileHandle&) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

bool seekFile(FileHandle& file, uint64_t offset) {
  LARGE_INTEGER target;
  target.QuadPart = static_cast<LONGLONG>(offset);
  if (offset > static_cast<uint64_t>(LLONG_MAX)) {
    SetLastError(ERROR_NEGATIVE_SEEK);
    return false;
  }
  return SetFilePointerEx(handleOf(file), target, nullptr, FILE_BEGIN) != 0;
}

// At the system's file pointer, which seekFile keeps at file.position.
bool transfer(FileHandle& file, bool write, void* buffer, uint32_t length, uint32_t& moved) {
  DWORD count = 0;
  const BOOL ok = write ? WriteFile(handleOf(file), buffer, length, &count, nullptr)
                        : ReadFile(handleOf(file), buffer, length, &count, nullptr);
  moved = count;
  return ok != 0;
}

bool flushFile(FileHandle& file) { return FlushFileBuffers(handleOf(file)) != 0; }

bool fileSize(FileHandle& file, uint64_t& size) {
  LARGE_INTEGER value;
  if (!GetFileSizeEx(handleOf(file), &value)) return false;
  size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

bool setEndOfFile(FileHandle& file) { return SetEndOfFile(handleOf(file)) != 0; }

bool markSparse(FileHandle& file) {
  DWORD bytes = 0;
  return DeviceIoControl(handleOf(file), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &bytes, nullptr) != 0;
}

bool zeroRange(FileHandle& file, uint64_t first, uint64_t end) {
  FILE_ZERO_DATA_INFORMATION range;
  range.FileOffset.QuadPart = static_cast<LONGLONG>(first);
  range.BeyondFinalZero.QuadPart = static_cast<LONGLONG>(end);
  DWORD bytes = 0;
  return DeviceIoControl(handleOf(file), FSCTL_SET_ZERO_DATA, &range, sizeof range, nullptr, 0, &bytes, nullptr) != 0;
}

// Where the file system cannot list its allocated ranges (FAT, Wine's), nothing
// is known of holes.
bool findHoles(FileHandle& file, uint64_t first, uint64_t end, std::vector<ByteRange>& holes) {
  FILE_ALLOCATED_RANGE_BUFFER query, ranges[64];
  query.FileOffset.QuadPart = static_cast<LONGLONG>(first);
  query.Length.QuadPart = static_cast<LONGLONG>(end - first);
  for (uint64_t at = first;;) {
    DWORD bytes = 0;
    const BOOL ok = DeviceIoControl(handleOf(file), FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, ranges,
                                    sizeof ranges, &bytes, nullptr);
    if (!ok && GetLastError() != ERROR_MORE_DATA) return holes.clear(), true;  // the file system cannot tell
    const DWORD count = bytes / sizeof ranges[0];
    for (DWORD i = 0; i < count; ++i) {
      const auto start = static_cast<uint64_t>(ranges[i].FileOffset.QuadPart);
      if (start > at) holes.push_back({at, start});
      at = start + static_cast<uint64_t>(ranges[i].Length.QuadPart);
    }
    if (ok || count == 0) {
      if (at < end) holes.push_back({at, end});
      return true;
    }
    query.FileOffset.QuadPart = static_cast<LONGLONG>(at);
    query.Length.QuadPart = static_cast<LONGLONG>(end - at);
  }
}

bool linkCount(FileHandle& file, uint32_t& links) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handleOf(file), &info)) return false;
  links = info.nNumberOfLinks;
  return true;
}

bool fileIdentity(FileHandle& file, FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handleOf(file), &info)) return false;
  identity.volume = info.dwVolumeSerialNumber;
  identity.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool zeroingUnsupported(uint32_t code) { return code == ERROR_NOT_SUPPORTED; }  // Wine's file systems

PathStatus pathStatus(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(nativePath(path).c_str(), GetFileExInfoStandard, &data)) {
    PathStatus status;
    status.kind = isNotFoundError(GetLastError()) ? PathKind::Missing : PathKind::Error;
    return status;
  }
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return followedStatus(path);
  PathStatus status;
  status.kind = kindOfAttributes(data.dwFileAttributes);
  status.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return status;
}

bool entryStatus(const std::wstring& path, EntryStatus& status) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(nativePath(path).c_str(), GetFileExInfoStandard, &data)) return false;
  const DWORD attributes = data.dwFileAttributes;
  status.kind = attributes & FILE_ATTRIBUTE_REPARSE_POINT ? PathKind::Link : kindOfAttributes(attributes);
  constexpr int64_t kFrom1601 = 116444736000000000;
  const int64_t units =
      static_cast<int64_t>(uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32 | data.ftLastWriteTime.dwLowDateTime);
  status.modifiedNs = (units - kFrom1601) * 100;
  const uint32_t execute = status.kind == PathKind::Directory ? 0111 : 0;
  status.mode = (attributes & FILE_ATTRIBUTE_READONLY ? 0444 : 0644) | execute;
  return true;
}

// The name the system reaches the file by, in the form a user types: without
// the \\?\ a long path needs.
bool realPath(const std::wstring& path, std::wstring& real) {
  HANDLE h = CreateFileW(nativePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  std::wstring name(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(h, name.data(), static_cast<DWORD>(name.size()), FILE_NAME_NORMALIZED);
  if (length >= name.size()) {
    name.resize(length + 1);
    length = GetFinalPathNameByHandleW(h, name.data(), static_cast<DWORD>(name.size()), FILE_NAME_NORMALIZED);
  }
  const DWORD code = GetLastError();
  CloseHandle(h);
  if (length == 0 || length >= name.size()) {
    SetLastError(code);
    return false;
  }
  name.resize(length);
  if (name.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    real = L"\\\\" + name.substr(8);
  } else {
    real = name.rfind(L"\\\\?\\", 0) == 0 ? name.substr(4) : name;
  }
  return true;
}

// From the reparse point's own data; other reparse points than links and
// junctions (cloud files, deduplicated files) fail, and the scan follows them.
bool readLinkTarget(const std::wstring& path, std::wstring& target) {
  HANDLE h = CreateFileW(nativePath(path).c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  std::vector<uint8_t> data(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  DWORD bytes = 0;
  const BOOL ok = DeviceIoControl(h, FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(), static_cast<DWORD>(data.size()),
                                  &bytes, nullptr);
  const DWORD code = GetLastError();
  CloseHandle(h);
  std::string utf8;
  if (!ok || !linkTargetOfReparseData(std::span(data.data(), std::min<size_t>(bytes, data.size())), utf8)) {
    SetLastError(ok ? ERROR_NOT_SUPPORTED : code);
    return false;
  }
  target = fromUtf8(utf8);
  return !target.empty();
}

bool listDirectory(const std::wstring& path, std::vector<DirEntry>& entries) {
  std::wstring prefix = path;
  if (!prefix.empty() && prefix.back() != L'\\' && prefix.back() != L'/') prefix += L'\\';
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileExW(nativePath(prefix + L"*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                 nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    DirEntry entry;
    entry.name = name;
    entry.isLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (entry.isLink) {
      PathStatus target = followedStatus(prefix + name);
      entry.kind = target.kind == PathKind::Error ? PathKind::Missing : target.kind;
      entry.size = target.size;
    } else {
      entry.kind = kindOfAttributes(data.dwFileAttributes);
      entry.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    entries.push_back(std::move(entry));
  } while (FindNextFileW(find, &data));
  DWORD code = GetLastError();
  FindClose(find);
  SetLastError(code);
  return code == ERROR_NO_MORE_FILES;
}

// Judged by the file system's name: the FAT family keeps no holes (some
// volumes, Wine's among them, do not report their sparse-file support).
bool fileSystemTraits(const std::wstring& path, FileSystemTraits& traits) {
  wchar_t volume[MAX_PATH + 1], name[MAX_PATH + 1];
  DWORD longestName = 0;
  if (!GetVolumePathNameW(nativePath(path).c_str(), volume, MAX_PATH + 1) ||
      !GetVolumeInformationW(volume, nullptr, 0, nullptr, &longestName, nullptr, name, MAX_PATH + 1)) {
    return false;
  }
  if (longestName > 0) traits.longestName = longestName;
  traits.namesInUtf16 = true;
  traits.windowsNames = true;
  const std::wstring fileSystem = name;
  traits.releasesRanges = !fileSystem.starts_with(L"FAT") && fileSystem != L"exFAT";
  traits.holesInNewFiles = false;  // only files marked sparse keep holes, and destination files are not
  if (fileSystem.starts_with(L"FAT")) traits.largestFile = 0xFFFFFFFFu;
  traits.lastingFileNumbers = traits.releasesRanges;
  return true;
}

// The cluster size is asked of the volume's root, which GetDiskFreeSpaceW
// wants; NTFS has no fixed number of file records, so no entry limit.
bool volumeSpace(const std::wstring& path, VolumeSpace& space) {
  const std::wstring native = nativePath(path);
  ULARGE_INTEGER available;
  std::wstring root(std::max<size_t>(native.size(), MAX_PATH) + 2, L'\0');
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
  if (!GetDiskFreeSpaceExW(native.c_str(), &available, nullptr, nullptr) ||
      !GetVolumePathNameW(native.c_str(), root.data(), static_cast<DWORD>(root.size())) ||
      !GetDiskFreeSpaceW(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters)) {
    return false;
  }
  space.freeBytes = available.QuadPart;
  space.unitBytes = std::max<uint64_t>(uint64_t{sectorsPerCluster} * bytesPerSector, 1);
  space.freeEntries = kNoEntryLimit;
  return true;
}

bool makeDirectory(const std::wstring& path) { return CreateDirectoryW(nativePath(path).c_str(), nullptr) != 0; }

bool isExistsError(uint32_t code) { return code == ERROR_ALREADY_EXISTS; }

uint32_t notDirectoryErrorCode() { return ERROR_DIRECTORY; }

bool openFolderBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring& full,
                     FileHandle& file) {
  if (passesThroughLink(folder, relative)) return false;
  HANDLE h = CreateFileW(nativePath(full).c_str(), GENERIC_READ | FILE_WRITE_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  file.native = reinterpret_cast<intptr_t>(h);
  return true;
}

// Making links takes a privilege, unless the system lets any user make them
// (developer mode), a flag that systems before it refuse as a parameter. Wine
// reports links made and makes none: what is made is checked.
bool makeLinkBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring& full,
                   const std::wstring& target, bool toFolder) {
  if (passesThroughLink(folder, relative)) return false;
  std::wstring nativeTarget = target;
  std::replace(nativeTarget.begin(), nativeTarget.end(), L'/', L'\\');
  const std::wstring path = nativePath(full);
  const DWORD flags = toFolder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
  if (!CreateSymbolicLinkW(path.c_str(), nativeTarget.c_str(), flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
      !(GetLastError() == ERROR_INVALID_PARAMETER && CreateSymbolicLinkW(path.c_str(), nativeTarget.c_str(), flags))) {
    return false;
  }
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
  SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

bool makeHardLinkBelow(const FolderHandle& folder, const std::wstring& target, const std::wstring& relative,
                       const std::wstring& full) {
  if (passesThroughLink(folder, relative) || passesThroughLink(folder, target)) return false;
  return CreateHardLinkW(nativePath(full).c_str(), nativePath(fullPath(folder, target)).c_str(), nullptr) != 0;
}

// FILETIME counts 100 ns since 1601; 1970 is this many such units later.
bool setModifiedTime(FileHandle& file, int64_t ns) {
  constexpr int64_t kFrom1601 = 116444736000000000;
  const int64_t units = ns / 100 - (ns % 100 < 0 ? 1 : 0) + kFrom1601;
  if (units < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  FILETIME written;
  written.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(units));
  written.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(units) >> 32);
  return SetFileTime(handleOf(file), nullptr, nullptr, &written) != 0;
}

// The link itself: openFolderBelow opens a reparse point, not what it leads to.
bool setLinkTimeBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring& full, int64_t ns) {
  FileHandle link;
  return platform::openFolderBelow(folder, relative, full, link) && platform::setModifiedTime(link, ns);
}

bool permissions(FileHandle&, uint32_t& mode) {
  mode = 0777;
  return true;
}

// Only the owner's write bit has a counterpart: a file's read-only attribute.
// Other attributes stay; zero times in the record leave the times alone.
bool setPermissions(FileHandle& file, uint32_t mode) {
  FILE_BASIC_INFO info;
  if (!GetFileInformationByHandleEx(handleOf(file), FileBasicInfo, &info, sizeof info)) return false;
  if (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) return true;
  const DWORD wanted = mode & 0200 ? info.FileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY}
                                   : info.FileAttributes | FILE_ATTRIBUTE_READONLY;
  if (wanted == info.FileAttributes) return true;
  FILE_BASIC_INFO change{};
  change.FileAttributes = wanted != 0 ? wanted : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(handleOf(file), FileBasicInfo, &change, sizeof change) != 0;
}

bool renameReplace(const std::wstring& from, const std::wstring& to) {
  return MoveFileExW(nativePath(from).c_str(), nativePath(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool removeFile(const std::wstring& path) { return DeleteFileW(nativePath(path).c_str()) != 0; }

// Windows has no such call and commits entries with the file.
bool syncDirectory(const std::wstring&) { return true; }

bool fileIdentity(const std::wstring& path, FileIdentity& identity) {
  FileHandle file;  // closing it keeps the error code
  HANDLE h = CreateFileW(nativePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  file.native = reinterpret_cast<intptr_t>(h);
  return platform::fileIdentity(file, identity);
}

}  // namespace platform

// Windows has no call that starts writing a range without waiting for it.
void startWriteback(FileHandle&, uint64_t, uint64_t) {}

void writeBackFileSystem(const FolderHandle&) {}

uint32_t lastErrorCode() { return GetLastError(); }

void setLastErrorCode(uint32_t code) { SetLastError(code); }

std::wstring systemErrorText(uint32_t code) {
  LPWSTR buffer = nullptr;
  DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0x0400, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  if (length == 0 || buffer == nullptr) return L"Unknown error";
  std::wstring text(buffer, length);
  LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ' || text.back() == L'\t')) {
    text.pop_back();
  }
  return text;
}

uint32_t diskFullErrorCode() { return ERROR_DISK_FULL; }

std::wstring upperCaseName(const std::wstring& name) {
  std::wstring upper = name;
  if (!upper.empty() && upper.size() <= MAXDWORD) CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
  return upper;
}

bool isNotFoundError(uint32_t code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_NETNAME_DELETED:
    case ERROR_INVALID_NAME:
    case ERROR_DIRECTORY: return true;
    default: return false;
  }
}

bool isAccessDeniedError(uint32_t code) { return code == ERROR_ACCESS_DENIED; }

bool isInUseError(uint32_t code) { return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION; }

bool isLinkError(uint32_t code) { return code == kStoppedOnLink; }

// No privilege, a file system without links (FAT), Wine.
bool isLinkRefusedError(uint32_t code) {
  return code == ERROR_PRIVILEGE_NOT_HELD || code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED;
}

std::string toUtf8(const std::wstring& wide) {
  if (wide.empty() || wide.size() > INT_MAX) return {};
  int length =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), length, nullptr, nullptr);
  return out;
}

std::wstring fromUtf8(const std::string& utf8) {
  if (utf8.empty() || utf8.size() > INT_MAX) return {};
  int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (length <= 0) return {};
  std::wstring out(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), length);
  return out;
}

}  // namespace ablative
