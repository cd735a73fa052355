// The platform seam: every call the engine makes into the operating system.
//
// env.cc implements each call that touches the file system once: it asks the
// I/O hook (below), then does the work through env_platform.h. env_posix.cc
// and env_windows.cc implement that and the rest of this header, one file per
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
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ablative {

#ifdef _WIN32
inline constexpr wchar_t kPathSeparator = L'\\';
#else
inline constexpr wchar_t kPathSeparator = L'/';
#endif

struct FileParts;

// An open file. Move-only; closes itself when it goes out of scope.
class FileHandle {
 public:
  FileHandle();
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  FileHandle(FileHandle&& other) noexcept;
  FileHandle& operator=(FileHandle&& other) noexcept;
  ~FileHandle();

  bool isOpen() const;
  // False when the system reported an error on closing (a late write-back
  // error on some file systems); the handle is closed either way.
  bool close();

  // A HANDLE on Windows, a descriptor on POSIX; -1 when closed.
  intptr_t native = -1;
  // The file pointer. POSIX transfers are positional and use it; Windows
  // keeps it in step with the system's pointer for the I/O hook.
  uint64_t position = 0;
  // Set for a file made of parts (openParts), whose `native` stays -1.
  std::unique_ptr<FileParts> parts;
};

enum class OpenMode {
  ReadOnly,        // existing file, read access; others may go on writing it
  ReadDenyWrite,   // existing file, read access; on Windows, fails while another has it open for writing
  ReadWrite,       // existing file, read and write access
  CreateTruncate,  // create or empty, read and write access
  OpenOrCreate,    // open as it is or create empty, read and write access
  CreateNew,       // create, read and write access; fails when any entry has the name, a link included
};

// Opens `path`. While a file is open for writing, other processes may only
// read it; ReadOnly lets others go on writing, as a stream would.
bool openFile(const std::wstring& path, OpenMode mode, FileHandle& file);

// Opens the files at `paths` as one file, their concatenation: an archive
// split into volumes. Reads, the size, cuts, zeroed ranges, holes, flushes,
// locks, link counts and openAgain work on it; its identity is its first
// part's. A cut deletes the parts wholly past it, the last first, each
// removal made durable before anything below it is cut.
bool openParts(const std::vector<std::wstring>& paths, OpenMode mode, FileHandle& file);
// Where each part still there starts, in order: {0} for a file of one part.
std::vector<uint64_t> partStarts(const FileHandle& file);

// Opens the file `file` has open once more, for reading, with a file pointer
// of its own: a second thread reads it through `again` while `file` stays
// where it is. No path is resolved, so it is the same file whatever has taken
// its name since.
bool openAgain(FileHandle& file, FileHandle& again);

// Keeps other runs off a file until `file` closes (or the process ends): an
// exclusive lock for a run that changes the file, a shared one for runs that
// only read it. On POSIX an advisory lock that every run of this program
// takes; on Windows the sharing modes of openFile already refuse a writer
// beside any other user (ReadDenyWrite, ReadWrite), so this only succeeds.
// Fails at once, with an error isInUseError recognises, while another run
// holds a lock that conflicts.
bool lockFile(FileHandle& file, bool exclusive);

// A folder held open, and the path that named it: the place below which the
// *Below calls resolve paths without following links.
struct FolderHandle {
  FileHandle handle;
  std::wstring path;
};
// Opens a folder; a link that names it is followed.
bool openFolder(const std::wstring& path, FolderHandle& folder);

// Transfers at the handle's file pointer, advancing it by the bytes moved.
// A read of 0 bytes with `true` means end of file.
bool seekFile(FileHandle& file, uint64_t offset);
bool readSome(FileHandle& file, void* buffer, uint32_t length, uint32_t& got);
bool writeSome(FileHandle& file, const void* buffer, uint32_t length, uint32_t& written);
bool flushFile(FileHandle& file);  // file data durable on disk
// Starts writing [first, end) to disk without waiting for it, so that a later
// flushFile finds less to do. Only a hint: where the system has no such call
// it does nothing, and it can neither fail nor make anything durable.
void startWriteback(FileHandle& file, uint64_t first, uint64_t end);
// Writes back everything the file system holding `folder` has not, and waits
// for it, where one call can (kCanFlushFileSystem); elsewhere does nothing.
// Only a hint as well: it reports nothing and is not put to the I/O hook, so
// it may run on a thread of its own beside a run the hook counts. It goes
// through a handle of its own, so every failure to write back is still
// reported to flushFileSystem on the run's handles.
void writeBackFileSystem(const FolderHandle& folder);
bool fileSize(FileHandle& file, uint64_t& size);
bool setEndOfFile(FileHandle& file);                             // cut or extend the file at the file pointer
bool markSparse(FileHandle& file);                               // fails where ranges cannot be released
bool zeroRange(FileHandle& file, uint64_t first, uint64_t end);  // zero [first, end) and release its space

// The ranges of [first, end) that hold no data (released, reading as zeros),
// in order. Where the file system cannot tell, it reports none.
struct ByteRange {
  uint64_t first = 0;
  uint64_t end = 0;
};
bool findHoles(FileHandle& file, uint64_t first, uint64_t end, std::vector<ByteRange>& holes);

// How many names (hard links) the open file has.
bool linkCount(FileHandle& file, uint32_t& links);

// Where kCanFlushFileSystem: makes every change on the file system that holds
// `onIt` durable, file data and names alike, in one call, and fails when
// writing any of it back failed since `onIt` was opened (Linux's syncfs).
// Elsewhere it fails; flush each file instead.
#ifdef __linux__
inline constexpr bool kCanFlushFileSystem = true;
#else
inline constexpr bool kCanFlushFileSystem = false;
#endif
bool flushFileSystem(FileHandle& onIt);

// Paths. A status query follows links.
enum class PathKind { Missing, File, Directory, Other, Error, Link };
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
  bool nameIsText = true;           // false for a name that is not UTF-8 (see fromUtf8 for `name` then)
};
// What an entry is itself, a link not followed: its time (nanoseconds since
// 1970 UTC) and permission bits (Windows: 0444 or 0555 when read-only, else
// 0644 or 0755).
struct EntryStatus {
  PathKind kind = PathKind::Error;  // Link for a symbolic link
  int64_t modifiedNs = 0;
  uint32_t mode = 0;
};
bool entryStatus(const std::wstring& path, EntryStatus& status);
// The target of the symbolic link at `path`, as stored in the link, with "/"
// between its components. Fails where the platform reads no targets here (Windows).
bool readLinkTarget(const std::wstring& path, std::wstring& target);
// The path that reaches the same file as `path` with every link on the way
// followed: its full path, named without links.
bool realPath(const std::wstring& path, std::wstring& real);

// Lists one directory (without "." and ".."), in the platform's order.
bool listDirectory(const std::wstring& path, std::vector<DirEntry>& entries);

// The space of the file system that holds `path`, as this user may use it.
inline constexpr uint64_t kNoEntryLimit = UINT64_MAX;
struct VolumeSpace {
  uint64_t freeBytes = 0;
  // Files take space in whole units of this size: a block, a cluster, a page.
  uint64_t unitBytes = 1;
  // How many more files and folders fit where the file system has a fixed
  // number of them (inodes); kNoEntryLimit where it makes room as needed or
  // does not say.
  uint64_t freeEntries = kNoEntryLimit;
};
bool volumeSpace(const std::wstring& path, VolumeSpace& space);

// What the file system that holds `path` can do with a file: release a range
// inside it (a hole; FAT and exFAT cannot), and how long a file may grow
// (FAT32: 4 GiB less a byte).
struct FileSystemTraits {
  bool releasesRanges = true;
  // A new file written past its end keeps the gap as a hole, rather than
  // taking space for it at once.
  bool holesInNewFiles = true;
  uint64_t largestFile = UINT64_MAX;
  // The longest name it holds, and what that counts: bytes, or UTF-16 units
  // (FAT, exFAT, NTFS); and whether it refuses the names Windows refuses.
  uint32_t longestName = 255;
  bool namesInUtf16 = false;
  bool windowsNames = false;
  // A file keeps its file number (FileIdentity::index) while it exists, across
  // mounts: not on FAT or exFAT, which derive it from where its entry lies,
  // nor through FUSE, whose numbers its server makes up.
  bool lastingFileNumbers = true;
};
// Where the file system's type does not tell (FUSE on Linux), whether it
// keeps and releases holes is found by trying, with a scratch file in `path`.
bool fileSystemTraits(const std::wstring& path, FileSystemTraits& traits);

bool createDirectories(const std::wstring& path);  // an existing directory is fine
bool renameReplace(const std::wstring& from, const std::wstring& to);
bool removeFile(const std::wstring& path);
// Makes the directory's entries (created, renamed, removed files) durable.
// Windows has no such call and commits entries with the file; it succeeds there.
bool syncDirectory(const std::wstring& path);

// Which file a path reaches (following links): two paths reach the same file
// exactly when their identities are equal, whatever their spelling.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool operator==(const FileIdentity&) const = default;
};
bool fileIdentity(const std::wstring& path, FileIdentity& identity);
bool fileIdentity(FileHandle& file, FileIdentity& identity);  // of an open file

// Paths below a folder. `relative` has "/" between its components, none of
// them empty, "." or "..". Nothing on the way is followed, the last component
// included: a symbolic link (on Windows any reparse point: a link, a junction,
// a mount point) fails the call with an error isLinkError recognises, and
// statusBelow reports it as PathKind::Link. On Linux the kernel resolves the
// whole path at once with links refused, so a link planted while the run goes
// is refused too.
PathStatus statusBelow(const FolderHandle& folder, const std::wstring& relative);
bool openBelow(const FolderHandle& folder, const std::wstring& relative, OpenMode mode, FileHandle& file);
bool makeFolderBelow(const FolderHandle& folder, const std::wstring& relative);  // its parent exists
bool syncFolderBelow(const FolderHandle& folder, const std::wstring& relative);  // "" for the folder itself
// Removes the name `relative` (not a folder); other names of its file keep it.
// A link there is removed itself, not followed.
bool removeBelow(const FolderHandle& folder, const std::wstring& relative);
// Opens the folder `relative` ("" for the folder itself), reached as the
// calls above reach it, so that its metadata can be set.
bool openFolderBelow(const FolderHandle& folder, const std::wstring& relative, FileHandle& file);
// Opens the regular file `relative`, reached as the calls above reach it, only
// to read and set its metadata (linkCount and fileSize work on it too): it
// needs no access to the file's data, so a file that no one may write, or even
// read, opens too. Where each file is flushed on its own (no
// kCanFlushFileSystem), flushFile on it makes its metadata durable, except on
// a file that was read-only when it was opened: that fails with an error
// isAccessDeniedError recognises.
bool openMetadataBelow(const FolderHandle& folder, const std::wstring& relative, FileHandle& file);
// Makes `relative`, whose parent exists and which does not, a symbolic link to
// `target` ("/" between its components, written with the platform's
// separators). Windows makes links to folders (`toFolder`) and to files apart.
// Where the system makes no links here (no privilege, a file system without
// them, Wine), it fails with an error isLinkRefusedError recognises.
bool makeLinkBelow(const FolderHandle& folder, const std::wstring& relative, const std::wstring& target, bool toFolder);
// Gives the file `target` the further name `relative`, whose parent exists
// and which does not. Where the file system keeps one name a file (FAT), it
// fails with an error isLinkRefusedError recognises.
bool makeHardLinkBelow(const FolderHandle& folder, const std::wstring& target, const std::wstring& relative);
// Sets the modification time of the link `relative` itself, not what it leads to.
bool setLinkTimeBelow(const FolderHandle& folder, const std::wstring& relative, int64_t ns);

// Metadata of an open file or folder. Times are nanoseconds since 1970 UTC;
// Windows keeps them in units of 100 ns. Permissions are the low 12 bits of a
// Unix mode; Windows has no such bits: it reads 0777 and keeps only the
// owner's write bit, as a file's read-only attribute (set where the bit is
// missing, cleared where it is there); a folder's it leaves alone, as it means
// something else there.
bool setModifiedTime(FileHandle& file, int64_t ns);
bool permissions(FileHandle& file, uint32_t& mode);
bool setPermissions(FileHandle& file, uint32_t mode);

// Errors.
uint32_t lastErrorCode();
void setLastErrorCode(uint32_t code);
std::wstring systemErrorText(uint32_t code);  // the system's text, trailing blanks trimmed
uint32_t diskFullErrorCode();                 // what a write that moved nothing reports
bool isNotFoundError(uint32_t code);
bool isAccessDeniedError(uint32_t code);
bool isInUseError(uint32_t code);  // another run holds the file (lockFile, or a sharing violation)
bool isLinkError(uint32_t code);   // a *Below call met a link
// makeLinkBelow or makeHardLinkBelow met a system that makes no such links
// there (which some FUSE file systems say by not implementing the call).
bool isLinkRefusedError(uint32_t code);

// Text. UTF-8 conversion with the platform's UTF-8 code page; an empty result
// means failure (or empty input). Every code point survives a round trip.
// Where names are bytes (not Windows), bytes that are not UTF-8 come through
// fromUtf8 as nameFromBytes (utf8.h) keeps them, and toUtf8 gives them back.
std::string toUtf8(const std::wstring& wide);
std::wstring fromUtf8(const std::string& utf8);
// Upper-cases a file name as case-insensitive names compare: the system's
// table on Windows; elsewhere, where names are case-sensitive, ASCII only.
std::wstring upperCaseName(const std::wstring& name);

// Fault injection for tests. Every call above that touches the file system
// first asks the hook, when one is set: a nonzero answer fails the call with
// that error code, without performing it. Without a hook the cost is one null
// check. Calls the hook itself makes into this seam are not hooked.
// clang-format off
enum class IoOp {
  Open, Seek, Read, Write, Flush, Size, SetEnd, MarkSparse, ZeroRange,
  Status, Identity, List, MakeDirectory, Rename, Remove, SyncDirectory,
  Lock, OpenFolder, FlushFileSystem, VolumeSpace, Holes, SetMetadata, MakeLink, OpenAgain,
};
// clang-format on
struct IoCall {
  IoOp op;
  const std::wstring* path = nullptr;    // calls on a path; a rename's source
  const std::wstring* target = nullptr;  // a rename's destination
  const FileHandle* file = nullptr;      // calls on an open file; Open, OpenFolder, OpenAgain: the handle about to be
                                         // opened
                                         // (Size and Identity also stand for linkCount and an open file's identity,
                                         // Size for permissions)
  OpenMode mode = OpenMode::ReadOnly;    // Open
  uint64_t offset = 0;        // Seek: the target; Read, Write, SetEnd: the file pointer; ZeroRange: the first byte
  uint64_t length = 0;        // Read, Write: the bytes asked; ZeroRange: the bytes zeroed
  uint32_t* limit = nullptr;  // Read, Write: the hook may lower it to move fewer bytes, even none
  // ZeroRange on a file system that has no such control (Wine's): the call is
  // put to the hook a second time with this set, and a hook that zeroed the
  // range itself sets it true. Only tests set hooks, so for programs the
  // failure stands.
  bool* stoodIn = nullptr;
};
using IoHook = std::function<uint32_t(const IoCall&)>;
void setIoHook(IoHook hook);  // an empty hook removes it

}  // namespace ablative
