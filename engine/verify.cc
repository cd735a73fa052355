// Archive verification: the checks an extraction makes before it writes,
// then every unit still in the archive read, decoded and checksummed,
// writing nothing.
#include "ablative.h"
#include "archive_checks.h"
#include "archive_presence.h"
#include "journal.h"
#include "plan_record.h"

namespace ablative {

namespace {

// Units an interrupted or salvaging run released are gone by design, as its
// journal records; without a journal the archive must hold every unit.
bool checkContents(FileHandle& archive, const ArchiveSource& source, SourceReading reading, const Journal& journal,
                   bool progress, ExtractionPlan& plan, std::wstring& errorText) {
  if (progress)
    return planArchive(
        std::move(reading), [&](uint32_t u) { return isPunched(journal, u); }, plan, errorText);
  std::vector<uint32_t> absent;
  if (!checkArchiveAlone(archive, source, std::move(reading), plan, absent, errorText)) return false;
  if (absent.empty()) return true;
  errorText = journalMissingText(plan, absent);
  return false;
}

}  // namespace

bool verifyArchive(const std::wstring& archivePath, std::wstring& errorText, const ProgressCallback& onProgress) {
  ArchiveReading read;
  FileHandle archive;
  uint64_t archiveSize = 0;
  if (!readArchive(archivePath, read, errorText) ||
      !openArchiveForRun(archivePath, false, archive, L"Unable to open archive file", errorText)) {
    return false;
  }
  const ArchiveSource& source = *read.source;
  Journal journal{journalPathFor(archivePath), std::vector<uint8_t>(read.reading.unitCount, 0), {}, {}};
  const bool progress = loadJournal(journal) == JournalLoad::Loaded && recordsProgress(journal);
  ExtractionPlan plan;
  if (!checkContents(archive, source, std::move(read.reading), journal, progress, plan, errorText) ||
      (read.recorded && !checkRecordedArchive(archive, archivePath, plan, errorText))) {
    return false;
  }
  if (!fileSize(archive, archiveSize)) {
    errorText = L"Unable to read archive file";
    return false;
  }

  std::vector<uint8_t> stored, raw;
  std::wstring firstDamage;
  uint32_t damaged = 0;
  const auto total = static_cast<uint32_t>(plan.units.size());
  uint64_t bytesTotal = 0, bytesDone = 0;
  for (const PlanUnit& unit : plan.units) bytesTotal += unit.rawSize;
  for (uint32_t u = 0; u < total; ++u) {
    const bool gone = isPunched(journal, u) || (mayBeCutAway(journal, u) && plan.endOf(u) > archiveSize);
    if (!(progress && gone)) {
      const BlockRead read = readUnit(source, archive, plan, u, stored, raw, errorText);
      if (read == BlockRead::Unreadable) return false;
      if (read == BlockRead::Damaged && damaged++ == 0) firstDamage = errorText;
    }
    bytesDone += plan.units[u].rawSize;
    if (onProgress) onProgress(ProgressInfo{u + 1, total, 0, bytesDone, bytesTotal});
  }
  if (damaged == 0) return true;
  errorText = firstDamage;
  if (damaged > 1) errorText += L" (and " + std::to_wstring(damaged - 1) + L" more damaged blocks)";
  return false;
}

}  // namespace ablative
