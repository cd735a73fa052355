// Archive verification: the checks an extraction makes before it writes,
// then every unit still in the archive read, decoded and checksummed,
// writing nothing.
#include <map>
#include <thread>

#include "ablative.h"
#include "consume/archive_checks.h"
#include "consume/archive_presence.h"
#include "consume/describe.h"
#include "consume/journal.h"
#include "consume/plan_record.h"
#include "consume/unit_checks.h"
#include "status.h"

namespace ablative {

namespace {

// Units an interrupted or salvaging run released are gone by design, as its
// journal records; without a journal the archive must hold every unit.
Status checkContents(FileHandle& archive, const ArchiveSource& source, SourceReading reading, const Journal& journal,
                     bool progress, ExtractionPlan& plan) {
  std::vector<uint32_t> absent;
  if (progress) {
    if (Status status = checkArchiveAgainstJournal(archive, source, std::move(reading), journal, plan, absent);
        !status.ok())
      return status;
    return absent.empty() ? Status{} : failure(StatusKind::Failed, journalContradictedText(plan, absent));
  }
  if (Status status = checkArchiveAlone(archive, source, std::move(reading), plan, absent); !status.ok()) return status;
  return journalIsMissing(plan, absent) ? failure(StatusKind::Failed, journalMissingText(plan, absent)) : Status{};
}

Status checkEveryUnit(const std::wstring& path, const ProgressCallback& onProgress, ArchiveDescription& described) {
  const std::wstring archivePath = firstVolumeOf(path);
  ArchiveReading read;
  VolumeSet set;
  FileHandle archive;
  std::wstring refusal;
  uint64_t archiveSize = 0;
  if (Status found = findVolumeSet(archivePath, set); !found.ok()) return found;
  // Held shared from before anything reads it; its journal is read once.
  if (Status held = holdArchiveForRun(set, false, archive, L"Unable to open archive file", refusal); !held.ok()) {
    return failure(StatusKind::Failed, std::move(held.message));
  }
  Journal journal{journalPathFor(archivePath)};
  const JournalLoad load = loadJournalAsWritten(journal);
  if (Status status = withMissingPartHint(set, load == JournalLoad::Loaded && journal.states.recordsProgress(),
                                          readArchive(archivePath, archive, journal, load, {}, read));
      !status.ok()) {
    return status;
  }
  if (!refusal.empty()) return failure(StatusKind::Failed, refusal);
  const ArchiveSource& source = *read.source;
  const bool progress =
      fitJournal(journal, load, read.reading.unitCount) == JournalLoad::Loaded && journal.states.recordsProgress();
  described = ArchiveDescription{};
  if (!read.reading.unaccounted.empty()) described.warning = unaccountedWarning(read.reading.unaccounted);
  ExtractionPlan plan;
  if (Status status = withMissingPartHint(
          set, progress, checkContents(archive, source, std::move(read.reading), journal, progress, plan));
      !status.ok()) {
    return status;
  }
  if (Status checked = read.recorded ? checkRecordedArchive(archive, plan, journal) : Status{}; !checked.ok()) {
    return failure(StatusKind::Failed, std::move(checked.message));
  }
  if (!fileSize(archive, archiveSize)) return failure(StatusKind::Failed, L"Unable to read archive file");

  const auto total = static_cast<uint32_t>(plan.units.size());
  const auto skipped = [&](uint32_t u) {
    const bool gone = journal.states.isSettled(u) || (journal.states.mayBeCutAway(u) && plan.endOf(u) > archiveSize);
    return progress && gone;
  };
  UnitChecks checks(source, plan, archive, plan.decodesInOrder ? 1 : std::thread::hardware_concurrency(), skipped);
  std::map<uint32_t, std::wstring> damage;
  uint64_t bytesTotal = 0, bytesDone = 0;
  for (const PlanUnit& unit : plan.units) bytesTotal += unit.rawSize;
  for (uint32_t u = 0; u < total; ++u) {
    Status checked = checks.take(u);
    if (checked.kind == StatusKind::DamagedBlock) damage.emplace(u, std::move(checked.message));
    if (!checked.ok() && checked.kind != StatusKind::DamagedBlock) return checked;
    bytesDone += plan.units[u].rawSize;
    if (onProgress) onProgress(ProgressInfo{u + 1, total, 0, bytesDone, bytesTotal});
  }
  const size_t damaged = damage.size();
  if (damaged == 0) {
    describePlan(plan, journal, described);
    return {};
  }
  std::wstring first = damage.begin()->second;
  if (damaged > 1) first += L" (and " + std::to_wstring(damaged - 1) + L" more damaged blocks)";
  return failure(StatusKind::Failed, first);
}

}  // namespace

Status verifyArchive(const std::wstring& path, const ProgressCallback& onProgress) {
  ArchiveDescription described;
  return verifyArchive(path, onProgress, described);
}

Status verifyArchive(const std::wstring& path, const ProgressCallback& onProgress, ArchiveDescription& described) {
  return withinMemory([&] { return checkEveryUnit(path, onProgress, described); });
}

}  // namespace ablative
