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
// Nothing is written before the checks of extraction_checks.cc pass: the
// whole archive is known to be sound, no other run holds it, the destination
// can take it, and, when resuming, holds what earlier runs took from the
// archive.
#include <algorithm>

#include "archive_checks.h"
#include "block_io.h"
#include "extraction.h"
#include "path_safety.h"
#include "pause.h"
#include "paths.h"
#include "resume_check.h"

namespace ablative {

bool Extraction::run() {
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
      plan_.fileLengths);  // a copy: checkFileSizeLimit reads them next
  if (!files_->checkPaths(errorText_) || !checkFileSizeLimit() || !checkDestinationHoldsExtracted() || !checkSpace()) {
    return false;
  }
  leaveAloneWhatMayHoldMore();
  accepted_ = true;
  return prepareDestination() && startPosition() && extractBlocks() && finish();
}

ExtractOutcome Extraction::outcome(bool succeeded) const {
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

// Creates the destination folder and the journal, and takes over the
// files earlier runs made. Destination files are made as their data
// arrives, and made durable with it before any archive range is released.
bool Extraction::prepareDestination() {
  if (ablate_) release_->start();
  if (!files_->createRoot(errorText_)) return false;
  if (ablate_ && !(journalLoaded_ ? openJournal(journal_) : createJournal(journal_))) {
    return fail(L"Failed to initialize journal");
  }
  if (ablate_ && !recordStates(journal_, lost_, BlockState::Pending)) return fail(L"Failed to initialize journal");
  return adoptEarlierFiles();
}

// The files a stopped run wrote, as its journal records them.
bool Extraction::adoptEarlierFiles() {
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

bool Extraction::startPosition() {
  for (uint32_t b = 0; b < plan_.tables.blocks.size(); ++b) {
    bytesTotal_ += plan_.tables.blocks[b].rawSize;
    if (!ablate_ || !isPunched(journal_, b)) continue;
    ++blocksDone_;
    bytesDone_ += plan_.tables.blocks[b].rawSize;
    bytesFreed_ += plan_.tables.blocks[b].storedSize;
  }
  return truncateTail();  // catches up on a cut that a stopped run did not reach
}

bool Extraction::extractBlocks() {
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
void Extraction::reserveBuffers() {
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
bool Extraction::extractGroup(size_t first, size_t end) {
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
bool Extraction::takeBlock(uint32_t b) {
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
bool Extraction::recordWritten() {
  if (written_.empty()) return true;
  if (!files_->makeDurable(errorText_)) return false;
  if (!recordStates(journal_, written_, BlockState::DestWritten)) {
    return fail(L"Failed to update journal (DestWritten)");
  }
  return true;
}

// Effects 3 to 5 for blocks whose bytes are durable in their destination.
bool Extraction::releaseGroup() {
  if (releasable_.empty()) return true;
  if (!release_->release(releasable_, journal_, errorText_)) return false;
  if (!recordStates(journal_, releasable_, BlockState::Punched)) return fail(L"Failed to update journal (Punched)");
  for (uint32_t b : releasable_) bytesFreed_ += plan_.tables.blocks[b].storedSize;
  reportProgress();
  return truncateTail();
}

bool Extraction::truncateTail() { return !ablate_ || release_->cutTail(journal_, errorText_); }

// Every file complete and durable, names included, or, after salvage, as
// complete as it can be, with the archive and its journal kept for what
// they still hold.
bool Extraction::finish() {
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
void Extraction::removeArchiveThenJournal() {
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

bool Extraction::complete() const {
  log(L"Extraction complete: " + destinationDir_);
  return true;
}

void Extraction::markDamaged(uint32_t file) {
  if (damaged_[file]) return;
  damaged_[file] = 1;
  ++damagedFiles_;
  if (onLog_) log(L"Damaged: " + displayPath(storedPath(plan_.tables, file)));
}

bool Extraction::fail(const std::wstring& message) {
  errorText_ = message;
  return false;
}

void Extraction::log(const std::wstring& line) const {
  if (onLog_) onLog_(line);
}

void Extraction::announce(uint32_t file) {
  if (file == lastAnnouncedFile_) return;
  lastAnnouncedFile_ = file;
  // Converted here rather than kept per file: the log needs each name once.
  if (onLog_) log(L"Extracting: " + fromUtf8(storedPath(plan_.tables, file)));
}

void Extraction::reportProgress() const {
  const auto total = static_cast<uint32_t>(plan_.tables.blocks.size());
  if (onProgress_) onProgress_(ProgressInfo{blocksDone_, total, bytesFreed_, bytesDone_, bytesTotal_});
}

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
