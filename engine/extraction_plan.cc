#include "extraction_plan.h"

#include <algorithm>
#include <numeric>

namespace ablative {

void mapBlocks(ExtractionPlan& plan) {
  const ArchiveTables& tables = plan.tables;
  const size_t blockCount = tables.blocks.size();
  plan.blockFile.assign(blockCount, 0);
  plan.blockDestOffset.assign(blockCount, 0);
  plan.fileLengths.assign(tables.files.size(), 0);
  for (uint32_t f = 0; f < tables.files.size(); ++f) {
    const FileRecord& record = tables.files[f];
    for (uint32_t j = 0; j < record.blockCount; ++j) {
      const uint32_t b = record.firstBlock + j;
      plan.blockFile[b] = f;
      plan.blockDestOffset[b] = plan.fileLengths[f];
      plan.fileLengths[f] += tables.blocks[b].rawSize;
    }
  }
  const std::vector<BlockRecord>& blocks = tables.blocks;
  plan.processOrder.resize(blockCount);
  std::iota(plan.processOrder.begin(), plan.processOrder.end(), 0u);
  plan.tailOrder = plan.processOrder;
  std::sort(plan.processOrder.begin(), plan.processOrder.end(),
            [&](uint32_t a, uint32_t b) { return blocks[a].offset > blocks[b].offset; });
  std::sort(plan.tailOrder.begin(), plan.tailOrder.end(),
            [&](uint32_t a, uint32_t b) { return plan.endOf(a) > plan.endOf(b); });
}

size_t groupEnd(const ExtractionPlan& plan, const Journal& journal, size_t first, uint64_t bound) {
  uint64_t stored = 0;
  size_t end = first;
  for (; end < plan.processOrder.size(); ++end) {
    const uint32_t b = plan.processOrder[end];
    const uint64_t size = isPunched(journal, b) ? 0 : plan.tables.blocks[b].storedSize;
    if (end > first && stored + size > bound) break;
    stored += size;
  }
  return end;
}

}  // namespace ablative
