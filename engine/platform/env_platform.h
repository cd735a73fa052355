// What each platform implements below the seam, for env.cc: it defines the
// calls of env.h that touch the file system once, asks the I/O hook, then
// calls these. env_posix.cc and env_windows.cc each define them with the
// system's calls. None asks the hook; each does what the call of env.h of the
// same name promises, with the conditions noted here already met.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/env.h"

namespace ablative::platform {

// The characters that end a path component.
#ifdef _WIN32
inline constexpr wchar_t kSeparators[] = L"\\/";
#else
inline constexpr wchar_t kSeparators[] = L"/";
#endif

// `relative` (with "/" between its components) below the folder's path, with
// the platform's separators: what the hook sees for the *Below calls.
// Defined in env.cc.
std::wstring fullPath(const FolderHandle& folder, const std::wstring& relative);

// Releases a handle that is open; false when the system reported an error.
bool closeNative(intptr_t native);

// Open calls set `file.native`; `file` is closed when they start.
bool openFile(const std::wstring& path, OpenMode mode, FileHandle& file);
bool openFolder(const std::wstring& path, FileHandle& file);  // `path` is not empty
bool lockFile(FileHandle& file, bool exclusive);
bool openAgain(FileHandle& file, FileHandle& again);

// `full` is fullPath(folder, relative).
PathStatus statusBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring& full);
bool openBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring& full, OpenMode mode,
               FileHandle& file);
bool makeFolderBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring& full);
bool syncFolderBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring& full);
bool removeBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring& full);
bool openFolderBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring& full,
                     FileHandle& file);
bool openMetadataBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring& full,
                       FileHandle& file);
bool makeLinkBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring& full,
                   const std::wstring& target, bool toFolder);
bool makeHardLinkBelow(const FolderHandle& folder, const std::wstring& target, const std::wstring& relative,
                       const std::wstring& full);
bool setLinkTimeBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring& full, int64_t ns);

// Checks `offset` and moves the system's file pointer there, where the
// platform has one; env.cc keeps `file.position`.
bool seekFile(FileHandle& file, uint64_t offset);
// Reads into or writes from `buffer` at `file.position`, setting `moved` to
// the bytes moved (left 0 when nothing moved); env.cc advances the position.
bool transfer(FileHandle& file, bool write, void* buffer, uint32_t length, uint32_t& moved);
bool flushFile(FileHandle& file);
bool fileSize(FileHandle& file, uint64_t& size);
bool setEndOfFile(FileHandle& file);
bool markSparse(FileHandle& file);
bool zeroRange(FileHandle& file, uint64_t first, uint64_t end);                                 // end > first
bool findHoles(FileHandle& file, uint64_t first, uint64_t end, std::vector<ByteRange>& holes);  // end > first
bool linkCount(FileHandle& file, uint32_t& links);
bool fileIdentity(FileHandle& file, FileIdentity& identity);
// Whether zeroRange's error `code` says the file system has no such control,
// so that the hook is asked to stand in (IoCall::stoodIn).
bool zeroingUnsupported(uint32_t code);
bool flushFileSystem(FileHandle& onIt);
bool setModifiedTime(FileHandle& file, int64_t ns);
bool permissions(FileHandle& file, uint32_t& mode);
bool setPermissions(FileHandle& file, uint32_t mode);

PathStatus pathStatus(const std::wstring& path);
bool entryStatus(const std::wstring& path, EntryStatus& status);
bool readLinkTarget(const std::wstring& path, std::wstring& target);
bool realPath(const std::wstring& path, std::wstring& real);
bool listDirectory(const std::wstring& path, std::vector<DirEntry>& entries);  // `entries` is empty
bool volumeSpace(const std::wstring& path, VolumeSpace& space);                // `path` is not empty
bool fileSystemTraits(const std::wstring& path, FileSystemTraits& traits);     // `path` is not empty
// Creates one directory whose parent exists.
bool makeDirectory(const std::wstring& path);
bool isExistsError(uint32_t code);  // makeDirectory met an entry of that name
uint32_t notDirectoryErrorCode();   // an entry that should be a directory is something else
bool renameReplace(const std::wstring& from, const std::wstring& to);
bool removeFile(const std::wstring& path);
bool syncDirectory(const std::wstring& path);                         // `path` is not empty
bool fileIdentity(const std::wstring& path, FileIdentity& identity);  // `path` is not empty

}  // namespace ablative::platform
