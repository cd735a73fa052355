// Extraction. In ablative mode the archive is consumed from its end while its
// files are restored, so the run needs little more disk than the extracted
// data. Blocks are taken by descending archive offset in groups (bounded by
// their stored bytes), and each group goes through five effects, each durable
// for every block of the group before the next begins:
//   1. its decoded bytes are written to their destination files and flushed;
//   2. the journal records DestWritten;
//   3. its ranges in the archive are zeroed, which releases the space (where
//      the file system keeps no holes, the archive is cut where the group
//      starts instead: see archive_release.h);
//   4. the journal records Punched;
//   5. while the blocks at the archive's end are Punched, the archive is cut.
// A run stopped anywhere resumes from the journal: Punched blocks are skipped,
// DestWritten ones are read back and, when their CRC matches, only released.
//
// Nothing is written before the whole archive is known to be sound (its
// tables, the layout of its blocks and every stored path), no other run holds
// it, and, when resuming, the destination is known to hold what earlier runs
// took from the archive.
#include <algorithm>
#include <optional>

#include "ablative.h"
#include "archive_checks.h"
#include "archive_presence.h"
#include "archive_release.h"
#include "block_io.h"
#include "destination_files.h"
#include "env.h"
#include "extraction_plan.h"
#include "format.h"
#include "journal.h"
#include "path_safety.h"
#include "paths.h"
#include "pause.h"
#include "resume_check.h"
#include "space.h"

namespace ablative {

namespace {

// How much of what earlier runs released a resumed run reads back before it
// trusts the destination: the blocks released last, where a stop is likeliest
// to have left damage, and little enough to cost no noticeable time.
constexpr uint64_t kReadBackOnResume = 64 << 20;

constexpr wchar_t kDestinationLacksData[] =
    L"The destination does not hold the data already extracted from this archive: ";

class Extraction {
 public:
  Extraction(const std::wstring& archivePath, const std::wstring& destinationDir, const ExtractOptions& options,
             std::wstring& errorText, const ProgressCallback& onProgress, const LogCallback& onLog,
             const PauseCallback& isPaused)
      : archivePath_(archivePath), destinationDir_(destinationDir), resume_(options.resume),
        ablate_(!options.keepOriginal), salvage_(options.salvage), checkSpace_(options.checkSpace),
        groupBytes_(options.groupBytes), errorText_(errorText), onProgress_(onProgress), onLog_(onLog),
        isPaused_(isPaused), shouldStop_(options.shouldStop) {
    journal_.path = journalPathFor(archivePath);
  }

  bool run() {
    const std::wstring untouched = errorText_;
    if (!readArchiveTables(archivePath_, plan_.tables, errorText_)) {  // a run may have left only the journal
      if (!ablate_ || !resume_ || !onlyTheJournalRemains(archivePath_, journal_)) return false;
      // Nothing names the files any more: the folder that run made is the one sign of its destination.
      if (pathStatus(destinationDir_).kind != PathKind::Directory) return lacksData(destinationDir_);
      errorText_ = untouched;
      removeJournal(journal_.path);
      return complete();
    }
    if (!openArchive() || !checkJournal() || !checkContents() || !checkOwnFiles()) return false;
    mapBlocks(plan_);
    damaged_.assign(plan_.tables.files.size(), 0);
    leftAlone_.assign(plan_.tables.files.size(), 0);
    files_.emplace(
        destinationDir_, [this](uint32_t file) { return fromUtf8(storedPath(plan_.tables, file)); },
        std::move(plan_.fileLengths));
    if (!files_->checkPaths(errorText_) || !checkFileSizeLimit() || !checkDestinationHoldsExtracted() ||
        !checkSpace()) {
      return false;
    }
    leaveAloneWhatMayHoldMore();
    accepted_ = true;
    return prepareDestination() && startPosition() && extractBlocks() && finish();
  }

  ExtractOutcome outcome(bool succeeded) const {
    ExtractOutcome outcome;
    // A run stopped on request resumes even before it recorded anything.
    const bool resumes = recordsProgress(journal_) || (stopped_ && ablate_);
    outcome.resumable = !succeeded && !inUse_ && !salvageEnded_ && !damagedBlock_ && resumes;
    outcome.resumeHere = outcome.resumable && accepted_;
    outcome.destinationLacksData = destinationLacksData_;
    outcome.damagedBlock = damagedBlock_;
    outcome.partlyConsumed = !succeeded && recordsProgress(journal_);
    return outcome;
  }

 private:
  // ---- Checks: nothing is written until they all pass. ----

  // One run per archive: an ablative run holds it alone, other runs share it.
  bool openArchive() {
    const wchar_t* cannotOpen =
        ablate_ ? L"Failed to open archive for ablation" : L"Failed to open archive for extraction";
    if (!openArchiveForRun(archivePath_, ablate_, archive_, cannotOpen, errorText_)) {
      inUse_ = errorText_ == kArchiveInUse;
      return false;
    }
    uint64_t size = 0;
    if (!fileSize(archive_, size) || !fileIdentity(archive_, archiveIdentity_))
      return fail(L"Failed to get archive size");
    release_.emplace(archive_, plan_, size);
    // The destination grows by a group before the archive shrinks by it.
    if (ablate_) groupBytes_ = effectiveGroupBytes(archivePath_, groupBytes_);
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

  // Blocks already consumed may have been cut off the archive's end. So may,
  // once salvaged, blocks that a resumed run found lost from the destination:
  // salvage takes them for damaged rather than refusing the archive. Without
  // a journal that records progress, the archive itself must show that it is
  // whole: what a lost journal said is then found from its cuts and holes.
  bool checkContents() {
    if (journalLoaded_ && recordsProgress(journal_)) {
      auto consumed = [this](uint32_t b) { return mayBeCutAway(journal_, b) || salvage_; };
      return checkArchiveContents(plan_.tables, consumed, errorText_);
    }
    if (!checkArchiveAlone(archive_, plan_.tables, absent_, errorText_)) return false;
    if (absent_.empty() || salvage_) return true;  // salvage takes absent blocks for damaged
    return fail(journalMissingText(plan_.tables, absent_));
  }

  // The run's own files, the archive and its journal (under either name),
  // are neither the destination nor a file of it.
  bool checkOwnFiles() {
    ProtectedFiles own({archivePath_, journal_.path, temporaryPathFor(journal_.path)});
    std::wstring folder = destinationDir_;
    while (folder.size() > 1 && (folder.back() == L'/' || folder.back() == kPathSeparator)) folder.pop_back();
    if (own.includes(folder)) return fail(L"The destination is the archive or its journal: " + destinationDir_);
    for (size_t i = 0; i < plan_.tables.files.size(); ++i) {
      const std::wstring relative = fromUtf8(storedPath(plan_.tables, i));
      if (own.includes(joinPath(destinationDir_, relative))) return fail(L"Unsafe path in archive: " + relative);
    }
    return true;
  }

  // With salvage, released blocks found missing are lost: their files are
  // damaged, and the blocks go back to Pending so that no later run counts
  // them as extracted.
  bool checkDestinationHoldsExtracted() {
    if (!journalLoaded_) return true;
    const uint32_t lacking =
        fileLackingData(plan_, journal_, *files_, kReadBackOnResume, salvage_ ? &lost_ : nullptr, raw_);
    if (lacking != kNoFile) return lacksData(files_->pathOf(lacking));
    for (uint32_t b : lost_) markDamaged(plan_.blockFile[b]);
    return true;
  }

  // A file some of whose blocks left the archive while no journal kept
  // track, and that exists in the destination, may hold there what the
  // archive lacks: salvage leaves it as it is, and its blocks in the archive.
  void leaveAloneWhatMayHoldMore() {
    uint64_t length = 0;
    for (uint32_t b : absent_) {
      const uint32_t f = plan_.blockFile[b];
      if (!leftAlone_[f] && files_->existingLength(f, length)) leftAlone_[f] = 1;
    }
  }

  bool lacksData(const std::wstring& path) {
    destinationLacksData_ = true;
    return fail(kDestinationLacksData + path);
  }

  // FAT32 holds no file of 4 GiB or more.
  bool checkFileSizeLimit() {
    FileSystemTraits traits;
    if (!fileSystemTraits(nearestFolder(destinationDir_), traits)) return true;  // the run finds out as it goes
    for (uint32_t f = 0; f < plan_.fileLengths.size(); ++f) {
      if (plan_.fileLengths[f] > traits.largestFile) {
        return fail(L"The destination's file system holds no file over " + std::to_wstring(traits.largestFile) +
                    L" bytes (FAT32): " + files_->pathOf(f));
      }
    }
    return true;
  }

  bool checkSpace() {
    SpaceNeeds needs;
    if (!checkSpace_ || !estimateSpace(plan_, journal_, archivePath_, destinationDir_, groupBytes_, needs)) {
      return true;  // where the free space cannot be read, the run finds out as it goes
    }
    if (needs.newEntries > needs.freeEntries) {
      return fail(L"Not enough free inodes at " + destinationDir_ + L": the extraction creates " +
                  std::to_wstring(needs.newEntries) + L" files and folders, " + std::to_wstring(needs.freeEntries) +
                  L" more fit");
    }
    const uint64_t needed = ablate_ ? needs.ablative : needs.keep;
    if (needed <= needs.freeAtDestination) return true;
    return fail(L"Not enough free space at " + destinationDir_ + L": the extraction needs " + std::to_wstring(needed) +
                L" bytes, " + std::to_wstring(needs.freeAtDestination) + L" are free");
  }

  // ---- Writing starts here. ----

  // Creates the destination folder and the journal, and takes over the
  // files earlier runs made. Destination files are made as their data
  // arrives, and made durable with it before any archive range is released.
  bool prepareDestination() {
    if (ablate_) release_->start();
    if (!files_->createRoot(errorText_)) return false;
    if (ablate_ && !(journalLoaded_ ? openJournal(journal_) : createJournal(journal_))) {
      return fail(L"Failed to initialize journal");
    }
    if (ablate_ && !recordStates(journal_, lost_, BlockState::Pending)) return fail(L"Failed to initialize journal");
    return adoptEarlierFiles();
  }

  // The files a stopped run wrote, as its journal records them.
  bool adoptEarlierFiles() {
    if (!journalLoaded_) return true;
    std::vector<uint8_t> written(plan_.tables.files.size(), 0);
    for (uint32_t b = 0; b < plan_.tables.blocks.size(); ++b) {
      if (stateOf(journal_, b) != BlockState::Pending) written[plan_.blockFile[b]] = 1;
    }
    for (uint32_t f = 0; f < written.size(); ++f) {
      if (written[f] && !files_->adopt(f, errorText_)) return false;
    }
    return true;
  }

  bool startPosition() {
    for (uint32_t b = 0; b < plan_.tables.blocks.size(); ++b) {
      bytesTotal_ += plan_.tables.blocks[b].rawSize;
      if (!ablate_ || !isPunched(journal_, b)) continue;
      ++blocksDone_;
      bytesDone_ += plan_.tables.blocks[b].rawSize;
      bytesFreed_ += plan_.tables.blocks[b].storedSize;
    }
    return truncateTail();  // catches up on a cut that a stopped run did not reach
  }

  bool extractBlocks() {
    reserveBuffers();
    for (size_t first = 0; first < plan_.processOrder.size();) {
      // Between groups: nothing unflushed waits while the user is away, and a stop leaves no effect half done.
      if (!waitWhilePaused(isPaused_, shouldStop_)) return stopped_ = true, fail(kStoppedOnRequest);
      const size_t end = groupEnd(plan_, journal_, first, groupBytes_);
      if (!extractGroup(first, end)) return false;
      first = end;
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
      if ((ablate_ && isPunched(journal_, b)) || !blockCanDecode(block)) continue;
      largestStored = std::max<size_t>(largestStored, block.storedSize);
      largestRaw = std::max<size_t>(largestRaw, block.rawSize);
    }
    stored_.reserve(largestStored);
    raw_.reserve(largestRaw);
  }

  // The blocks at [first, end) of the process order: each written where it
  // belongs (or found there already), then, in ablative mode, the group's
  // effects 1 to 5 for all of them at once.
  bool extractGroup(size_t first, size_t end) {
    written_.clear();
    releasable_.clear();
    for (size_t i = first; i < end; ++i) {
      const uint32_t b = plan_.processOrder[i];
      announce(plan_.blockFile[b]);
      if (ablate_ && isPunched(journal_, b)) {
        reportProgress();
        continue;
      }
      if (!takeBlock(b)) return false;
      ++blocksDone_;
      bytesDone_ += plan_.tables.blocks[b].rawSize;
      reportProgress();
    }
    return !ablate_ || (recordWritten() && releaseGroup());
  }

  // Puts block `b` into its destination file, unflushed, unless a resumed run
  // finds it there intact already.
  bool takeBlock(uint32_t b) {
    const uint32_t f = plan_.blockFile[b];
    if (ablate_ && stateOf(journal_, b) == BlockState::DestWritten && files_->made(f)) {
      FileHandle* destination = files_->open(f, errorText_);
      if (destination == nullptr) return false;
      if (destinationHolds(*destination, plan_, b, raw_)) {
        releasable_.push_back(b);
        return true;
      }
    }
    const BlockRead read =
        leftAlone_[f] ? BlockRead::Damaged : readVerifiedBlock(archive_, plan_.tables, b, stored_, raw_, errorText_);
    if (read != BlockRead::Verified) {
      if (!salvage_) return damagedBlock_ = read == BlockRead::Damaged, false;
      markDamaged(f);  // left where it is, in the archive and in the journal
      return true;
    }
    if (!files_->write(f, plan_.blockDestOffset[b], raw_, errorText_)) return false;
    written_.push_back(b);
    releasable_.push_back(b);
    return true;
  }

  // Effects 1 and 2: the group's writes durable, then recorded.
  bool recordWritten() {
    if (written_.empty()) return true;
    if (!files_->makeDurable(errorText_)) return false;
    if (!recordStates(journal_, written_, BlockState::DestWritten)) {
      return fail(L"Failed to update journal (DestWritten)");
    }
    return true;
  }

  // Effects 3 to 5 for blocks whose bytes are durable in their destination.
  bool releaseGroup() {
    if (releasable_.empty()) return true;
    if (!release_->release(releasable_, journal_, errorText_)) return false;
    if (!recordStates(journal_, releasable_, BlockState::Punched)) return fail(L"Failed to update journal (Punched)");
    for (uint32_t b : releasable_) bytesFreed_ += plan_.tables.blocks[b].storedSize;
    reportProgress();
    return truncateTail();
  }

  bool truncateTail() { return !ablate_ || release_->cutTail(journal_, errorText_); }

  // Every file complete and durable, names included, or, after salvage, as
  // complete as it can be, with the archive and its journal kept for what
  // they still hold.
  bool finish() {
    for (uint32_t f = 0; f < damaged_.size(); ++f) {
      if (damaged_[f] && !files_->fillToLength(f, errorText_)) return false;
      if (plan_.tables.files[f].blockCount == 0 && !files_->make(f, errorText_)) return false;
    }
    if (!files_->makeDurable(errorText_) || !files_->closeAll(errorText_)) return false;
    archive_.close();
    journal_.file.close();
    if (damagedFiles_ > 0) {
      salvageEnded_ = true;
      return fail(std::to_wstring(damagedFiles_) + L" files could not be fully extracted");
    }
    if (ablate_) {
      removeArchiveThenJournal();
    } else {
      log(L"Original archive kept as requested.");
    }
    return complete();
  }

  // The archive goes first and its removal is made durable before the
  // journal goes: a journal without its archive is harmless, an archive
  // without its journal would invite a fresh run that empties finished files.
  // Only the file this run consumed is removed: another that has taken its
  // name since is left alone.
  void removeArchiveThenJournal() {
    FileIdentity now;
    if (fileIdentity(archivePath_, now) && !(now == archiveIdentity_)) {
      log(L"The archive's name now belongs to another file, which was left in place: " + archivePath_);
    } else if (!removeFile(archivePath_) && !isNotFoundError(lastErrorCode())) {
      log(L"Warning: extraction succeeded but failed to delete source archive.");
      return;
    }
    if (!syncDirectory(parentFolder(archivePath_))) {
      log(L"Warning: extraction succeeded but the resume file was kept: " + journal_.path);
      return;
    }
    removeJournal(journal_.path);
  }

  bool complete() const {
    log(L"Extraction complete: " + destinationDir_);
    return true;
  }

  // ---- Helpers. ----

  void markDamaged(uint32_t file) {
    if (damaged_[file]) return;
    damaged_[file] = 1;
    ++damagedFiles_;
    if (onLog_) log(L"Damaged: " + displayPath(storedPath(plan_.tables, file)));
  }

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
    if (onProgress_) onProgress_(ProgressInfo{blocksDone_, total, bytesFreed_, bytesDone_, bytesTotal_});
  }

  const std::wstring& archivePath_;
  const std::wstring& destinationDir_;
  const bool resume_;
  const bool ablate_;
  const bool salvage_;
  const bool checkSpace_;
  uint64_t groupBytes_;
  std::wstring& errorText_;
  const ProgressCallback& onProgress_;
  const LogCallback& onLog_;
  const PauseCallback& isPaused_;
  const StopCallback& shouldStop_;

  ExtractionPlan plan_;
  Journal journal_;
  bool journalLoaded_ = false;
  bool inUse_ = false;
  bool accepted_ = false;  // every check passed: this destination is the run's
  bool destinationLacksData_ = false;
  bool salvageEnded_ = false;  // failed only because files are damaged: resuming would change nothing
  FileHandle archive_;
  std::optional<ArchiveRelease> release_;  // once the archive is open
  FileIdentity archiveIdentity_;
  bool damagedBlock_ = false;              // stopped at a block the archive no longer holds as written
  bool stopped_ = false;                   // on request
  std::optional<DestinationFiles> files_;  // once the destination paths are known
  std::vector<uint8_t> stored_, raw_;
  std::vector<uint32_t> written_, releasable_;  // of the group in hand
  std::vector<uint32_t> lost_;                  // released blocks a salvaging run found missing
  std::vector<uint32_t> absent_;                // gone from an archive whose journal is missing (salvage)
  std::vector<uint8_t> leftAlone_;              // per file
  std::vector<uint8_t> damaged_;                // per file
  uint32_t damagedFiles_ = 0;
  uint32_t blocksDone_ = 0;
  uint64_t bytesFreed_ = 0;
  uint64_t bytesDone_ = 0, bytesTotal_ = 0;  // raw
  uint32_t lastAnnouncedFile_ = kNoFile;
};

}  // namespace

bool extractArchive(const std::wstring& archivePath, const std::wstring& destinationDir, const ExtractOptions& options,
                    std::wstring& errorText, ExtractOutcome& outcome, const ProgressCallback& onProgress,
                    const LogCallback& onLog, const PauseCallback& isPaused) {
  Extraction extraction(archivePath, destinationDir, options, errorText, onProgress, onLog, isPaused);
  const bool succeeded = extraction.run();
  outcome = extraction.outcome(succeeded);
  return succeeded;
}

bool extractArchive(const std::wstring& archivePath, const std::wstring& destinationDir, bool resume, bool keepOriginal,
                    std::wstring& errorText, const ProgressCallback& onProgress, const LogCallback& onLog,
                    const PauseCallback& isPaused) {
  ExtractOptions options;
  options.resume = resume;
  options.keepOriginal = keepOriginal;
  ExtractOutcome ignored;
  return extractArchive(archivePath, destinationDir, options, errorText, ignored, onProgress, onLog, isPaused);
}

}  // namespace ablative
