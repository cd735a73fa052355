// The archive engine's public entry points.
//
// An archive packs one file or folder tree into fixed-size blocks. createArchive
// writes one; extractArchive restores it and, unless asked to keep the original,
// consumes the archive while it goes so that the extraction needs barely more
// disk than the extracted data. Both report failure as `false` plus one fixed
// English message in `errorText` and call their callbacks on the calling
// thread; creation codes large blocks on a helper thread of its own, which
// never calls them. Every callback may be empty.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

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
// It refuses to replace an archive whose extraction has not finished.
bool createArchive(const std::wstring& inputPath, const std::wstring& archivePath, uint32_t blockSize,
                   std::wstring& errorText, const ProgressCallback& onProgress, const LogCallback& onLog,
                   const PauseCallback& isPaused);

// Restores `archivePath` into `destinationDir`. Unless `keepOriginal`, the
// archive is consumed from its end while the run goes: each block is made
// durable in its destination and recorded in the journal (the archive's path
// + ".zvkj") before its range in the archive is released, and at the end the
// archive and the journal are deleted. A run stopped at any instant continues
// with `resume`.
bool extractArchive(const std::wstring& archivePath, const std::wstring& destinationDir, bool resume, bool keepOriginal,
                    std::wstring& errorText, const ProgressCallback& onProgress, const LogCallback& onLog,
                    const PauseCallback& isPaused);

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
  // free at the destination (estimateSpace): "Not enough free space at " +
  // destination + ": the extraction needs N bytes, N are free".
  bool checkSpace = false;
};

// What a front end needs to word a failure.
struct ExtractOutcome {
  // The archive is partly consumed and a resumed run continues it.
  bool resumable = false;
  // The progress to resume was made in this run's destination. False when the
  // run was refused before it wrote anything: the folder where the stopped
  // run started is then not known.
  bool resumeHere = false;
  // Refused: the destination lacks data that earlier runs took from the
  // archive, so it is not where the extraction started.
  bool destinationLacksData = false;
};

// The same, with options beyond the window's and the facts of the outcome.
// A resumed ablative run first checks that the destination holds what was
// already taken from the archive, and a run of either kind refuses an
// archive that another run is using ("Archive is in use by another
// extraction"); both before anything is written.
bool extractArchive(const std::wstring& archivePath, const std::wstring& destinationDir, const ExtractOptions& options,
                    std::wstring& errorText, ExtractOutcome& outcome, const ProgressCallback& onProgress,
                    const LogCallback& onLog, const PauseCallback& isPaused);

// What an extraction of an archive into a destination needs on disk at its
// peak, beyond what is in use now: for an ablative run on the archive's own
// file system, the growth of what is left to extract (raw bytes less stored
// ones) plus one group; elsewhere, and with the archive kept, the whole of
// what is left to write.
struct SpaceNeeds {
  uint64_t freeAtDestination = 0;  // on the destination's file system (its nearest folder that exists)
  uint64_t ablative = 0;
  uint64_t keep = 0;
};

// The facts `zarvik info` shows, from the archive, its journal and, when
// `destinationDir` is not empty, the space around it.
struct ArchiveDescription {
  uint32_t version = 0;
  uint32_t fileCount = 0;
  uint32_t blockCount = 0;
  uint32_t blockSize = 0;
  uint64_t sourceBytes = 0;
  uint64_t storedBytes = 0;      // the data area as written
  bool partlyExtracted = false;  // its journal records progress
  uint32_t blocksReleased = 0;   // by earlier runs, as the journal records
  bool withDestination = false;
  SpaceNeeds space;  // with a destination
};

// Fails with the reader's messages, as `test` and extraction do.
bool describeArchive(const std::wstring& archivePath, const std::wstring& destinationDir, uint64_t groupBytes,
                     ArchiveDescription& description, std::wstring& errorText);

// Calls `onFile` with each file's stored path (UTF-8, as the archive holds it)
// and size, in archive order, after the reader's checks of the tables and of
// each file record.
bool listArchive(const std::wstring& archivePath,
                 const std::function<void(const std::string& storedPath, uint64_t size)>& onFile,
                 std::wstring& errorText);

// The archive an extraction given `path` works on, one rule for every front
// end: a journal's path ("data.zvka.zvkj", the suffix in lower case) stands for
// its archive ("data.zvka"). A resume takes it whether or not the archive is
// still there, as a run stopped after deleting the archive leaves only its
// journal to remove; any other run takes it only while the archive is a file,
// and is refused otherwise with "Please select the .zvka archive file.". Any
// other path stands for itself.
bool archiveForExtraction(const std::wstring& path, bool resume, std::wstring& archive, std::wstring& errorText);

// Applies every check an extraction makes before it writes, then reads every
// block of `archivePath`, decodes it and checks its CRC-32, writing nothing.
// Progress counts blocks in index order.
bool verifyArchive(const std::wstring& archivePath, std::wstring& errorText, const ProgressCallback& onProgress);

}  // namespace ablative
