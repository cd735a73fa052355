// The platform seam: every call the engine makes into the operating system.
//
// env_posix.cc and env_windows.cc implement this header, one file per
// platform; nothing else in the engine touches a system header. The shapes
// follow the Windows model (a handle with a file pointer, a seek then a read
// or write that may move fewer bytes than asked), so the engine's logic is the
// same on both; on POSIX the pointer lives in the handle and transfers use
// pread/pwrite.
//
// Failures return false (or an empty result) and leave the platform's error
// code where lastErrorCode() reads it: errno on POSIX, GetLastError() on
// Windows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ablative {

#ifdef _WIN32
inline constexpr wchar_t kPathSeparator = L'\\';
#else
inline constexpr wchar_t kPathSeparator = L'/';
#endif

// An open file. Move-only; closes itself when it goes out of scope.
class FileHandle {
 public:
  FileHandle() = default;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  FileHandle(FileHandle&& other) noexcept;
  FileHandle& operator=(FileHandle&& other) noexcept;
  ~FileHandle();

  bool isOpen() const;
  void close();

  // A HANDLE on Windows, a descriptor on POSIX; -1 when closed.
  intptr_t native = -1;
  // The file pointer on POSIX, where transfers are positional.
  uint64_t position = 0;
};

enum class OpenMode {
  ReadOnly,         // existing file, read access
  ReadWrite,        // existing file, read and write access
  CreateTruncate,   // create or empty, read and write access
  OpenOrCreate,     // open as it is or create empty, read and write access
};

// Opens `path`. While a file is open for writing, other processes may only
// read it; ReadOnly lets others go on writing, as a stream would.
bool openFile(const std::wstring& path, OpenMode mode, FileHandle& file);

// Transfers at the handle's file pointer, advancing it by the bytes moved.
// A read of 0 bytes with `true` means end of file.
bool seekFile(FileHandle& file, uint64_t offset);
bool readSome(FileHandle& file, void* buffer, uint32_t length, uint32_t& got);
bool writeSome(FileHandle& file, const void* buffer, uint32_t length, uint32_t& written);
bool flushFile(FileHandle& file);           // file data durable on disk
bool fileSize(FileHandle& file, uint64_t& size);
bool setEndOfFile(FileHandle& file);        // cut or extend the file at the file pointer
bool markSparse(FileHandle& file);          // fails where ranges cannot be released
bool zeroRange(FileHandle& file, uint64_t first, uint64_t end);  // zero [first, end) and release its space

// Paths. A status query follows links.
enum class PathKind { Missing, File, Directory, Other, Error };
struct PathStatus {
  PathKind kind = PathKind::Error;
  uint64_t size = 0;
};
PathStatus pathStatus(const std::wstring& path);

struct DirEntry {
  std::wstring name;
  PathKind kind = PathKind::Other;  // after following a link; Missing for a dangling link
  bool isLink = false;              // a symbolic link, junction or other redirected entry
  uint64_t size = 0;                // valid when kind is File
};
// Lists one directory (without "." and ".."), in the platform's order.
bool listDirectory(const std::wstring& path, std::vector<DirEntry>& entries);

bool createDirectories(const std::wstring& path);  // an existing directory is fine
bool renameReplace(const std::wstring& from, const std::wstring& to);
bool removeFile(const std::wstring& path);
// Makes the directory's entries (created, renamed, removed files) durable.
// Windows has no such call and commits entries with the file; it succeeds there.
bool syncDirectory(const std::wstring& path);

// Errors.
uint32_t lastErrorCode();
void setLastErrorCode(uint32_t code);
std::wstring systemErrorText(uint32_t code);  // the system's text, trailing blanks trimmed
uint32_t diskFullErrorCode();  // what a write that moved nothing reports
bool isNotFoundError(uint32_t code);
bool isAccessDeniedError(uint32_t code);

// Text. UTF-8 conversion with the platform's UTF-8 code page; an empty result
// means failure (or empty input). Every code point survives a round trip.
std::string toUtf8(const std::wstring& wide);
std::wstring fromUtf8(const std::string& utf8);

}  // namespace ablative
