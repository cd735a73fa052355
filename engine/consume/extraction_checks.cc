// The checks an extraction makes before it writes anything: the archive
// (what its source checks, every stored path, and what a lost journal left
// missing), that no other run holds it, the destination's paths
// and space, and, when resuming, that the destination holds what earlier runs
// took from the archive.
#include <algorithm>

#include "consume/archive_checks.h"
#include "consume/archive_presence.h"
#include "consume/extraction.h"
#include "consume/plan_record.h"
#include "consume/resume_check.h"
#include "consume/space.h"
#include "destination/destination_limits.h"
#include "files/block_io.h"
#include "files/path_safety.h"
#include "files/paths.h"

namespace ablative {

namespace {

// How much of what earlier runs released a resumed run reads back before it
// trusts the destination: the units released last, where a stop is likeliest
// to have left damage, and little enough to cost no noticeable time.
constexpr uint64_t kReadBackOnResume = 64 << 20;

constexpr wchar_t kDestinationLacksData[] =
    L"The destination does not hold the data already extracted from this archive: ";

const wchar_t* cannotOpenFor(bool ablate) {
  return ablate ? L"Failed to open archive for ablation" : L"Failed to open archive for extraction";
}

}  // namespace

// A foreign archive that a run has begun to consume no longer describes
// itself (a zip's directory goes with the first cut): its journal does.
bool Extraction::readSource(SourceReading& reading) {
  ArchiveReading archive;
  const bool progress = foundLoad_ == JournalLoad::Loaded && found_.states.recordsProgress();
  const bool read = ok(withMissingPartHint(
      set_, progress, readArchive(archivePath_, archive_, found_, foundLoad_, shouldStop_, archive)));
  source_ = archive.source;
  recorded_ = archive.recorded;
  reading = std::move(archive.reading);
  return read;
}

// One run per archive: an ablative run holds it alone, other runs share it,
// from before anything reads it. An archive the run cannot take is opened
// only to be read, without a lock, and refused once what it says of itself
// is known (checkHeldArchive).
bool Extraction::holdArchive() {
  // A run stopped while it deleted a volume set's parts leaves the later ones:
  // a resumed run finishes that once its journal shows every unit settled.
  if (Status found = findVolumeSet(archivePath_, set_); !found.ok()) {
    if (!ablate_ || !resume_ || pathStatus(archivePath_).kind != PathKind::Missing) return fail(std::move(found));
  }
  refusal_ = ablate_ ? linkedNameRefusal() : std::wstring();
  if (!refusal_.empty()) {
    openVolumeSet(set_, OpenMode::ReadOnly, archive_);
    return true;
  }
  if (Status held = holdArchiveForRun(set_, ablate_, archive_, cannotOpenFor(ablate_), refusal_); !held.ok()) {
    return fail(std::move(held));
  }
  // Where only reading is allowed, a run that keeps the archive still works.
  if (ablate_ && !refusal_.empty() && archive_.isOpen()) refusal_ += L"; extract with --keep, which only reads it";
  return true;
}

bool Extraction::checkHeldArchive() {
  if (!refusal_.empty()) return fail(failure(StatusKind::Failed, refusal_));
  const wchar_t* cannotOpen = cannotOpenFor(ablate_);
  uint32_t links = 1;
  if (ablate_ && (!linkCount(archive_, links) || links > 1)) {
    return fail(failure(StatusKind::Failed,
                        links > 1 ? L"The archive has other names (hard links): extract with --keep: " + archivePath_
                                  : withReason(cannotOpen + (L": " + archivePath_))));
  }
  if (!fileSize(archive_, archiveLength_) || !fileIdentity(archive_, archiveIdentity_)) {
    return fail(failure(StatusKind::Failed, withReason(L"Failed to get archive size: " + archivePath_)));
  }
  release_.emplace(archive_, plan_, archiveLength_);
  // The destination grows by a group before the archive shrinks by it.
  if (ablate_) groupBytes_ = effectiveGroupBytes(archivePath_, groupBytes_);
  return true;
}

// A consuming run releases the bytes of the file it names, and deletes that
// name once done: named through a symbolic link, it would empty the file and
// delete only the link.
std::wstring Extraction::linkedNameRefusal() const {
  EntryStatus status;
  std::wstring real;
  if (!entryStatus(archivePath_, status) || status.kind != PathKind::Link) return {};
  if (!realPath(archivePath_, real)) real = archivePath_;
  return L"The archive is a symbolic link to " + real + L": name " + real +
         L" itself to consume it, or extract with --keep";
}

// A resumed ablative run continues from the journal. Any other run refuses
// an archive whose journal shows it partly consumed: starting afresh would
// empty destination files whose units have already left the archive.
bool Extraction::checkJournal(uint32_t unitCount) {
  journal_ = std::move(found_);
  const JournalLoad load = fitJournal(journal_, foundLoad_, unitCount);
  if (ablate_ && resume_) {
    journalLoaded_ = load == JournalLoad::Loaded;
    if (load == JournalLoad::Loaded || load == JournalLoad::Missing) return true;
    if (load == JournalLoad::Unreadable)
      return fail(failure(StatusKind::Failed, withReason(L"Failed to initialize journal: " + journal_.path)));
    if (foundLoad_ == JournalLoad::Loaded) return archiveChanged();  // whole, for an archive of another block count
    return fail(failure(StatusKind::Failed, L"Failed to initialize journal: " + journal_.path));
  }
  if (load == JournalLoad::Unreadable)
    return fail(failure(StatusKind::Failed, withReason(L"Failed to initialize journal: " + journal_.path)));
  if (load == JournalLoad::Loaded && journal_.states.recordsProgress()) {
    return fail(
        failure(StatusKind::Failed, L"An earlier extraction of this archive was interrupted; resume it to continue"));
  }
  journal_.states.setAll(journal_.states.size(), BlockState::Pending);
  return true;
}

// An archive whose units decode only from its start cannot be taken from its
// end.
bool Extraction::checkKeepOnly(const std::wstring& keepOnly) {
  if (keepOnly.empty() || !ablate_) return true;
  return fail(failure(StatusKind::Failed, keepOnly + L": extract with --keep, which reads it from its start"));
}

// Bytes no entry accounts for go with the archive only where a run keeps it.
// A run that began consuming it passed this check before.
bool Extraction::checkUnaccounted(const std::wstring& unaccounted) {
  if (unaccounted.empty() || !ablate_ || (journalLoaded_ && journal_.states.recordsProgress())) return true;
  return fail(failure(StatusKind::Failed, unaccountedRefusal(unaccounted)));
}

// Units already consumed may have been cut off the archive's end. Units the
// journal, or without one the archive alone, shows gone while nothing says
// they were extracted are absent: a salvage settles them from the
// destination, any other run refuses the archive. A journal that records
// progress is the one at fault for those it records as not extracted.
bool Extraction::checkContents(SourceReading reading) {
  if (journalLoaded_ && journal_.states.recordsProgress()) {
    if (!ok(checkArchiveAgainstJournal(archive_, *source_, std::move(reading), journal_, plan_, absent_))) return false;
    if (absent_.empty() || salvage_) return true;
    if (!checkRecordedArchive()) return false;  // a changed archive is the likelier fault
    return fail(failure(StatusKind::BlockGone, journalContradictedText(plan_, absent_)));
  }
  if (!ok(withMissingPartHint(set_, false, checkArchiveAlone(archive_, *source_, std::move(reading), plan_, absent_)))) {
    return false;
  }
  if (!ok(checkPartsJoin(archive_, *source_, plan_, set_.parts))) return false;
  if (!journalIsMissing(plan_, absent_) || salvage_) return true;
  return fail(withMissingPartHint(set_, false, failure(StatusKind::Failed, journalMissingText(plan_, absent_))));
}

bool Extraction::checkRecordedArchive() {
  if (!recorded_) return true;
  return ok(ablative::checkRecordedArchive(archive_, plan_, journal_));
}

// A journal that records progress belongs to the archive it was written for:
// resumed on another, a run would take that one's blocks for the ones it
// released, and lose them. The file number is checked where the file system
// keeps it, the length, which only shrinks, and the plan read anew. A journal
// written before fingerprints is checked by its block count alone (and, of
// version 2, by its record).
bool Extraction::checkFingerprint() {
  if (!journalLoaded_ || !journal_.states.recordsProgress() || !journal_.fingerprint) return true;
  const ArchiveFingerprint& written = *journal_.fingerprint;
  const bool sameFile = written.identity.index == 0 || written.identity.index == archiveIdentity_.index;
  if (sameFile && archiveLength_ <= written.length && written.planCrc == planChecksum(plan_)) return true;
  return archiveChanged();
}

bool Extraction::archiveChanged() { return fail(failure(StatusKind::ArchiveChanged, kArchiveChanged)); }

// What checkFingerprint checks a resumed run by. The volume is kept but not
// checked: a removable disk's number changes from one mount to the next.
void Extraction::writeFingerprint() {
  ArchiveFingerprint& fingerprint = journal_.fingerprint.emplace();
  FileSystemTraits traits;
  fingerprint.identity = archiveIdentity_;
  if (!fileSystemTraits(archivePath_, traits) || !traits.lastingFileNumbers) fingerprint.identity.index = 0;
  fingerprint.length = archiveLength_;
  fingerprint.described = plan_.archiveSize;
  fingerprint.planCrc = planChecksum(plan_);
}

// Where the archive's description goes first, the journal keeps the plan, and
// the space check counts it.
void Extraction::recordPlanInJournal() {
  if (ablate_ && source_->saveUnits && !(journalLoaded_ && journal_.states.recordsProgress())) {
    recordPlan(*source_, facts_, plan_, journal_);
  }
}

// The run's own files, the archive, its journal (under either name) and the
// points' scratch file, are neither the destination nor a file of it.
bool Extraction::checkOwnFiles() {
  std::vector<std::wstring> paths = set_.parts;
  paths.insert(paths.end(), {journal_.path, temporaryPathFor(journal_.path), pointsScratchPathFor(journal_.path)});
  ProtectedFiles own(paths);
  std::wstring folder = destinationDir_;
  while (folder.size() > 1 && (folder.back() == L'/' || folder.back() == kPathSeparator)) folder.pop_back();
  if (own.includes(folder))
    return fail(failure(StatusKind::Failed, L"The destination is the archive or its journal: " + destinationDir_));
  for (uint32_t f = 0; f < plan_.files.size(); ++f) {
    const std::wstring relative = fromUtf8(plan_.pathOf(f));
    if (own.includes(joinPath(destinationDir_, relative)))
      return fail(failure(StatusKind::Failed, L"Unsafe path in archive: " + relative));
  }
  return true;
}

// With salvage, released units found missing from the destination are lost.
bool Extraction::checkDestinationHoldsExtracted() {
  if (!journalLoaded_) return true;
  const uint32_t lacking =
      fileLackingData(plan_, journal_, *files_, kReadBackOnResume, salvage_ ? &lost_ : nullptr, raw_);
  return lacking == kNoFile || lacksData(files_->pathOf(lacking));
}

// An absent unit whose bytes the destination holds counts as released; one
// it lacks is lost.
void Extraction::settleAbsentUnits() {
  FileHandle file;
  uint32_t opened = kNoFile;
  const OpenDestination open = [&](uint32_t f) {
    if (opened != f) opened = files_->openExisting(f, file) ? f : kNoFile;
    return opened == f ? &file : nullptr;
  };
  for (uint32_t u : absent_) (destinationHolds(open, plan_, u, raw_) ? held_ : lost_).push_back(u);
}

bool Extraction::lacksData(const std::wstring& path) {
  return fail(failure(StatusKind::DestinationLacksData, kDestinationLacksData + path));
}

// Names, paths, letter case, links and file lengths, against what the
// destination's file system holds: an entry it cannot would stop the run at
// the same place on every resume. A resumed run that records progress passed
// them before its first release; probing again would only leave its scratch
// entries in the tree wherever a kill stops it.
bool Extraction::checkDestinationLimits() {
  if (journalLoaded_ && journal_.states.recordsProgress()) return true;
  uint64_t longest = 0;
  for (const PlanFile& file : plan_.files) {
    if (file.kind == EntryKind::File) longest = std::max(longest, file.length);
  }
  const DestinationLimits limits = probeDestination(destinationDir_, longest);
  holdsLinks_ = limits.holdsLinks;
  return ok(checkAgainstLimits(plan_, limits, destinationDir_));
}

bool Extraction::checkSpace() {
  SpaceNeeds needs;
  if (!checkSpace_ || !estimateSpace(plan_, journal_, archivePath_, destinationDir_, requestedGroupBytes_, needs)) {
    return true;  // where the free space cannot be read, the run finds out as it goes
  }
  if (ablate_ && needs.journal > needs.freeBesideArchive) {
    return fail(failure(StatusKind::Failed, L"Not enough free space beside the archive at " +
                                                parentFolder(archivePath_) + L" for its journal: " +
                                                std::to_wstring(needs.journal) + L" bytes needed, " +
                                                std::to_wstring(needs.freeBesideArchive) + L" free"));
  }
  if (ablate_) groupBytes_ = needs.groupBytes;
  return ok(checkFits(needs, ablate_ ? needs.ablative : needs.keep, destinationDir_));
}

}  // namespace ablative
