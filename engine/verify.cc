// Archive verification: the checks an extraction makes before it writes,
// then every block still in the archive read, decoded and checksummed,
// writing nothing.
#include "ablative.h"
#include "archive_checks.h"
#include "archive_presence.h"
#include "journal.h"

namespace ablative {

namespace {

// Blocks an interrupted or salvaging run released are gone by design, as its
// journal records; without a journal the archive must hold every block.
bool checkContents(FileHandle& archive, const ArchiveTables& tables, const Journal& journal, bool progress,
                   std::wstring& errorText) {
  if (progress)
    return checkArchiveContents(
        tables, [&](uint32_t b) { return isPunched(journal, b); }, errorText);
  std::vector<uint32_t> absent;
  if (!checkArchiveAlone(archive, tables, absent, errorText)) return false;
  if (absent.empty()) return true;
  errorText = journalMissingText(tables, absent);
  return false;
}

}  // namespace

bool verifyArchive(const std::wstring& archivePath, std::wstring& errorText, const ProgressCallback& onProgress) {
  ArchiveTables tables;
  FileHandle archive;
  if (!readArchiveTables(archivePath, tables, errorText) ||
      !openArchiveForRun(archivePath, false, archive, L"Unable to open archive file", errorText)) {
    return false;
  }
  Journal journal{journalPathFor(archivePath), std::vector<uint8_t>(tables.blocks.size(), 0), {}};
  const bool progress = loadJournal(journal) == JournalLoad::Loaded && recordsProgress(journal);
  if (!checkContents(archive, tables, journal, progress, errorText)) return false;

  std::vector<uint8_t> stored, raw;
  std::wstring firstDamage;
  uint32_t damaged = 0;
  const auto total = static_cast<uint32_t>(tables.blocks.size());
  uint64_t bytesTotal = 0, bytesDone = 0;
  for (const BlockRecord& block : tables.blocks) bytesTotal += block.rawSize;
  for (uint32_t b = 0; b < total; ++b) {
    const BlockRecord& block = tables.blocks[b];
    const bool gone =
        isPunched(journal, b) || (mayBeCutAway(journal, b) && block.offset + block.storedSize > tables.archiveSize);
    if (!(progress && gone)) {
      const BlockRead read = readVerifiedBlock(archive, tables, b, stored, raw, errorText);
      if (read == BlockRead::Unreadable) return false;
      if (read == BlockRead::Damaged && damaged++ == 0) firstDamage = errorText;
    }
    bytesDone += tables.blocks[b].rawSize;
    if (onProgress) onProgress(ProgressInfo{b + 1, total, 0, bytesDone, bytesTotal});
  }
  if (damaged == 0) return true;
  errorText = firstDamage;
  if (damaged > 1) errorText += L" (and " + std::to_wstring(damaged - 1) + L" more damaged blocks)";
  return false;
}

}  // namespace ablative
