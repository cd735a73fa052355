// The archive engine's public entry points.
//
// An archive packs one file or folder tree into fixed-size blocks. createArchive
// writes one; extractArchive restores it and, unless asked to keep the original,
// consumes the archive while it goes so that the extraction needs barely more
// disk than the extracted data. Every entry point reports failure as a Status
// (status.h): one fixed English message, and a kind that says what a caller
// can do about it. Both call their callbacks on the calling thread; creation
// codes large blocks on a helper thread of its own, which never calls them.
// Every callback may be empty.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "status.h"

namespace ablative {

struct ProgressInfo {
  uint32_t blocksDone = 0;   // blocks finished in this operation (a resumed run counts earlier ones)
  uint32_t blocksTotal = 0;  // blocks of the whole archive
  uint64_t bytesFreed = 0;   // archive bytes released so far (0 when creating or keeping the archive)
  uint64_t bytesDone = 0;    // the raw bytes of the blocks finished
  uint64_t bytesTotal = 0;   // the raw bytes of all blocks
};

using ProgressCallback = std::function<void(const ProgressInfo&)>;
using LogCallback = std::function<void(const std::wstring&)>;
using PauseCallback = std::function<bool()>;  // true while the operation must stay paused
// True once the operation must stop. Asked only between two effects (blocks
// when creating, groups when extracting), so a run it stops leaves nothing
// half done; the run then fails with "Stopped on request".
using StopCallback = std::function<bool()>;

// What the front ends name an archive and its journal by.
inline constexpr wchar_t kArchiveExtension[] = L".zvka";
inline constexpr wchar_t kJournalExtension[] = L".zvkj";

// The block size the front ends use unless told otherwise.
inline constexpr uint32_t kDefaultBlockSize = 4u << 20;

// Packs `inputPath` (a file or a folder) into `archivePath` with `blockSize`
// raw bytes per block. It is written under a temporary name and renamed into
// place only once it is complete and flushed, so a failed run leaves any
// earlier file there untouched, unless it failed in the very last step, the
// flush of the folder after the rename: then the complete new archive stays.
// It refuses to replace an archive that an extraction is using ("Archive is
// in use by an extraction: " + path; it holds that off until the new archive
// is in place) or whose extraction stopped before it finished.
Status createArchive(const std::wstring& inputPath, const std::wstring& archivePath, uint32_t blockSize,
                     const ProgressCallback& onProgress, const LogCallback& onLog, const PauseCallback& isPaused);

inline constexpr int kDefaultZstdLevel = 3;
inline constexpr int kLargestZstdLevel = 19;

struct CreateOptions {
  uint32_t blockSize = kDefaultBlockSize;
  // 0: version 3, run-length coded. 1 to kLargestZstdLevel: version 5, with
  // Zstandard at that level, folders, links, times and permissions, and small
  // files sharing blocks.
  int zstdLevel = 0;
  unsigned threads = 0;     // blocks coded at once; 0: one a core. The archive's bytes do not depend on it
  StopCallback shouldStop;  // asked before each file and each block
  // Where set, takes the line each file gets as the run reaches it
  // ("Packing: " + its path) in place of onLog.
  LogCallback onEntry;
  // 0: one file. Otherwise volumes of this many bytes, the last of at most
  // this many, whose concatenation is the archive one file would hold: the
  // archive's path + ".001", ".002", ..., a set of one where the archive is
  // no larger. Earlier volumes of that name are held as one archive is: one
  // an extraction is using is refused, as is a set whose extraction stopped
  // (its journal lies beside its first volume); the parts written replace
  // those of the same names, and volumes numbered past the new set's last are
  // removed once it is in place ("Unable to remove an earlier volume: " +
  // path if one stays).
  // All parts are written under temporary names and renamed into place only
  // once every one is complete and flushed: a run that fails before all are
  // in place leaves none of them. The renames are several steps, so a run
  // that fails or loses power among them may leave earlier volumes without
  // those the new set replaced, or beside new ones, which the blocks'
  // checksums then refuse.
  uint64_t volumeBytes = 0;
};

// The same, with options beyond the window's.
Status createArchive(const std::wstring& inputPath, const std::wstring& archivePath, const CreateOptions& options,
                     const ProgressCallback& onProgress, const LogCallback& onLog, const PauseCallback& isPaused);

inline constexpr uint64_t kDefaultGroupBytes = 64 << 20;

struct ExtractOptions {
  bool resume = false;
  bool keepOriginal = false;
  // A block that cannot be read, decoded or verified, or that a resumed run
  // finds missing from its destination, no longer stops the run: each file
  // concerned is logged once as "Damaged: " + its stored path, keeps its full
  // length with zeros where data is missing, and the run goes on. Such blocks
  // stay in the archive, which is kept with its journal, and the run fails
  // with "N files could not be fully extracted".
  bool salvage = false;
  // Blocks are released in groups whose stored bytes add up to at most this
  // (and to at most a quarter of the space free beside the archive when the
  // run starts): a group's blocks are written, made durable and recorded
  // together, then released together, so that a few flushes serve many
  // blocks. What the run needs beyond the final tree is about one group
  // plus the archive's tables. A bound below one block releases blocks one
  // at a time.
  uint64_t groupBytes = kDefaultGroupBytes;
  // Before anything is written, refuse a run that would not fit in the space
  // free at the destination (SpaceNeeds): "Not enough free space at " +
  // destination + ": the extraction needs N bytes, N are free"; or, where the
  // file system holds a fixed number of files, "Not enough free inodes at " +
  // destination + ": the extraction creates N files and folders, N more fit".
  bool checkSpace = false;
  // Asked between groups, and while the archive is read before anything is
  // written (from any of that reading's threads), which for a large
  // compressed archive takes minutes. A run it stops is resumable, as any
  // stopped run.
  StopCallback shouldStop;
  // Where set, takes the line each file gets as the run reaches it
  // ("Extracting: " + its path) in place of onLog.
  LogCallback onEntry;
  // Make every check above that comes before the first write, then stop:
  // nothing is written, and the archive is left as it was.
  bool checkOnly = false;
  // In a run of several archives (extractArchives): a file that two of them
  // hold is taken from the later one, rather than refused.
  bool overwrite = false;
};

// The facts of a failed run that are not its kind (Status::kind), which a
// front end needs to word it.
struct ExtractOutcome {
  // The archive is partly consumed and a resumed run continues it. Never so
  // for a run that failed as InUse, ArchiveChanged, DamagedBlock, BlockGone or
  // FilesDamaged: resuming would change nothing.
  bool resumable = false;
  // The progress to resume was made in this run's destination. False when the
  // run was refused before it wrote anything: the folder where the stopped
  // run started is then not known.
  bool resumeHere = false;
  // The archive was left partly consumed, resumable or not.
  bool partlyConsumed = false;
};

// Restores `archivePath` into `destinationDir`. Unless `keepOriginal`, the
// archive is consumed from its end while the run goes: each block is made
// durable in its destination and recorded in the journal (the archive's path
// + ".zvkj") before its range in the archive is released, and at the end the
// archive and the journal are deleted: the archive only if its path still
// names the file the run consumed (the same device and inode, or file ID on
// Windows), so that a file put there meanwhile is left alone. A run stopped
// at any instant continues with `resume`.
//
// The run writes only into files it makes: a destination file is made when
// its first data is in hand, by removing whatever stood at its path (other
// names of that file, inside or outside the destination, keep their bytes)
// and creating it anew. A resumed run takes over the files the stopped run
// made, and refuses one that has gained another name (a hard link).
//
// It fails with the kind:
//   Stopped: by `shouldStop`, with "Stopped on request";
//   InUse: another run holds the archive ("Archive is in use by another extraction");
//   ArchiveChanged: refused, the archive is not the file its journal was
//     written for (another took its name, or it changed): only the original,
//     or a fresh start without the journal, goes on;
//   DamagedBlock: stopped at a block the archive no longer holds as written
//     (it does not decode or verify, or the archive ends before it): resuming
//     would stop there again, while a salvaging run extracts everything else;
//   BlockGone: the same, and the destination lacks that block too: a
//     salvaging run names it lost;
//   DestinationLacksData: refused, the destination lacks data that earlier
//     runs took from the archive, so it is not where the extraction started;
//   FilesDamaged: a salvage ended with files it could not fully extract;
//   Failed: any other failure.
// Before anything is written: a resumed ablative run checks that the
// destination holds what was already taken from the archive; a run of either
// kind refuses an archive that another run is using, every destination path
// where something other than a regular file stands for a file (or other than
// a folder for a folder), and, unless salvaging, an archive that lacks blocks
// while no journal records why ("This archive was partly extracted and its
// journal is missing: ...").
Status extractArchive(const std::wstring& archivePath, const std::wstring& destinationDir,
                      const ExtractOptions& options, ExtractOutcome& outcome, const ProgressCallback& onProgress,
                      const LogCallback& onLog, const PauseCallback& isPaused);

// A run of several archives into one destination, as extractArchives goes:
// archive `number` (from 1) of `count` is about to be extracted.
using ArchiveCallback = std::function<void(size_t number, size_t count, const std::wstring& archive)>;

// Extracts `archivePaths` one after another into `destinationDir`, their
// folders merged, each as extractArchive does (consumed and deleted unless
// `keepOriginal`). Before anything is written, it refuses an archive named
// twice ("The archive is named twice: " + path), one missing ("The archive is
// missing: " + path), a path that one archive holds as a file and another as
// a folder, and, unless `overwrite`, a file that two hold ("Two archives hold
// the file " + path + ": " + the first + " and " + the second + "; with
// --overwrite the later one wins"); then it makes every check of each
// archive, and the space check for the whole run (describeArchives).
//
// A consuming run keeps a record of its archives in the destination until it
// ends, so that `resume` with the same archives in the same order continues
// where it stopped, skipping those already consumed and deleted. A fresh run
// into a destination that holds such a record is refused. Progress counts
// over the whole run. `outcome` is that of the run: resumable once it has
// consumed any archive, and its failure is that of the archive it stopped in.
Status extractArchives(const std::vector<std::wstring>& archivePaths, const std::wstring& destinationDir,
                       const ExtractOptions& options, ExtractOutcome& outcome, const ProgressCallback& onProgress,
                       const LogCallback& onLog, const PauseCallback& isPaused, const ArchiveCallback& onArchive);

// What an extraction of an archive into a destination needs on disk at its
// peak, beyond what is in use now, counted in the destination's allocation
// units: each file rounded up to them, with the index a large file and a
// folder of many entries take, and the folders and, for an ablative run, the
// journal. An ablative run on the archive's own file system writes each group
// before the archive gives its space back: its peak is the largest growth of
// the tree less what the archive gave back before, with one group in hand.
// Elsewhere, and with the archive kept, it is the whole of what is left to
// write.
struct SpaceNeeds {
  uint64_t freeAtDestination = 0;  // on the destination's file system (its nearest folder that exists)
  uint64_t ablative = 0;
  uint64_t keep = 0;
  // The group bound an ablative run takes so that its peak fits, where one does.
  uint64_t groupBytes = 0;
  // Beside the archive, where the destination is on another file system:
  // what the journal of a run that starts afresh takes there, and what is free.
  uint64_t journal = 0;
  uint64_t freeBesideArchive = 0;
  // Files and folders: how many more the destination's file system holds
  // (UINT64_MAX where it sets no fixed number), and how many a run creates.
  uint64_t freeEntries = UINT64_MAX;
  uint64_t newEntries = 0;
};

// The facts `zarvik info` shows, from the archive, its journal and, when
// `destinationDir` is not empty, the space around it.
struct ArchiveDescription {
  std::wstring format;  // "zvka" or "zip"
  uint32_t version = 0;
  // From version 4 on, the block codecs in use: "run-length", "stored", "Zstandard", joined by ", ".
  std::wstring codecs;
  uint32_t fileCount = 0;
  uint32_t blockCount = 0;
  uint32_t blockSize = 0;
  uint64_t sourceBytes = 0;
  uint64_t storedBytes = 0;      // the data area as written
  bool partlyExtracted = false;  // its journal records progress
  uint32_t blocksReleased = 0;   // by earlier runs, as the journal records
  uint32_t blocksLost = 0;       // given up by a salvage: gone from the archive and from the destination
  // Kept in the archive because a run passed over them as damaged: blocks
  // still there below which (in the order runs take them) a block was
  // released. A damaged block that is the last one taken is not told apart
  // from one not reached yet.
  uint32_t blocksDamaged = 0;
  // Partly consumed while no journal records it: its journal was lost (see
  // journalIsMissing), and blocksMissing of its blocks are gone, none where
  // a run cut a .tar.gz where a member's header starts.
  bool journalMissing = false;
  uint32_t blocksMissing = 0;
  // The archive's file system keeps no holes (FAT, exFAT): a consuming run
  // gives its space back only by cutting it from its end, a group at a time.
  bool releasesByCuts = false;
  // Where only a run that keeps the archive extracts it, the format's message
  // saying why (one xz block too large to take as one piece, which decodes
  // only from its start).
  std::wstring keepOnly;
  bool withDestination = false;
  SpaceNeeds space;  // with a destination
  // Where bytes other than zeros follow the archive's last structure, which
  // no entry accounts for and a consuming run refuses: "Warning: " + the
  // format's message naming the first of them + " (not extracted)".
  std::wstring warning;
};

// Fails with the reader's messages, as `test` and extraction do.
Status describeArchive(const std::wstring& archivePath, const std::wstring& destinationDir, uint64_t groupBytes,
                       ArchiveDescription& description);

// describeArchive of each of `archivePaths`, without the space, and in
// `run` the space that extracting them one after another into
// `destinationDir` needs: at the peak while archive i is consumed, the trees
// of those before it are written and their archives gone (a consuming run),
// the later ones still whole. So `run.ablative` is the largest, over i, of
// what the earlier archives' trees take less what their archives gave back,
// plus archive i's own need; `run.keep` the sum of their trees. A partly
// consumed archive, or one on another file system, counts as giving nothing back.
Status describeArchives(const std::vector<std::wstring>& archivePaths, const std::wstring& destinationDir,
                        uint64_t groupBytes, std::vector<ArchiveDescription>& descriptions, SpaceNeeds& run);

// What a stored path names: a file its units fill, a folder made as it is,
// a symbolic link, made once the files are in place, or a hard link: another
// name of a file the archive holds before it (a tar's), made once that file
// is whole.
enum class EntryKind : uint8_t { File, Folder, Link, HardLink };

// One entry as a listing shows it.
struct ListedEntry {
  std::string storedPath;  // UTF-8, as the archive holds it
  uint64_t size = 0;       // a file's length; a link's target's
  EntryKind kind = EntryKind::File;
  std::string target;  // a link's, where the archive's tables hold it (not a zip's); the file a hard link names
};
using FileLister = std::function<void(const ListedEntry& entry)>;

// Calls `onFile` with each entry, in archive order, after the reader's checks
// of the tables and of each file record; then `onWarning` with
// ArchiveDescription::warning where there is one.
Status listArchive(const std::wstring& archivePath, const FileLister& onFile, const LogCallback& onWarning = {});

// The archive an extraction given `path` works on, one rule for every front
// end: a journal's path ("data.zvka.zvkj", the suffix in lower case) stands for
// its archive ("data.zvka"). A resume takes it whether or not the archive is
// still there, as a run stopped after deleting the archive leaves only its
// journal to remove; any other run takes it only while the archive is a file,
// and is refused otherwise with "Please select the .zvka archive file.". Any
// other path stands for itself.
Status archiveForExtraction(const std::wstring& path, bool resume, std::wstring& archive);

// Applies every check an extraction makes before it writes, then reads every
// block of `archivePath`, decodes it and checks its CRC-32, writing nothing.
// Progress counts blocks in index order.
Status verifyArchive(const std::wstring& archivePath, const ProgressCallback& onProgress);
// As above; once it passes, `described` holds what `test` reports, as
// describeArchive tells it: the files and blocks, those released and lost by
// earlier runs, and the warning. So a compressed tar is decoded once less
// than by both calls.
Status verifyArchive(const std::wstring& archivePath, const ProgressCallback& onProgress,
                     ArchiveDescription& described);

}  // namespace ablative
