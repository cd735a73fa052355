#include "space.h"

#include <algorithm>

#include "paths.h"

namespace ablative {

namespace {

bool sameFileSystem(const std::wstring& a, const std::wstring& b) {
  FileIdentity first, second;
  return fileIdentity(a, first) && fileIdentity(b, second) && first.volume == second.volume;
}

}  // namespace

uint64_t effectiveGroupBytes(const std::wstring& archivePath, uint64_t groupBytes) {
  uint64_t free = 0;
  return freeSpace(parentFolder(archivePath), free) ? std::min(groupBytes, free / 4) : groupBytes;
}

bool estimateSpace(const ArchiveTables& tables, const Journal& journal, const std::wstring& archivePath,
                   const std::wstring& destinationDir, uint64_t groupBytes, SpaceNeeds& needs) {
  const std::wstring destination = nearestFolder(destinationDir);
  if (!freeSpace(destination, needs.freeAtDestination)) return false;
  uint64_t raw = 0, rawLeft = 0, storedLeft = 0, largestLeft = 0;
  for (uint32_t b = 0; b < tables.blocks.size(); ++b) {
    const BlockRecord& block = tables.blocks[b];
    raw += block.rawSize;
    if (b < journal.states.size() && isPunched(journal, b)) continue;
    rawLeft += block.rawSize;
    storedLeft += block.storedSize;
    largestLeft = std::max<uint64_t>(largestLeft, block.storedSize);
  }
  needs.keep = raw;
  needs.ablative = rawLeft;
  if (sameFileSystem(parentFolder(archivePath), destination)) {
    // The archive shrinks by what it held as the tree grows by it; at its
    // peak the disk also holds one group twice: written, not yet released.
    const uint64_t group = std::max(largestLeft, std::min(effectiveGroupBytes(archivePath, groupBytes), storedLeft));
    needs.ablative = (rawLeft > storedLeft ? rawLeft - storedLeft : 0) + group;
  }
  return true;
}

}  // namespace ablative
