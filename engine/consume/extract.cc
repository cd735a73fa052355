// Extraction. In ablative mode the archive is consumed from its end while its
// files are restored, so the run needs little more disk than the extracted
// data. The archive's units (its blocks, in a .zvka archive) are taken by
// descending archive offset in groups (bounded by their stored bytes), and
// each group goes through five effects, each durable for every unit of the
// group before the next begins:
//   1. its decoded bytes are written to their destination files and flushed;
//   2. the journal records DestWritten;
//   3. its ranges in the archive are zeroed, which releases the space (where
//      the file system keeps no holes, the archive is cut where the group
//      starts instead: see archive_release.h);
//   4. the journal records Punched;
//   5. while the units at the archive's end are Punched, the archive is cut.
// A run stopped anywhere resumes from the journal: Punched units are skipped,
// DestWritten ones are read back and, when their CRC matches, only released.
//
// The run sees the archive only through its plan and its source's callables
// (archive_source.h), whatever its format.
//
// Nothing is written before the checks of extraction_checks.cc pass: the
// whole archive is known to be sound, no other run holds it, the destination
// can take it, and, when resuming, holds what earlier runs took from the
// archive.
#include <algorithm>
#include <deque>
#include <thread>
#include <unordered_map>

#include "consume/archive_checks.h"
#include "consume/extraction.h"
#include "consume/resume_check.h"
#include "destination/link_target.h"
#include "files/block_io.h"
#include "files/path_safety.h"
#include "files/paths.h"
#include "pause.h"
#include "platform/utf8.h"

namespace ablative {

namespace {

constexpr uint32_t kNoTarget = UINT32_MAX;

std::vector<uint64_t> fileLengths(const ExtractionPlan& plan) {
  std::vector<uint64_t> lengths(plan.files.size());
  for (uint32_t f = 0; f < lengths.size(); ++f) lengths[f] = plan.files[f].length;
  return lengths;
}

std::vector<EntryKind> fileKinds(const ExtractionPlan& plan) {
  std::vector<EntryKind> kinds(plan.files.size());
  for (uint32_t f = 0; f < kinds.size(); ++f) kinds[f] = plan.files[f].kind;
  return kinds;
}

// The file each hard link names, by its path; every other entry names none.
// Only the paths links name are looked up.
std::vector<uint32_t> hardLinkTargets(const ExtractionPlan& plan) {
  std::vector<uint32_t> targets(plan.files.size(), kNoTarget);
  std::unordered_map<std::string_view, uint32_t> named;  // a path a hard link names: its file
  for (uint32_t f = 0; f < plan.files.size(); ++f) {
    if (plan.files[f].kind == EntryKind::HardLink) named.emplace(plan.targetViewOf(f), kNoTarget);
  }
  if (named.empty()) return targets;
  for (uint32_t f = 0; f < plan.files.size(); ++f) {
    const auto found = plan.files[f].kind == EntryKind::File ? named.find(plan.pathViewOf(f)) : named.end();
    if (found != named.end() && found->second == kNoTarget) found->second = f;
  }
  for (uint32_t f = 0; f < plan.files.size(); ++f) {
    if (plan.files[f].kind == EntryKind::HardLink) targets[f] = named.find(plan.targetViewOf(f))->second;
  }
  return targets;
}

// Hard links once the files they name are as whole as the run made them.
Status makeHardLinks(const std::vector<uint32_t>& targets, DestinationFiles& files) {
  for (uint32_t f = 0; f < targets.size(); ++f) {
    if (targets[f] == kNoTarget) continue;
    if (Status made = files.makeHardLink(f, targets[f]); !made.ok()) return made;
  }
  return {};
}

// Links once every file is in place, and only those that lead inside the
// destination: the others, and those the system refuses, are named in the log.
Status makeLinks(const ExtractionPlan& plan, bool holdsLinks, DestinationFiles& files, const LogCallback& log) {
  const std::vector<LinkPlace> places = placeLinks(plan);
  for (uint32_t f = 0; f < places.size(); ++f) {
    if (places[f] == LinkPlace::NotALink) continue;
    const std::wstring named =
        L"Skipped link: " + nameFromBytes(plan.pathOf(f)) + L" -> " + nameFromBytes(plan.targetOf(f));
    std::wstring refusal;
    if (places[f] == LinkPlace::Outside) {
      log(named);
      continue;
    }
    if (!holdsLinks) {
      log(named + L" (the destination's file system holds no links)");
      continue;
    }
    Status made = files.makeLink(f, fromUtf8(plan.targetOf(f)), places[f] == LinkPlace::ToFolder,
                                 plan.files[f].modifiedNs, refusal);
    if (!made.ok()) return made;
    if (!refusal.empty()) log(named + L" (" + refusal + L")");
  }
  return {};
}

// Files first, but for those `restored` as they completed, then folders
// deepest first: what is made or set inside a folder changes its time.
// Files the run left damaged keep none, and links
// got theirs when they were made. A hard link the file system could only
// copy is a file of its own: it takes its member's time and mode, where the
// member has them, else its target's.
Status restoreMetadata(const ExtractionPlan& plan, const std::vector<uint32_t>& targets,
                       const std::vector<uint8_t>& damaged, const std::vector<uint8_t>& restored,
                       DestinationFiles& files) {
  std::vector<std::pair<size_t, uint32_t>> folders;  // by depth
  for (uint32_t f = 0; f < plan.files.size(); ++f) {
    PlanFile file = plan.files[f];
    const bool copied = file.kind == EntryKind::HardLink && targets[f] != kNoTarget && files.made(f);
    if (copied && file.modifiedNs == kNoTime) file.modifiedNs = plan.files[targets[f]].modifiedNs;
    if (copied && file.unixMode == kNoMode) file.unixMode = plan.files[targets[f]].unixMode;
    if ((file.modifiedNs == kNoTime && file.unixMode == kNoMode) || restored[f]) continue;
    if (file.kind == EntryKind::Folder) {
      const std::string path = plan.pathOf(f);
      folders.emplace_back(std::count(path.begin(), path.end(), '/'), f);
    } else if ((file.kind == EntryKind::File || copied) && !damaged[f]) {
      if (Status set = files.setMetadata(f, file.modifiedNs, file.unixMode); !set.ok()) return set;
    }
  }
  std::sort(folders.rbegin(), folders.rend());
  for (const auto& [depth, f] : folders) {
    if (Status set = files.setMetadata(f, plan.files[f].modifiedNs, plan.files[f].unixMode); !set.ok()) return set;
  }
  return {};
}

}  // namespace

// So that the outcome of a run that ran out of memory still says whether the
// journal it leaves resumes.
bool Extraction::run() {
  bool succeeded = false;
  const Status ran = withinMemory([&] {
    succeeded = runSteps();
    return Status{};
  });
  return ran.ok() ? succeeded : fail(ran);
}

bool Extraction::runSteps() {
  if (!holdArchive()) return false;
  foundLoad_ = loadJournalAsWritten(found_);
  SourceReading reading;
  if (!readSource(reading)) {  // a run may have left only the journal, or nothing at all
    if (ablate_ && resume_ && nothingRemains(archivePath_, journal_.path)) {
      return fail(
          failure(StatusKind::Failed, L"Nothing to resume: neither " + archivePath_ + L" nor its journal exists"));
    }
    if (!ablate_ || archiveTakenAway() || !resume_ || !onlyTheJournalRemains(archivePath_, found_, foundLoad_)) {
      return false;
    }
    journal_ = std::move(found_);
    // Nothing names the files any more: the folder that run made is the one sign of its destination.
    if (pathStatus(destinationDir_).kind != PathKind::Directory) return lacksData(destinationDir_);
    if (!ok(removeLaterParts())) return false;
    removeJournal(journal_.path);
    // A salvage stopped after it deleted the archive: what it lost, it named.
    const uint32_t lost = journal_.states.count(BlockState::Lost);
    if (lost == 0) return complete();
    consumedWhole_ = true;
    return fail(failure(StatusKind::FilesDamaged,
                        std::to_wstring(lost) + L" blocks were lost; the archive held nothing more and was deleted"));
  }
  // The plan takes the reading's place, which may hold the archive's tables.
  const uint32_t unitCount = reading.unitCount;
  facts_ = reading.facts;
  const std::vector<std::wstring> skipped = std::move(reading.skipped);
  const std::wstring unaccounted = std::move(reading.unaccounted);
  const std::wstring keepOnly = std::move(reading.keepOnly);
  if (!checkHeldArchive() || !checkKeepOnly(keepOnly) || !checkJournal(unitCount) ||
      !checkContents(std::move(reading)) || !checkUnaccounted(unaccounted) || !checkRecordedArchive() ||
      !checkFingerprint() || !checkOwnFiles()) {
    return false;
  }
  // Kept, the archive is read from its start, as units that decode in order need.
  if (plan_.decodesInOrder) std::reverse(plan_.processOrder.begin(), plan_.processOrder.end());
  recordPlanInJournal();
  damaged_.assign(plan_.files.size(), 0);
  files_.emplace(
      destinationDir_, [this](uint32_t file) { return fromUtf8(plan_.pathOf(file)); }, fileLengths(plan_),
      fileKinds(plan_));
  if (!ok(files_->checkPaths()) || !checkDestinationLimits() || !checkDestinationHoldsExtracted() || !checkSpace()) {
    return false;
  }
  if (checkOnly_) return true;
  if (salvage_) settleAbsentUnits();
  accepted_ = true;
  for (const std::wstring& line : skipped) log(line);
  if (!unaccounted.empty()) log(unaccountedWarning(unaccounted));
  return prepareDestination() && startPosition() && extractUnits() && finish();
}

// The archive is gone while its journal records units it still holds: moved
// away, or on a disk not at hand, rather than consumed. Once it is back, the
// run resumes, which the outcome says.
bool Extraction::archiveTakenAway() {
  const bool away = pathStatus(archivePath_).kind == PathKind::Missing && foundLoad_ == JournalLoad::Loaded &&
                    found_.states.recordsProgress() && !found_.states.everySettled();
  if (away) {
    journal_ = std::move(found_);
    fail(failure(StatusKind::Failed, L"The archive is missing: " + archivePath_ +
                                         L"; its journal records an extraction partly done: put the archive back, "
                                         L"then resume"));
  }
  return away;
}

Status Extraction::status(bool succeeded) const { return succeeded ? Status{} : failed_; }

ExtractOutcome Extraction::outcome(bool succeeded) const {
  ExtractOutcome outcome;
  // A run stopped on request resumes even before it recorded anything.
  const bool stopped = failed_.kind == StatusKind::Stopped;
  const bool resumes = journal_.states.recordsProgress() || (stopped && ablate_);
  // Resuming would meet the same archive, block or files again.
  const bool resumingHelps =
      failed_.kind == StatusKind::Failed || stopped || failed_.kind == StatusKind::DestinationLacksData;
  outcome.resumable = !succeeded && resumingHelps && resumes;
  outcome.resumeHere = outcome.resumable && accepted_;
  outcome.partlyConsumed = !succeeded && !consumedWhole_ && journal_.states.recordsProgress();
  return outcome;
}

// Creates the destination folder and the journal, and takes over the
// files earlier runs made. Destination files are made as their data
// arrives, and made durable with it before any archive range is released.
bool Extraction::prepareDestination() {
  if (ablate_) release_->start();
  if (!ok(files_->createRoot())) return false;
  // A journal is written anew, with the archive's fingerprint, until it records progress: the archive may have changed.
  const bool reuseJournal = journalLoaded_ && journal_.states.recordsProgress();
  if (ablate_ && reuseJournal && !openJournal(journal_)) {
    return fail(failure(StatusKind::Failed, withReason(L"Failed to initialize journal: " + journal_.path)));
  }
  if (ablate_ && !reuseJournal) {
    writeFingerprint();
    if (!createJournal(journal_)) {
      // Where the disk is full, --keep, which needs room for the whole tree, would not help.
      const bool full = lastErrorCode() == diskFullErrorCode();
      return fail(failure(StatusKind::Failed, withReason(L"Failed to initialize journal: " + journal_.path) +
                                                  (full ? L"" : L"; extract with --keep, which needs no journal")));
    }
  }
  if (ablate_) trimTail(journal_);  // a cut a stopped run made may not have lasted
  if (!settle(held_, BlockState::Punched) || !settle(lost_, BlockState::Lost)) return false;
  nameLostUnits();
  return adoptEarlierFiles();
}

// Records `state` for `units`, durably where the run consumes the archive.
bool Extraction::settle(const std::vector<uint32_t>& units, BlockState state) {
  if (!ablate_) {
    journal_.states.set(units, state);
    return true;
  }
  return recordStates(journal_, units, state) ||
         fail(failure(StatusKind::Failed, withReason(L"Failed to initialize journal: " + journal_.path)));
}

// Every lost unit, as nameLost says: each run says so again until the
// archive is gone.
void Extraction::nameLostUnits() {
  for (uint32_t u = 0; u < plan_.units.size(); ++u) {
    if (journal_.states.isLost(u)) nameLost(u);
  }
}

// The bytes unit `u` held, by file and range, and its files as damaged.
void Extraction::nameLost(uint32_t u) {
  for (const PlanPiece& piece : plan_.piecesOf(u)) {
    const std::wstring range =
        plan_.units[u].lengthUnknown
            ? L"from byte " + std::to_wstring(piece.destOffset) + L" to its end, a length not known"
            : std::to_wstring(piece.length) + L" bytes from byte " + std::to_wstring(piece.destOffset);
    log(L"Lost: " + nameFromBytes(plan_.pathOf(piece.file)) + L", " + range);
    markDamaged(piece.file);
  }
}

// The files a stopped run wrote, as its journal records them, and those that
// hold what a salvage found gone from the archive; a file whose rest is of a
// length not known keeps whatever the destination holds past its known part.
bool Extraction::adoptEarlierFiles() {
  std::vector<uint8_t> written(plan_.files.size(), 0), restUnknown(plan_.files.size(), 0);
  std::vector<uint32_t> names(plan_.files.size(), 1);  // its own and the hard links the plan makes to it
  for (const uint32_t target : hardLinkTargets(plan_)) {
    if (target != kNoTarget) ++names[target];
  }
  for (uint32_t u = 0; u < plan_.units.size(); ++u) {
    if (journal_.states.isPending(u)) continue;
    for (const PlanPiece& piece : plan_.piecesOf(u)) {
      written[piece.file] = 1;
      restUnknown[piece.file] |= plan_.units[u].lengthUnknown ? 1 : 0;
    }
  }
  for (uint32_t f = 0; f < written.size(); ++f) {
    if (written[f] && !ok(files_->adopt(f, names[f], restUnknown[f] == 0))) return false;
  }
  return true;
}

bool Extraction::startPosition() {
  for (uint32_t u = 0; u < plan_.units.size(); ++u) {
    bytesTotal_ += plan_.units[u].rawSize;
    if (!journal_.states.isSettled(u)) continue;
    ++blocksDone_;
    bytesDone_ += plan_.units[u].rawSize;
    bytesFreed_ += plan_.units[u].storedSize;
  }
  return truncateTail();  // catches up on a cut that a stopped run did not reach
}

bool Extraction::extractUnits() {
  reserveBuffers();
  decoders_.emplace(*source_, plan_,
                    plan_.decodesInOrder ? 0 : decodeWorkersFor(std::thread::hardware_concurrency()));
  piecesLeft_.assign(plan_.files.size(), 0);
  reach_.assign(plan_.files.size(), 0);
  restored_.assign(plan_.files.size(), 0);
  for (const PlanPiece& piece : plan_.pieces) {
    ++piecesLeft_[piece.file];
    reach_[piece.file] = std::max(reach_[piece.file], piece.destinationEnd());
  }
  for (size_t first = 0; first < plan_.processOrder.size();) {
    // Between groups: nothing unflushed waits while the user is away, and a stop leaves no effect half done.
    if (!waitWhilePaused(isPaused_, shouldStop_)) return fail(stoppedOnRequest());
    const size_t end = groupEnd(plan_, journal_, first, groupBytes_);
    if (!extractGroup(first, end)) return false;
    first = end;
  }
  return true;
}

// Sizes the two unit buffers once, for the largest unit this run will
// read: growing them unit by unit briefly holds the old and the new
// buffer, and vector growth overshoots, which together cost more than a
// unit of peak memory. Units refused or already consumed are left out.
void Extraction::reserveBuffers() {
  size_t largestStored = 0, largestRaw = 0;
  for (uint32_t u = 0; u < plan_.units.size(); ++u) {
    const PlanUnit& unit = plan_.units[u];
    if (journal_.states.isSettled(u) || !unit.decodable) continue;
    largestStored = std::max<size_t>(largestStored, unit.storedSize);
    largestRaw = std::max<size_t>(largestRaw, unit.rawSize);
  }
  stored_.reserve(largestStored);
  raw_.reserve(largestRaw);
}

// The units at [first, end) of the process order: each written where it
// belongs (or found there already), then, in ablative mode, the group's
// effects 1 to 5 for all of them at once. Units the decoders take are read
// and handed to them ahead of their turn, as many as they hold.
bool Extraction::extractGroup(size_t first, size_t end) {
  written_.clear();
  releasable_.clear();
  std::deque<PreparedUnit> ahead;
  size_t next = first;
  for (size_t i = first; i < end; ++i) {
    for (; next < end && !decoders_->full(); ++next) {
      if (!prepareUnit(plan_.processOrder[next], ahead.emplace_back())) return false;
    }
    PreparedUnit prepared = std::move(ahead.front());
    ahead.pop_front();
    const uint32_t u = prepared.unit;
    for (const PlanPiece& piece : plan_.piecesOf(u)) announce(piece.file);
    if (prepared.step != UnitStep::Skip) {
      if (!takeUnit(prepared)) return false;
      ++blocksDone_;
      bytesDone_ += plan_.units[u].rawSize;
    } else if (!piecesInPlace(u)) {
      return false;
    }
    reportProgress();
  }
  return !ablate_ || (recordWritten() && releaseGroup());
}

// What unit `u` needs: nothing where an earlier run released it, nor where a
// resumed run finds it in its destination intact already; else its stored
// bytes, read here and handed to the decoders, or, where they leave it to
// this thread, read and decoded as it is taken.
bool Extraction::prepareUnit(uint32_t u, PreparedUnit& prepared) {
  const std::span<const PlanPiece> pieces = plan_.piecesOf(u);
  const auto madeByRun = [this](const PlanPiece& piece) { return files_->made(piece.file); };
  prepared.unit = u;
  if (journal_.states.isSettled(u)) return true;
  if (ablate_ && journal_.states.of(u) == BlockState::DestWritten &&
      std::all_of(pieces.begin(), pieces.end(), madeByRun)) {
    bool opened = true;
    const auto open = [&](uint32_t file) {
      FileHandle* destination = nullptr;
      opened = opened && ok(files_->open(file, destination));
      return destination;
    };
    const bool holds = destinationHolds(open, plan_, u, raw_);
    if (!opened) return false;
    prepared.step = UnitStep::Intact;
    if (holds) return true;
  }
  if (decoders_->leftToCaller(u)) {
    prepared.step = UnitStep::DecodeAtTake;
    return true;
  }
  prepared.step = UnitStep::Failed;
  prepared.read = source_->readStored(archive_, plan_, u, stored_);
  if (!prepared.read.ok()) return true;
  prepared.step = UnitStep::Decode;
  decoders_->hand(u, stored_);
  return true;
}

// Puts the prepared unit into its destination file, unflushed, where it is
// not there already.
bool Extraction::takeUnit(PreparedUnit& prepared) {
  const uint32_t u = prepared.unit;
  if (prepared.step == UnitStep::Intact) {
    releasable_.push_back(u);
    return piecesInPlace(u);
  }
  Status read = prepared.step == UnitStep::Decode         ? decoders_->take(raw_)
                : prepared.step == UnitStep::DecodeAtTake ? decodeHere(u)
                                                          : std::move(prepared.read);
  if (!read.ok()) return passOver(u, std::move(read));
  for (const PlanPiece& piece : plan_.piecesOf(u)) {
    const std::span<const uint8_t> bytes(raw_.data() + piece.rawOffset, piece.length);
    if (!ok(files_->write(piece.file, piece.destOffset, bytes)) || !pieceInPlace(piece.file)) return false;
  }
  written_.push_back(u);
  releasable_.push_back(u);
  return true;
}

// Reads and decodes unit `u` into raw_ without a copy in between, as a
// decoder would: memory that runs out fails the unit.
Status Extraction::decodeHere(uint32_t u) {
  Status read = source_->readStored(archive_, plan_, u, stored_);
  if (!read.ok()) return read;
  return withinMemory([&] { return source_->decodeUnit(plan_, u, stored_, raw_); });
}

bool Extraction::piecesInPlace(uint32_t u) {
  const std::span<const PlanPiece> pieces = plan_.piecesOf(u);
  return std::all_of(pieces.begin(), pieces.end(), [this](const PlanPiece& piece) { return pieceInPlace(piece.file); });
}

// A file whose last piece is in place takes its time and mode at once,
// through the handle that wrote it, where nothing may change it later: the
// end of the run would otherwise open every file once more to set them.
bool Extraction::pieceInPlace(uint32_t f) {
  if (--piecesLeft_[f] != 0 || !restoresEarly(f)) return true;
  if (!ok(files_->setMetadata(f, plan_.files[f].modifiedNs, plan_.files[f].unixMode))) return false;
  restored_[f] = 1;
  return true;
}

// Left to the end: a damaged file, one lengthened there, and one whose mode
// refuses writing, which a resumed run may have to do again should the run
// stop before its group is recorded.
bool Extraction::restoresEarly(uint32_t f) const {
  const PlanFile& file = plan_.files[f];
  return file.kind == EntryKind::File && !damaged_[f] && reach_[f] == file.length &&
         (file.unixMode == kNoMode || (file.unixMode & 0200) != 0);
}

// A unit that could not be read: where the journal has it written, its
// destination was found to lack it, so it is lost (unless only the read
// failed, which a resume tries again); else it is left where it is, in the
// archive and in the journal. Without salvage either stops the run.
bool Extraction::passOver(uint32_t u, Status read) {
  const bool gone =
      ablate_ && read.kind == StatusKind::DamagedBlock && journal_.states.of(u) == BlockState::DestWritten;
  if (!salvage_ && gone) {
    return fail(failure(StatusKind::BlockGone, L"Neither the archive nor the destination holds block " +
                                                   std::to_wstring(u) + L" of: " +
                                                   nameFromBytes(plan_.pathOf(plan_.piecesOf(u).front().file))));
  }
  if (!salvage_) return fail(std::move(read));
  if (gone) return settle({u}, BlockState::Lost) && (nameLost(u), true);
  for (const PlanPiece& piece : plan_.piecesOf(u)) markDamaged(piece.file);
  return true;
}

// Effects 1 and 2: the group's writes durable, then recorded.
bool Extraction::recordWritten() {
  if (written_.empty()) return true;
  if (!ok(files_->makeDurable())) return false;
  if (!recordStates(journal_, written_, BlockState::DestWritten)) {
    return fail(failure(StatusKind::Failed, withReason(L"Failed to update journal (DestWritten): " + journal_.path)));
  }
  return true;
}

// Effects 3 to 5 for units whose bytes are durable in their destination.
bool Extraction::releaseGroup() {
  if (releasable_.empty()) return true;
  if (!ok(release_->release(releasable_, journal_))) return false;
  if (!recordStates(journal_, releasable_, BlockState::Punched)) {
    return fail(failure(StatusKind::Failed, withReason(L"Failed to update journal (Punched): " + journal_.path)));
  }
  trimTail(journal_);
  for (uint32_t u : releasable_) bytesFreed_ += plan_.units[u].storedSize;
  reportProgress();
  return truncateTail();
}

bool Extraction::truncateTail() { return !ablate_ || ok(release_->cutTail(journal_)); }

// Every file complete and durable, names included, or, after salvage, as
// complete as it can be, with the archive and its journal kept for what
// they still hold.
bool Extraction::finish() {
  std::vector<uint8_t> filled(plan_.files.size(), 0);  // by some unit; the others are made empty here
  for (const PlanPiece& piece : plan_.pieces) filled[piece.file] = 1;
  for (uint32_t f = 0; f < damaged_.size(); ++f) {
    const EntryKind kind = plan_.files[f].kind;
    if (damaged_[f] && !ok(files_->fillToLength(f))) return false;
    if ((kind == EntryKind::File || kind == EntryKind::Folder) && !filled[f] &&
        !ok(kind == EntryKind::Folder ? files_->makeFolderEntry(f) : files_->make(f))) {
      return false;
    }
    if (kind == EntryKind::File && reach_[f] < plan_.files[f].length && !ok(files_->fillToLength(f))) {
      return false;
    }
  }
  // A salvaged file keeps its other names: each shares its damaged bytes, and is named with it.
  const std::vector<uint32_t> targets = hardLinkTargets(plan_);
  for (uint32_t f = 0; f < targets.size(); ++f) {
    if (targets[f] != kNoTarget && damaged_[targets[f]]) markDamaged(f);
  }
  const LogCallback logLine = [this](const std::wstring& line) { log(line); };
  if (!ok(makeHardLinks(targets, *files_)) || !ok(makeLinks(plan_, holdsLinks_, *files_, logLine)) ||
      !ok(restoreMetadata(plan_, targets, damaged_, restored_, *files_)) || !ok(files_->makeDurable()) ||
      !ok(files_->closeAll())) {
    return false;
  }
  archive_.close();
  journal_.file.close();
  if (damagedFiles_ > 0) {
    const std::wstring damaged = std::to_wstring(damagedFiles_) + L" files could not be fully extracted";
    if (!ablate_ || !journal_.states.everySettled()) return fail(failure(StatusKind::FilesDamaged, damaged));
    // What was lost is named above, and the archive holds nothing more: keeping it would only invite runs.
    consumedWhole_ = true;
    removeArchiveThenJournal();
    return fail(failure(StatusKind::FilesDamaged, damaged + L"; the archive held nothing more and was deleted"));
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
  } else if ((!removeFile(archivePath_) && !isNotFoundError(lastErrorCode())) || !removeLaterParts().ok()) {
    log(L"Warning: extraction succeeded but failed to delete source archive.");
    return;
  }
  if (!syncDirectory(parentFolder(archivePath_))) {
    log(L"Warning: extraction succeeded but the resume file was kept: " + journal_.path);
    return;
  }
  removeJournal(journal_.path);
}

// A volume set's parts past its first, which the run's cuts left, go once the
// first part's removal is durable: until then the parts there are the set's
// first ones, which a resumed run reads, and after it no run takes the rest
// for an archive, while a resumed run finishes their removal.
Status Extraction::removeLaterParts() {
  if (set_.parts.size() == 1) return {};
  if (!syncDirectory(parentFolder(archivePath_))) {
    return failure(StatusKind::Failed, withReason(L"Failed to delete " + archivePath_));
  }
  for (size_t p = 1; p < set_.parts.size(); ++p) {
    if (!removeFile(set_.parts[p]) && !isNotFoundError(lastErrorCode())) {
      return failure(StatusKind::Failed, withReason(L"Failed to delete " + set_.parts[p]));
    }
  }
  return {};
}

bool Extraction::complete() const {
  log(L"Extraction complete: " + destinationDir_);
  return true;
}

void Extraction::markDamaged(uint32_t file) {
  if (damaged_[file]) return;
  damaged_[file] = 1;
  ++damagedFiles_;
  if (onLog_) log(L"Damaged: " + nameFromBytes(plan_.pathOf(file)));
}

bool Extraction::fail(Status status) {
  failed_ = std::move(status);
  return false;
}

bool Extraction::ok(Status status) { return status.ok() || fail(std::move(status)); }

void Extraction::log(const std::wstring& line) const {
  if (onLog_) onLog_(line);
}

void Extraction::announce(uint32_t file) {
  if (file == lastAnnouncedFile_) return;
  lastAnnouncedFile_ = file;
  // Converted here rather than kept per file: the log needs each name once.
  if (onEntry_) onEntry_(L"Extracting: " + fromUtf8(plan_.pathOf(file)));
}

void Extraction::reportProgress() const {
  const auto total = static_cast<uint32_t>(plan_.units.size());
  if (onProgress_) onProgress_(ProgressInfo{blocksDone_, total, bytesFreed_, bytesDone_, bytesTotal_});
}

Status extractArchive(const std::wstring& archivePath, const std::wstring& destinationDir,
                      const ExtractOptions& options, ExtractOutcome& outcome, const ProgressCallback& onProgress,
                      const LogCallback& onLog, const PauseCallback& isPaused) {
  return withinMemory([&] {
    const std::wstring first = firstVolumeOf(archivePath);  // the extraction holds on to it
    Extraction extraction(first, destinationDir, options, onProgress, onLog, isPaused);
    const bool succeeded = extraction.run();
    outcome = extraction.outcome(succeeded);
    return extraction.status(succeeded);
  });
}

}  // namespace ablative
