// Archive verification: the checks an extraction makes before it writes,
// then every unit still in the archive read, decoded and checksummed,
// writing nothing.
#include <deque>
#include <map>
#include <thread>

#include "ablative.h"
#include "consume/archive_checks.h"
#include "consume/archive_presence.h"
#include "consume/journal.h"
#include "consume/plan_record.h"
#include "failure.h"
#include "plan/unit_decoders.h"

namespace ablative {

namespace {

// Units an interrupted or salvaging run released are gone by design, as its
// journal records; without a journal the archive must hold every unit.
bool checkContents(FileHandle& archive, const ArchiveSource& source, SourceReading reading, const Journal& journal,
                   bool progress, ExtractionPlan& plan, std::wstring& errorText) {
  std::vector<uint32_t> absent;
  if (progress) {
    if (!checkArchiveAgainstJournal(archive, source, std::move(reading), journal, plan, absent, errorText))
      return false;
    if (absent.empty()) return true;
    errorText = journalContradictedText(plan, absent);
    return false;
  }
  if (!checkArchiveAlone(archive, source, std::move(reading), plan, absent, errorText)) return false;
  if (!journalIsMissing(plan, absent)) return true;
  errorText = journalMissingText(plan, absent);
  return false;
}

}  // namespace

bool verifyArchive(const std::wstring& archivePath, std::wstring& errorText, const ProgressCallback& onProgress) {
  ArchiveReading read;
  FileHandle archive;
  std::wstring refusal;
  uint64_t archiveSize = 0;
  // Held shared from before anything reads it; its journal is read once.
  if (Status held = holdArchiveForRun(archivePath, false, archive, L"Unable to open archive file", refusal); !held.ok()) {
    return fail(errorText, std::move(held.message));
  }
  Journal journal{journalPathFor(archivePath)};
  const JournalLoad load = loadJournalAsWritten(journal);
  if (!readArchive(archivePath, archive, journal, load, read, errorText)) return false;
  if (!refusal.empty()) {
    errorText = refusal;
    return false;
  }
  const ArchiveSource& source = *read.source;
  const bool progress =
      fitJournal(journal, load, read.reading.unitCount) == JournalLoad::Loaded && journal.states.recordsProgress();
  ExtractionPlan plan;
  if (!checkContents(archive, source, std::move(read.reading), journal, progress, plan, errorText)) return false;
  if (Status checked = read.recorded ? checkRecordedArchive(archive, plan, journal) : Status{}; !checked.ok()) {
    return fail(errorText, std::move(checked.message));
  }
  if (!fileSize(archive, archiveSize)) {
    errorText = L"Unable to read archive file";
    return false;
  }

  // Units are read here and decoded on every core, their damage named in unit order.
  UnitDecoders decoders(source, plan, decodeWorkersFor(std::thread::hardware_concurrency()));
  std::deque<uint32_t> handed;
  std::map<uint32_t, std::wstring> damage;
  std::vector<uint8_t> stored, raw;
  const auto takeOldest = [&] {
    std::wstring why;
    if (decoders.take(raw, why) != BlockRead::Verified) damage.emplace(handed.front(), why);
    handed.pop_front();
  };
  const auto total = static_cast<uint32_t>(plan.units.size());
  uint64_t bytesTotal = 0, bytesDone = 0;
  for (const PlanUnit& unit : plan.units) bytesTotal += unit.rawSize;
  for (uint32_t u = 0; u < total; ++u) {
    const bool gone = journal.states.isSettled(u) || (journal.states.mayBeCutAway(u) && plan.endOf(u) > archiveSize);
    if (!(progress && gone)) {
      const BlockRead read = source.readStored(archive, plan, u, stored, errorText);
      if (read == BlockRead::Unreadable) return false;
      if (read == BlockRead::Damaged) damage.emplace(u, errorText);
      if (read == BlockRead::Verified) {
        if (decoders.full()) takeOldest();
        decoders.hand(u, stored);
        handed.push_back(u);
      }
    }
    bytesDone += plan.units[u].rawSize;
    if (onProgress) onProgress(ProgressInfo{u + 1, total, 0, bytesDone, bytesTotal});
  }
  while (!handed.empty()) takeOldest();
  const size_t damaged = damage.size();
  if (damaged == 0) return true;
  errorText = damage.begin()->second;
  if (damaged > 1) errorText += L" (and " + std::to_wstring(damaged - 1) + L" more damaged blocks)";
  return false;
}

}  // namespace ablative
