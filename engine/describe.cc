// The facts `zarvik info` and `zarvik list` show about an archive.
#include "ablative.h"
#include <algorithm>

#include "archive_checks.h"
#include "archive_presence.h"
#include "extraction_plan.h"
#include "journal.h"
#include "paths.h"
#include "space.h"

namespace ablative {

namespace {

// Blocks are taken by descending offset: a block still held below the lowest
// released one was not reached yet, one above it was passed over.
uint32_t passedOver(const ArchiveTables& tables, const Journal& journal) {
  uint64_t lowestTaken = UINT64_MAX;
  for (uint32_t b = 0; b < tables.blocks.size(); ++b) {
    if (stateOf(journal, b) != BlockState::Pending) lowestTaken = std::min(lowestTaken, tables.blocks[b].offset);
  }
  uint32_t count = 0;
  for (uint32_t b = 0; b < tables.blocks.size(); ++b) {
    if (stateOf(journal, b) == BlockState::Pending && tables.blocks[b].offset > lowestTaken) ++count;
  }
  return count;
}

// Without a journal that records progress, what the archive itself shows.
bool countMissing(const std::wstring& archivePath, const ArchiveTables& tables, uint32_t& missing,
                  std::wstring& errorText) {
  FileHandle archive;
  std::vector<uint32_t> absent;
  if (!openFile(archivePath, OpenMode::ReadOnly, archive)) {
    errorText = L"Unable to open archive file";
    return false;
  }
  if (!checkArchiveAlone(archive, tables, absent, errorText)) return false;
  missing = static_cast<uint32_t>(absent.size());
  return true;
}

}  // namespace

bool describeArchive(const std::wstring& archivePath, const std::wstring& destinationDir, uint64_t groupBytes,
                     ArchiveDescription& description, std::wstring& errorText) {
  ArchiveTables tables;
  if (!readArchiveTables(archivePath, tables, errorText)) return false;
  Journal journal{journalPathFor(archivePath), std::vector<uint8_t>(tables.blocks.size(), 0), {}};
  const bool loaded = loadJournal(journal) == JournalLoad::Loaded;
  if (!loaded) std::fill(journal.states.begin(), journal.states.end(), 0);
  description = ArchiveDescription{};
  description.partlyExtracted = recordsProgress(journal);
  // Blocks an interrupted run released may have been cut off the archive's end.
  const auto released = [&](uint32_t b) { return isPunched(journal, b); };
  const auto cutAway = [&](uint32_t b) { return mayBeCutAway(journal, b); };
  if (description.partlyExtracted ? !checkArchiveContents(tables, cutAway, errorText)
                                  : !countMissing(archivePath, tables, description.blocksMissing, errorText)) {
    return false;
  }

  description.version = tables.header.version;
  description.fileCount = tables.header.fileCount;
  description.blockCount = tables.header.blockCount;
  description.blockSize = tables.header.blockSize;
  description.sourceBytes = tables.header.sourceBytes;
  for (uint32_t b = 0; b < tables.blocks.size(); ++b) {
    description.storedBytes += tables.blocks[b].storedSize;
    if (released(b)) ++description.blocksReleased;
  }
  description.blocksDamaged = passedOver(tables, journal);
  FileSystemTraits traits;
  description.releasesByCuts = fileSystemTraits(parentFolder(archivePath), traits) && !traits.releasesRanges;
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
