// What an extraction knows of an archive once its tables are checked: where
// every block goes, and the orders in which blocks are taken and the archive
// is cut.
#pragma once

#include <cstdint>
#include <vector>

#include "format.h"
#include "journal.h"

namespace ablative {

struct ExtractionPlan {
  ArchiveTables tables;
  std::vector<uint64_t> fileLengths;      // per file: the sum of its blocks' raw sizes
  std::vector<uint32_t> blockFile;        // per block: the file it belongs to
  std::vector<uint64_t> blockDestOffset;  // per block: where it goes in that file
  std::vector<uint32_t> processOrder;     // blocks by archive offset, highest first
  std::vector<uint32_t> tailOrder;        // blocks by end offset, highest first

  uint64_t endOf(uint32_t block) const { return tables.blocks[block].offset + tables.blocks[block].storedSize; }
  uint64_t destinationEndOf(uint32_t block) const { return blockDestOffset[block] + tables.blocks[block].rawSize; }
};

// Maps the blocks of tables that checkArchiveContents accepted.
void mapBlocks(ExtractionPlan& plan);

// The end of the group that starts at `first` in process order: the blocks
// after it whose stored bytes, with its own, add up to at most `bound`; at
// least one. Blocks `journal` records as released count for nothing.
size_t groupEnd(const ExtractionPlan& plan, const Journal& journal, size_t first, uint64_t bound);

}  // namespace ablative
