#include "consume/space.h"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "consume/archive_release.h"
#include "files/paths.h"

namespace ablative {

namespace {

// Here "units" are the file system's allocation units, and the plan's units,
// the pieces a run takes from the archive, are called blocks.

// No file system hands out less than this; a smaller figure is taken for it.
constexpr uint64_t kSmallestUnit = 512;

uint64_t unitsFor(uint64_t bytes, uint64_t unit) { return (bytes + unit - 1) / unit; }

// A file's own record places a few runs of its data; beyond those it needs
// units of index, entries of 12 bytes (ext4's extents; other maps are no
// larger), and levels above them. At worst every data unit is a run of its
// own, which is what is counted.
uint64_t indexUnits(uint64_t dataUnits, uint64_t unit) {
  constexpr uint64_t kRunsInRecord = 4, kIndexEntryBytes = 12;
  const uint64_t perUnit = (unit - kIndexEntryBytes) / kIndexEntryBytes;
  uint64_t total = 0;
  for (uint64_t entries = dataUnits; entries > kRunsInRecord;) {
    entries = unitsFor(entries, perUnit);
    total += entries;
  }
  return total;
}

// A folder entry as ext4 lays it out: 8 bytes and the name, to 4 bytes.
uint64_t entryBytes(size_t nameBytes) { return (8 + nameBytes + 3) / 4 * 4; }

// A folder takes one unit while its entries fit beside "." and ".." and the
// unit's checksum; past that, hashed units that a split may leave half empty,
// and a unit of index for every unit/8 of them.
uint64_t folderUnits(uint64_t entries, uint64_t unit) {
  constexpr uint64_t kChecksum = 12, kDots = 24, kIndexEntryBytes = 8;
  if (entries + kDots + kChecksum <= unit) return 1;
  const uint64_t leaves = unitsFor(2 * entries, unit - kChecksum);
  return 1 + leaves + unitsFor(leaves, unit / kIndexEntryBytes);
}

// The folders a run fills below the destination ("" is the destination
// itself), each with the bytes of the entries it gains.
std::unordered_map<std::string, uint64_t> folderEntries(const ExtractionPlan& plan) {
  std::unordered_map<std::string, uint64_t> folders{{"", 0}};
  for (uint32_t f = 0; f < plan.files.size(); ++f) {
    std::string path = plan.pathOf(f);
    for (;;) {  // the file's name goes into its folder, and each folder new so far into its own
      const size_t cut = path.rfind('/');
      const std::string parent = cut == std::string::npos ? std::string() : path.substr(0, cut);
      const auto [folder, isNew] = folders.try_emplace(parent, 0);
      folder->second += entryBytes(cut == std::string::npos ? path.size() : path.size() - cut - 1);
      if (!isNew) break;
      path = parent;
    }
  }
  return folders;
}

// The data units of the destination files as blocks land: per file, the span
// of units its blocks have reached. Blocks fill a file from its end, so the
// span is what the file holds; any other order only makes the count larger.
// Where new files keep no holes, a file's first block takes every unit
// before it too.
struct FileSpans {
  uint64_t unit = 0;
  bool holes = true;
  std::vector<uint64_t> first, end;  // per file, units [first, end); none yet while end is 0
};

// With no holes, the files an earlier run began hold their length already.
FileSpans startingSpans(const ExtractionPlan& plan, const Journal& journal, uint64_t unit, bool holes) {
  const size_t files = plan.files.size();
  FileSpans spans{unit, holes, std::vector<uint64_t>(files, 0), std::vector<uint64_t>(files, 0)};
  for (uint32_t b = 0; !holes && b < plan.units.size(); ++b) {
    if (journal.states.isPending(b)) continue;
    for (const PlanPiece& piece : plan.piecesOf(b)) {
      uint64_t& end = spans.end[piece.file];
      end = std::max(end, unitsFor(piece.destinationEnd(), unit));
    }
  }
  return spans;
}

// The units a piece adds to its file, index included.
uint64_t addPiece(FileSpans& spans, const PlanPiece& piece) {
  if (piece.length == 0) return 0;
  const uint32_t f = piece.file;
  const uint64_t first = spans.holes ? piece.destOffset / spans.unit : 0;
  const uint64_t end = unitsFor(piece.destinationEnd(), spans.unit);
  const uint64_t before = spans.end[f] - spans.first[f];
  spans.first[f] = spans.end[f] == 0 ? first : std::min(spans.first[f], first);
  spans.end[f] = std::max(spans.end[f], end);
  const uint64_t after = spans.end[f] - spans.first[f];
  return after - before + indexUnits(after, spans.unit) - indexUnits(before, spans.unit);
}

// The units block `b` adds to its files.
uint64_t addBlock(FileSpans& spans, const ExtractionPlan& plan, uint32_t b) {
  uint64_t units = 0;
  for (const PlanPiece& piece : plan.piecesOf(b)) units += addPiece(spans, piece);
  return units;
}

// Where files keep no holes, the run's last step lengthens every file its
// blocks left short, a sparse one above all: those units are taken too.
uint64_t fillUnits(FileSpans& spans, const ExtractionPlan& plan) {
  if (spans.holes) return 0;
  uint64_t units = 0;
  for (uint32_t f = 0; f < plan.files.size(); ++f) {
    if (plan.files[f].kind != EntryKind::File) continue;
    const uint64_t before = spans.end[f], after = unitsFor(plan.files[f].length, spans.unit);
    if (after <= before) continue;
    spans.end[f] = after;
    units += after - before + indexUnits(after, spans.unit) - indexUnits(before, spans.unit);
  }
  return units;
}

// What is left to write, in units: every block not yet released.
uint64_t treeUnits(const ExtractionPlan& plan, const Journal& journal, uint64_t unit, bool holes) {
  FileSpans spans = startingSpans(plan, journal, unit, holes);
  uint64_t units = 0;
  for (uint32_t b = 0; b < plan.units.size(); ++b) {
    if (!journal.states.isSettled(b)) units += addBlock(spans, plan, b);
  }
  return units + fillUnits(spans, plan);
}

// The archive as an ablative run cuts it: its length, and how far the walk
// down plan.tailOrder has come.
struct ArchiveCut {
  uint64_t end = 0;
  size_t cursor = 0;
};

// Cuts off the released blocks at the archive's end, as truncateTail does,
// and returns the units that gives back. The ranges of blocks an earlier run
// released are holes already: what they held is not counted again.
uint64_t cutReleased(ArchiveCut& cut, const ExtractionPlan& plan, const Journal& journal,
                     const std::vector<uint8_t>& released, uint64_t unit) {
  const uint64_t before = cut.end;
  uint64_t holes = 0;
  for (; cut.cursor < plan.tailOrder.size(); ++cut.cursor) {
    const uint32_t b = plan.tailOrder[cut.cursor];
    if (!released[b] || (plan.endOf(b) != cut.end && !plan.describedByJournal)) break;
    cut.end = plan.units[b].offset;
    if (journal.states.isSettled(b)) holes += unitsFor(plan.units[b].storedSize, unit);
  }
  const uint64_t freed = unitsFor(before, unit) - unitsFor(cut.end, unit);
  return freed > holes ? freed - holes : 0;
}

// The peak growth, in units, of an ablative run on the archive's own file
// system that first makes `madeFirst` units of folders and journal: each
// group lands in the tree before the archive is cut. Only the cut is counted
// as given back, not the holes released ahead of it, which in the run's
// order of blocks the cut reaches at once.
uint64_t ablativePeakUnits(const ExtractionPlan& plan, const Journal& journal, uint64_t groupBytes, uint64_t unit,
                           bool holes, uint64_t madeFirst) {
  const size_t blockCount = plan.units.size();
  std::vector<uint8_t> released(blockCount, 0);
  for (uint32_t b = 0; b < blockCount; ++b) released[b] = journal.states.isSettled(b) ? 1 : 0;
  FileSpans spans = startingSpans(plan, journal, unit, holes);
  ArchiveCut cut{plan.archiveSize, 0};
  cutReleased(cut, plan, journal, released, unit);  // a cut a stopped run did not reach, made first: counted as nothing
  uint64_t grown = madeFirst, givenBack = 0, peak = madeFirst;
  for (size_t first = 0; first < blockCount;) {
    const size_t end = groupEnd(plan, journal, first, groupBytes);
    for (size_t i = first; i < end; ++i) {
      const uint32_t b = plan.processOrder[i];
      if (released[b]) continue;
      grown += addBlock(spans, plan, b);
      released[b] = 1;
    }
    peak = std::max(peak, grown > givenBack ? grown - givenBack : 0);
    givenBack += cutReleased(cut, plan, journal, released, unit);
    first = end;
  }
  grown += fillUnits(spans, plan);
  return std::max(peak, grown > givenBack ? grown - givenBack : 0);
}

// The smallest group bound tried: below it, groups gain nothing but cuts.
constexpr uint64_t kSmallestGroupBytes = 64 << 10;

// The ablative peak, in units, and the group bound it is reached with: the
// largest of `groupBytes` halved any number of times that stays within a
// quarter of `freeBesideArchive` and whose peak fits in `free` units, else
// the smallest tried. The bounds tried and their peaks do not depend on the
// free space, so a run accepted with some free space is accepted with more.
uint64_t fittingPeakUnits(const ExtractionPlan& plan, const Journal& journal, uint64_t groupBytes, uint64_t unit,
                          bool holes, uint64_t madeFirst, uint64_t freeBesideArchive, uint64_t free,
                          uint64_t& chosenBytes) {
  uint64_t peak = 0;
  for (uint64_t bound = groupBytes;; bound /= 2) {
    const bool last = bound / 2 < kSmallestGroupBytes;
    if (bound > freeBesideArchive / 4 && !last) continue;
    peak = ablativePeakUnits(plan, journal, bound, unit, holes, madeFirst);
    chosenBytes = bound;
    if (peak <= free || last) return peak;
  }
}

}  // namespace

uint64_t effectiveGroupBytes(const std::wstring& archivePath, uint64_t groupBytes) {
  VolumeSpace space;
  return volumeSpace(parentFolder(archivePath), space) ? std::min(groupBytes, space.freeBytes / 4) : groupBytes;
}

bool estimateSpace(const ExtractionPlan& plan, const Journal& journal, const std::wstring& archivePath,
                   const std::wstring& destinationDir, uint64_t groupBytes, SpaceNeeds& needs) {
  uint64_t missingFolders = 0;
  const std::wstring destination = nearestFolder(destinationDir, missingFolders);
  VolumeSpace space, besideArchive;
  if (!volumeSpace(destination, space) || !volumeSpace(parentFolder(archivePath), besideArchive)) return false;
  const uint64_t unit = std::max(space.unitBytes, kSmallestUnit);
  const bool sameVolume = sameFileSystem(parentFolder(archivePath), destination);
  FileSystemTraits traits;
  const bool holes = fileSystemTraits(destination, traits) && traits.holesInNewFiles;
  // A run that made progress had made its folders, files and journal before.
  uint64_t madeFirst = 0, journalUnits = 0, entries = 0;
  needs.journal = 0;
  if (!journal.states.recordsProgress()) {
    const auto folders = folderEntries(plan);
    madeFirst = missingFolders;
    for (const auto& [path, bytes] : folders) madeFirst += folderUnits(bytes, unit);
    entries = plan.files.size() + folders.size() - 1 + missingFolders;
    if (sameVolume) {
      journalUnits = unitsFor(journalBytes(journal), unit);
      ++entries;
    } else {
      const uint64_t archiveUnit = std::max(besideArchive.unitBytes, kSmallestUnit);
      needs.journal = unitsFor(journalBytes(journal), archiveUnit) * archiveUnit;
    }
  }
  needs.freeAtDestination = space.freeBytes;
  needs.freeBesideArchive = besideArchive.freeBytes;
  needs.freeEntries = space.freeEntries;
  needs.newEntries = entries;
  needs.keep = (treeUnits(plan, journal, unit, holes) + madeFirst) * unit;
  needs.groupBytes = std::min(groupBytes, besideArchive.freeBytes / 4);
  needs.ablative = sameVolume ? fittingPeakUnits(plan, journal, groupBytes, unit, holes, madeFirst + journalUnits,
                                                 besideArchive.freeBytes, space.freeBytes / unit, needs.groupBytes) *
                                    unit
                              : needs.keep;
  return true;
}

Status checkFits(const SpaceNeeds& needs, uint64_t needed, const std::wstring& destinationDir) {
  if (needs.newEntries > needs.freeEntries) {
    return failure(StatusKind::Failed, L"Not enough free inodes at " + destinationDir + L": the extraction creates " +
                                           std::to_wstring(needs.newEntries) + L" files and folders, " +
                                           std::to_wstring(needs.freeEntries) + L" more fit");
  }
  if (needed <= needs.freeAtDestination) return {};
  return failure(StatusKind::Failed, L"Not enough free space at " + destinationDir + L": the extraction needs " +
                                         std::to_wstring(needed) + L" bytes, " +
                                         std::to_wstring(needs.freeAtDestination) + L" are free");
}

bool sameFileSystem(const std::wstring& a, const std::wstring& b) {
  FileIdentity first, second;
  return fileIdentity(a, first) && fileIdentity(b, second) && first.volume == second.volume;
}

}  // namespace ablative
