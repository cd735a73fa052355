// The facts `zarvik info` and `zarvik list` show about an archive.
#include "ablative.h"
#include "archive_checks.h"
#include "extraction_plan.h"
#include "journal.h"
#include "space.h"

namespace ablative {

bool describeArchive(const std::wstring& archivePath, const std::wstring& destinationDir, uint64_t groupBytes,
                     ArchiveDescription& description, std::wstring& errorText) {
  ArchiveTables tables;
  if (!readArchiveTables(archivePath, tables, errorText)) return false;
  Journal journal{journalPathFor(archivePath), std::vector<uint8_t>(tables.blocks.size(), 0), {}};
  const bool loaded = loadJournal(journal) == JournalLoad::Loaded;
  if (!loaded) std::fill(journal.states.begin(), journal.states.end(), 0);
  // Blocks an interrupted run released may have been cut off the archive's end.
  const auto released = [&](uint32_t b) { return isPunched(journal, b); };
  if (!checkArchiveContents(tables, released, errorText)) return false;

  description = ArchiveDescription{};
  description.version = tables.header.version;
  description.fileCount = tables.header.fileCount;
  description.blockCount = tables.header.blockCount;
  description.blockSize = tables.header.blockSize;
  description.sourceBytes = tables.header.sourceBytes;
  for (uint32_t b = 0; b < tables.blocks.size(); ++b) {
    description.storedBytes += tables.blocks[b].storedSize;
    if (released(b)) ++description.blocksReleased;
  }
  description.partlyExtracted = recordsProgress(journal);
  if (destinationDir.empty()) return true;
  ExtractionPlan plan;
  plan.tables = std::move(tables);
  mapBlocks(plan);
  if (!estimateSpace(plan, journal, archivePath, destinationDir, groupBytes, description.space)) {
    errorText = L"Unable to read the free space at " + destinationDir;
    return false;
  }
  description.withDestination = true;
  return true;
}

bool listArchive(const std::wstring& archivePath,
                 const std::function<void(const std::string& storedPath, uint64_t size)>& onFile,
                 std::wstring& errorText) {
  ArchiveTables tables;
  if (!readArchiveTables(archivePath, tables, errorText)) return false;
  for (size_t i = 0; i < tables.files.size(); ++i) {
    if (!checkFileRecord(tables, i, errorText)) return false;
    onFile(storedPath(tables, i), tables.files[i].size);
  }
  return true;
}

}  // namespace ablative
