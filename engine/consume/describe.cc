// The facts `zarvik info` and `zarvik list` show about an archive.
#include "ablative.h"
#include <algorithm>

#include "consume/archive_checks.h"
#include "consume/archive_presence.h"
#include "consume/describe.h"
#include "consume/journal.h"
#include "consume/plan_record.h"
#include "consume/space.h"
#include "containers/zvka_format.h"
#include "files/paths.h"
#include "plan/archive_source.h"

namespace ablative {

namespace {

// Units are taken by descending offset: a unit still held below the lowest
// released one was not reached yet, one above it was passed over.
uint32_t passedOver(const ExtractionPlan& plan, const Journal& journal) {
  uint64_t lowestTaken = UINT64_MAX;
  for (uint32_t u = 0; u < plan.units.size(); ++u) {
    if (!journal.states.isPending(u)) lowestTaken = std::min(lowestTaken, plan.units[u].offset);
  }
  uint32_t count = 0;
  for (uint32_t u = 0; u < plan.units.size(); ++u) {
    if (journal.states.isPending(u) && plan.units[u].offset > lowestTaken) ++count;
  }
  return count;
}

// Units an interrupted run released may have been cut off the archive's
// end, as its journal records; a journal that records others gone is not to
// be trusted. Without a journal that records progress, what the archive
// itself shows counts as missing.
Status checkContents(FileHandle& archive, const ArchiveSource& source, SourceReading reading, const Journal& journal,
                     bool progress, ExtractionPlan& plan, bool& journalMissing, uint32_t& missing) {
  std::vector<uint32_t> absent;
  if (!archive.isOpen()) return failure(StatusKind::Failed, L"Unable to open archive file");
  if (!progress) {
    if (Status status = checkArchiveAlone(archive, source, std::move(reading), plan, absent); !status.ok())
      return status;
    journalMissing = journalIsMissing(plan, absent);
    missing = static_cast<uint32_t>(absent.size());
    return {};
  }
  if (Status status = checkArchiveAgainstJournal(archive, source, std::move(reading), journal, plan, absent);
      !status.ok())
    return status;
  return absent.empty() ? Status{} : failure(StatusKind::Failed, journalContradictedText(plan, absent));
}

// The codecs a .zvka archive's blocks use, by name.
std::wstring codecNames(const ExtractionPlan& plan) {
  bool used[3] = {};
  for (const PlanUnit& unit : plan.units) {
    if (unit.coding < 3) used[unit.coding] = true;
  }
  std::wstring names;
  const wchar_t* const kNames[] = {L"run-length", L"stored", L"Zstandard"};
  for (int c = 0; c < 3; ++c) {
    if (used[c]) names += (names.empty() ? L"" : L", ") + std::wstring(kNames[c]);
  }
  return names;
}

// The archive open once, to be read (where it cannot be, its source says so),
// and its journal as its file holds it, read once.
struct Described {
  VolumeSet set;
  FileHandle archive;
  Journal journal;
  JournalLoad load = JournalLoad::Missing;
  ArchiveReading read;
};

Status readDescribed(const std::wstring& archivePath, Described& described) {
  VolumeSet& set = described.set;
  if (Status found = findVolumeSet(archivePath, set); !found.ok()) return found;
  openVolumeSet(set, OpenMode::ReadOnly, described.archive);
  described.journal.path = journalPathFor(archivePath);
  described.load = loadJournalAsWritten(described.journal);
  return withMissingPartHint(
      set, described.load == JournalLoad::Loaded && described.journal.states.recordsProgress(),
      readArchive(archivePath, described.archive, described.journal, described.load, {}, described.read));
}

Status describeOne(const std::wstring& path, const std::wstring& destinationDir, uint64_t groupBytes,
                   ArchiveDescription& description) {
  const std::wstring archivePath = firstVolumeOf(path);
  Described described;
  if (Status status = readDescribed(archivePath, described); !status.ok()) return status;
  const ArchiveSource& source = *described.read.source;
  SourceReading& reading = described.read.reading;
  Journal& journal = described.journal;
  fitJournal(journal, described.load, reading.unitCount);
  description = ArchiveDescription{};
  description.partlyExtracted = journal.states.recordsProgress();
  const SourceFacts facts = reading.facts;
  description.format = reading.facts.format;
  description.version = reading.facts.version;
  description.blockSize = reading.facts.blockSize;
  description.sourceBytes = reading.facts.sourceBytes;
  if (!reading.unaccounted.empty()) description.warning = unaccountedWarning(reading.unaccounted);
  description.keepOnly = reading.keepOnly;
  ExtractionPlan plan;
  if (Status checked = withMissingPartHint(
          described.set, description.partlyExtracted, checkContents(described.archive, source, std::move(reading), journal,
                                       description.partlyExtracted, plan, description.journalMissing,
                                       description.blocksMissing));
      !checked.ok()) {
    return checked;
  }

  // Before version 4 the codec goes without saying.
  if (description.format == L"zvka" && description.version >= kArchiveVersion4) description.codecs = codecNames(plan);
  describePlan(plan, journal, description);
  FileSystemTraits traits;
  description.releasesByCuts = fileSystemTraits(parentFolder(archivePath), traits) && !traits.releasesRanges;
  if (destinationDir.empty()) return {};
  if (source.saveUnits && !description.partlyExtracted) {
    recordPlan(source, facts, plan, journal);  // what a run's journal will take
  }
  if (!estimateSpace(plan, journal, archivePath, destinationDir, groupBytes, description.space)) {
    return failure(StatusKind::Failed, L"Unable to read the free space at " + destinationDir);
  }
  description.withDestination = true;
  return {};
}

// An archive its journal describes is listed from its plan.
Status listEntries(const std::wstring& archivePath, const FileLister& onFile, const LogCallback& onWarning) {
  Described described;
  if (Status status = readDescribed(firstVolumeOf(archivePath), described); !status.ok()) return status;
  ArchiveReading& read = described.read;
  if (!read.recorded) {
    // Checked whole; the source lists it again with less held in memory.
    const ArchiveSource& source = *read.source;
    const std::wstring unaccounted = std::move(read.reading.unaccounted);
    read = {};
    if (Status status = source.list(described.archive, onFile); !status.ok()) return status;
    if (!unaccounted.empty() && onWarning) onWarning(unaccountedWarning(unaccounted));
    return {};
  }
  ExtractionPlan plan;
  if (Status status = read.reading.plan([](uint32_t) { return true; }, plan); !status.ok()) return status;
  for (uint32_t f = 0; f < plan.files.size(); ++f) {
    const PlanFile& file = plan.files[f];
    onFile(
        {plan.pathOf(f), file.kind == EntryKind::Link ? file.targetLength : file.length, file.kind, plan.targetOf(f)});
  }
  return {};
}

}  // namespace

void describePlan(const ExtractionPlan& plan, const Journal& journal, ArchiveDescription& description) {
  description.fileCount = static_cast<uint32_t>(plan.files.size());
  description.blockCount = static_cast<uint32_t>(plan.units.size());
  for (uint32_t u = 0; u < plan.units.size(); ++u) {
    description.storedBytes += plan.units[u].storedSize;
    if (journal.states.isPunched(u)) ++description.blocksReleased;
    if (journal.states.isLost(u)) ++description.blocksLost;
  }
  description.blocksDamaged = passedOver(plan, journal);
}

Status describeArchive(const std::wstring& path, const std::wstring& destinationDir, uint64_t groupBytes,
                       ArchiveDescription& description) {
  return withinMemory([&] { return describeOne(path, destinationDir, groupBytes, description); });
}

Status listArchive(const std::wstring& archivePath, const FileLister& onFile, const LogCallback& onWarning) {
  return withinMemory([&] { return listEntries(archivePath, onFile, onWarning); });
}

}  // namespace ablative
