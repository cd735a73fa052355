// Extraction. In ablative mode the archive is consumed from its end while its
// files are restored, so the run needs little more disk than the extracted
// data. Each block goes through five effects, each durable before the next
// begins:
//   1. its decoded bytes are written to the destination file and flushed;
//   2. the journal records DestWritten;
//   3. its range in the archive is zeroed, which releases the space;
//   4. the journal records Punched;
//   5. while the blocks at the archive's end are Punched, the archive is cut.
// A run stopped anywhere resumes from the journal: Punched blocks are skipped,
// DestWritten ones are read back and, when their CRC matches, only released.
//
// Nothing is written before the whole archive is known to be sound: its
// tables, the layout of its blocks and every stored path.
#include <algorithm>
#include <chrono>
#include <numeric>
#include <optional>
#include <thread>

#include "ablative.h"
#include "block_io.h"
#include "codec.h"
#include "crc32.h"
#include "destination_files.h"
#include "env.h"
#include "format.h"
#include "journal.h"
#include "path_safety.h"
#include "paths.h"

namespace ablative {

namespace {

constexpr uint32_t kNoFileAnnounced = 0xFFFFFFFF;
// The most a run-length coded byte can stand for: a two-byte repeat packet
// yields 130 bytes. A block claiming more cannot decode, so it is refused
// before its buffer is allocated.
constexpr uint64_t kLargestCodedExpansion = 65;

// What an extraction knows about the archive once it has been checked.
struct Plan {
  ArchiveTables tables;
  std::vector<uint64_t> fileLengths;           // per file: the sum of its blocks' raw sizes
  std::vector<uint32_t> blockFile;             // per block: the file it belongs to
  std::vector<uint64_t> blockDestOffset;       // per block: where it goes in that file
  std::vector<uint32_t> processOrder;          // blocks by archive offset, highest first
  std::vector<uint32_t> tailOrder;             // blocks by end offset, highest first
};

class Extraction {
 public:
  Extraction(const std::wstring& archivePath, const std::wstring& destinationDir, bool resume, bool keepOriginal,
             std::wstring& errorText, const ProgressCallback& onProgress, const LogCallback& onLog,
             const PauseCallback& isPaused)
      : archivePath_(archivePath), destinationDir_(destinationDir), resume_(resume), ablate_(!keepOriginal),
        errorText_(errorText), onProgress_(onProgress), onLog_(onLog), isPaused_(isPaused) {
    journal_.path = journalPathFor(archivePath);
  }

  bool run() {
    const std::wstring untouched = errorText_;
    if (!checkArchive()) {
      if (!finishedEarlier_) return false;
      errorText_ = untouched;
      return finishEarlierRun();
    }
    if (!checkJournal() || !checkLayout() || !checkPaths() || !openArchive()) return false;
    mapBlocks();
    files_.emplace([this](uint32_t file) { return destinationPathOf(file); }, std::move(plan_.fileLengths));
    return prepareDestination() && startPosition() && extractBlocks() && finish();
  }

 private:
  // ---- Checks: nothing is written until they all pass. ----

  bool checkArchive() {
    if (!readArchiveTables(archivePath_, plan_.tables, errorText_)) {
      // An ablative run that was stopped between deleting the archive and
      // deleting its journal has nothing left to do but the latter.
      finishedEarlier_ = ablate_ && resume_ && pathStatus(archivePath_).kind == PathKind::Missing &&
                         journalRecordsEveryBlockPunched(journal_.path);
      return false;
    }
    for (size_t i = 0; i < plan_.tables.files.size(); ++i) {
      if (!checkFileRecord(plan_.tables, i, errorText_)) return false;
    }
    return true;
  }

  // A resumed ablative run continues from the journal. Any other run refuses
  // an archive whose journal shows it partly consumed: starting afresh would
  // empty destination files whose blocks have already left the archive.
  bool checkJournal() {
    journal_.states.assign(plan_.tables.blocks.size(), 0);
    JournalLoad load = loadJournal(journal_);
    if (ablate_ && resume_) {
      journalLoaded_ = load == JournalLoad::Loaded;
      if (load == JournalLoad::Loaded || load == JournalLoad::Missing) return true;
      return fail(L"Failed to initialize journal");
    }
    if (load == JournalLoad::Unreadable) return fail(L"Failed to initialize journal");
    if (load == JournalLoad::Loaded && recordsProgress(journal_)) {
      return fail(L"An earlier extraction of this archive was interrupted; resume it to continue");
    }
    std::fill(journal_.states.begin(), journal_.states.end(), 0);
    return true;
  }

  bool checkLayout() {
    // Blocks already consumed may have been cut off the archive's end.
    auto consumed = [this](uint32_t b) { return journalLoaded_ && isPunched(b); };
    return checkBlockLayout(plan_.tables, consumed, errorText_);
  }

  bool checkPaths() {
    const ArchiveTables& tables = plan_.tables;
    std::vector<std::string> stored(tables.files.size());
    for (size_t i = 0; i < stored.size(); ++i) stored[i] = storedPath(tables, i);
    size_t unsafe = findUnsafePath(stored);
    if (unsafe < stored.size()) return fail(L"Unsafe path in archive: " + displayPath(stored[unsafe]));

    ProtectedFiles own({archivePath_, journal_.path, journalTemporaryPathFor(journal_.path)});
    for (size_t i = 0; i < stored.size(); ++i) {
      const std::wstring relative = fromUtf8(stored[i]);
      if (own.includes(joinPath(destinationDir_, relative))) return fail(L"Unsafe path in archive: " + relative);
    }
    return true;
  }

  std::wstring destinationPathOf(uint32_t file) const {
    return joinPath(destinationDir_, fromUtf8(storedPath(plan_.tables, file)));
  }

  void mapBlocks() {
    const ArchiveTables& tables = plan_.tables;
    const size_t blockCount = tables.blocks.size();
    plan_.blockFile.assign(blockCount, 0);
    plan_.blockDestOffset.assign(blockCount, 0);
    plan_.fileLengths.assign(tables.files.size(), 0);
    for (uint32_t f = 0; f < tables.files.size(); ++f) {
      const FileRecord& record = tables.files[f];
      for (uint32_t j = 0; j < record.blockCount; ++j) {
        const uint32_t b = record.firstBlock + j;
        plan_.blockFile[b] = f;
        plan_.blockDestOffset[b] = plan_.fileLengths[f];
        plan_.fileLengths[f] += tables.blocks[b].rawSize;
      }
    }
    const std::vector<BlockRecord>& blocks = tables.blocks;
    plan_.processOrder.resize(blockCount);
    std::iota(plan_.processOrder.begin(), plan_.processOrder.end(), 0u);
    plan_.tailOrder = plan_.processOrder;
    std::sort(plan_.processOrder.begin(), plan_.processOrder.end(),
              [&](uint32_t a, uint32_t b) { return blocks[a].offset > blocks[b].offset; });
    std::sort(plan_.tailOrder.begin(), plan_.tailOrder.end(),
              [&](uint32_t a, uint32_t b) { return endOf(a) > endOf(b); });
  }

  bool openArchive() {
    if (!openFile(archivePath_, ablate_ ? OpenMode::ReadWrite : OpenMode::ReadOnly, archive_)) {
      return fail(ablate_ ? L"Failed to open archive for ablation" : L"Failed to open archive for extraction");
    }
    if (!fileSize(archive_, archiveEnd_)) return fail(L"Failed to get archive size");
    if (ablate_ && !markSparse(archive_)) return fail(lastErrorText(L"FSCTL_SET_SPARSE failed"));
    return true;
  }

  // ---- Writing starts here. ----

  // Creates the destination folder, the journal and every destination file,
  // and in ablative mode makes their names durable before any archive range
  // is released.
  bool prepareDestination() {
    if (!files_->createRoot(destinationDir_, errorText_)) return false;
    if (ablate_ && !(journalLoaded_ ? openJournal(journal_) : createJournal(journal_))) {
      return fail(L"Failed to initialize journal");
    }
    if (!files_->createAll(resume_, errorText_)) return false;
    if (ablate_ && !files_->syncFolders()) {
      uint32_t code = lastErrorCode();
      return fail(L"Failed to flush destination folders (code=" + std::to_wstring(code) + L"): " +
                  systemErrorText(code));
    }
    return true;
  }

  bool startPosition() {
    if (!ablate_) return true;
    for (uint32_t b = 0; b < plan_.tables.blocks.size(); ++b) {
      if (!isPunched(b)) continue;
      ++blocksDone_;
      bytesFreed_ += plan_.tables.blocks[b].storedSize;
    }
    return truncateTail();  // catches up on a cut that a stopped run did not reach
  }

  bool extractBlocks() {
    reserveBuffers();
    for (uint32_t b : plan_.processOrder) {
      waitWhilePaused();
      announce(plan_.blockFile[b]);
      if (ablate_ && isPunched(b)) {
        reportProgress();
        continue;
      }
      if (!extractBlock(b)) return false;
      ++blocksDone_;
      reportProgress();
    }
    return true;
  }

  // Sizes the two block buffers once, for the largest block this run will
  // read: growing them block by block briefly holds the old and the new
  // buffer, and vector growth overshoots, which together cost more than a
  // block of peak memory. Blocks refused or already consumed are left out.
  void reserveBuffers() {
    size_t largestStored = 0, largestRaw = 0;
    for (uint32_t b = 0; b < plan_.tables.blocks.size(); ++b) {
      const BlockRecord& block = plan_.tables.blocks[b];
      if ((ablate_ && isPunched(b)) || !mayDecode(block)) continue;
      largestStored = std::max<size_t>(largestStored, block.storedSize);
      largestRaw = std::max<size_t>(largestRaw, block.rawSize);
    }
    stored_.reserve(largestStored);
    raw_.reserve(largestRaw);
  }

  bool extractBlock(uint32_t b) {
    FileHandle* destination = files_->open(plan_.blockFile[b], errorText_);
    if (destination == nullptr) return false;
    const uint64_t destOffset = plan_.blockDestOffset[b];
    if (ablate_ && stateOf(journal_, b) == BlockState::DestWritten && destinationHolds(*destination, b)) {
      return release(b);
    }
    if (!readAndDecode(b)) return false;
    // With the archive kept, a written block protects nothing the archive does
    // not still hold, so it gets no flush of its own: on trees of small files a
    // flush per block made extraction several times slower.
    if (!ablate_) return writeDestinationBytes(*destination, destOffset, raw_, errorText_);
    if (!writeDestinationBlock(*destination, destOffset, raw_, errorText_)) return false;
    if (!writeJournalState(journal_, b, BlockState::DestWritten)) {
      return fail(L"Failed to update journal (DestWritten)");
    }
    return release(b);
  }

  // Whether a block recorded as written is intact in its destination file.
  bool destinationHolds(FileHandle& destination, uint32_t b) {
    const BlockRecord& block = plan_.tables.blocks[b];
    std::wstring ignored;  // a failed read-back only means the block is extracted again
    return mayDecode(block) &&
           readDestinationBlock(destination, plan_.blockDestOffset[b], block.rawSize, raw_, ignored) &&
           crc32(raw_.data(), raw_.size()) == block.crc;
  }

  bool readAndDecode(uint32_t b) {
    const BlockRecord& block = plan_.tables.blocks[b];
    std::wstring readError;
    if (!readArchiveBlock(archive_, block.offset, block.storedSize, stored_, readError)) {
      // An archive that ends early no longer holds what its block table says.
      return fail(readError.empty() ? L"Invalid archive block table" : readError);
    }
    if (!mayDecode(block) ||
        !decodeBlock(plan_.tables.header.version, block.codec, stored_.data(), stored_.size(), block.rawSize, raw_)) {
      return fail(L"Decompression failed (unsupported or invalid block codec)");
    }
    if (crc32(raw_.data(), raw_.size()) != block.crc) return fail(L"Checksum verification failed");
    return true;
  }

  static bool mayDecode(const BlockRecord& block) {
    return block.rawSize <= kLargestCodedExpansion * block.storedSize;
  }

  // Effects 3 to 5 of a block whose bytes are durable in their destination.
  bool release(uint32_t b) {
    const BlockRecord& block = plan_.tables.blocks[b];
    if (!zeroRange(archive_, block.offset, block.offset + block.storedSize)) {
      return fail(lastErrorText(L"FSCTL_SET_ZERO_DATA failed"));
    }
    if (!writeJournalState(journal_, b, BlockState::Punched)) return fail(L"Failed to update journal (Punched)");
    bytesFreed_ += block.storedSize;
    return truncateTail();
  }

  // Cuts the archive while the block ending at its current end is Punched.
  // Stops at a block that does not end there, which in a resumed run may be
  // one an earlier run already cut away.
  bool truncateTail() {
    if (!ablate_) return true;
    while (tailCursor_ < plan_.tailOrder.size()) {
      const uint32_t b = plan_.tailOrder[tailCursor_];
      if (endOf(b) != archiveEnd_ || !isPunched(b)) return true;
      archiveEnd_ = plan_.tables.blocks[b].offset;
      if (!cutFileAt(archive_, archiveEnd_)) return fail(L"Failed to truncate archive during reverse extraction");
      ++tailCursor_;
    }
    return true;
  }

  bool finish() {
    files_->closeAll();
    archive_.close();
    journal_.file.close();
    if (ablate_) {
      removeArchiveThenJournal();
    } else {
      log(L"Original archive kept as requested.");
    }
    log(L"Extraction complete: " + destinationDir_);
    return true;
  }

  // The archive goes first and its removal is made durable before the
  // journal goes: a journal without its archive is harmless, an archive
  // without its journal would invite a fresh run that empties finished files.
  void removeArchiveThenJournal() {
    if (!removeFile(archivePath_) && !isNotFoundError(lastErrorCode())) {
      log(L"Warning: extraction succeeded but failed to delete source archive.");
      return;
    }
    if (!syncDirectory(parentFolder(archivePath_))) {
      log(L"Warning: extraction succeeded but the resume file was kept: " + journal_.path);
      return;
    }
    removeFile(journal_.path);
  }

  bool finishEarlierRun() {
    removeFile(journal_.path);
    log(L"Extraction complete: " + destinationDir_);
    return true;
  }

  // ---- Helpers. ----

  bool isPunched(uint32_t b) const { return stateOf(journal_, b) == BlockState::Punched; }

  uint64_t endOf(uint32_t b) const { return plan_.tables.blocks[b].offset + plan_.tables.blocks[b].storedSize; }

  bool fail(const std::wstring& message) {
    errorText_ = message;
    return false;
  }

  void log(const std::wstring& line) const {
    if (onLog_) onLog_(line);
  }

  void announce(uint32_t file) {
    if (file == lastAnnouncedFile_) return;
    lastAnnouncedFile_ = file;
    // Converted here rather than kept per file: the log needs each name once.
    if (onLog_) log(L"Extracting: " + fromUtf8(storedPath(plan_.tables, file)));
  }

  void reportProgress() const {
    const auto total = static_cast<uint32_t>(plan_.tables.blocks.size());
    if (onProgress_) onProgress_(ProgressInfo{blocksDone_, total, bytesFreed_});
  }

  void waitWhilePaused() const {
    if (!isPaused_) return;
    while (isPaused_()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  const std::wstring& archivePath_;
  const std::wstring& destinationDir_;
  const bool resume_;
  const bool ablate_;
  std::wstring& errorText_;
  const ProgressCallback& onProgress_;
  const LogCallback& onLog_;
  const PauseCallback& isPaused_;

  Plan plan_;
  Journal journal_;
  bool journalLoaded_ = false;
  bool finishedEarlier_ = false;
  FileHandle archive_;
  std::optional<DestinationFiles> files_;  // once the destination paths are known
  std::vector<uint8_t> stored_, raw_;
  uint64_t archiveEnd_ = 0;
  size_t tailCursor_ = 0;
  uint32_t blocksDone_ = 0;
  uint64_t bytesFreed_ = 0;
  uint32_t lastAnnouncedFile_ = kNoFileAnnounced;
};

}  // namespace

bool extractArchive(const std::wstring& archivePath, const std::wstring& destinationDir, bool resume,
                    bool keepOriginal, std::wstring& errorText, const ProgressCallback& onProgress,
                    const LogCallback& onLog, const PauseCallback& isPaused) {
  Extraction extraction(archivePath, destinationDir, resume, keepOriginal, errorText, onProgress, onLog, isPaused);
  return extraction.run();
}

}  // namespace ablative
