#include "extraction_plan.h"

#include <algorithm>
#include <numeric>

namespace ablative {

void addUnit(ExtractionPlan& plan, PlanUnit unit, uint32_t file, uint64_t destOffset) {
  unit.firstPiece = static_cast<uint32_t>(plan.pieces.size());
  unit.pieceCount = 1;
  plan.pieces.push_back({.file = file, .rawOffset = 0, .length = unit.rawSize, .destOffset = destOffset});
  plan.units.push_back(unit);
}

void orderUnits(ExtractionPlan& plan) {
  const std::vector<PlanUnit>& units = plan.units;
  plan.processOrder.resize(units.size());
  std::iota(plan.processOrder.begin(), plan.processOrder.end(), 0u);
  plan.tailOrder = plan.processOrder;
  std::sort(plan.processOrder.begin(), plan.processOrder.end(),
            [&](uint32_t a, uint32_t b) { return units[a].offset > units[b].offset; });
  std::sort(plan.tailOrder.begin(), plan.tailOrder.end(),
            [&](uint32_t a, uint32_t b) { return plan.endOf(a) > plan.endOf(b); });
}

size_t groupEnd(const ExtractionPlan& plan, const Journal& journal, size_t first, uint64_t bound) {
  uint64_t stored = 0;
  size_t end = first;
  for (; end < plan.processOrder.size(); ++end) {
    const uint32_t u = plan.processOrder[end];
    const uint64_t size = isPunched(journal, u) ? 0 : plan.units[u].storedSize;
    if (end > first && stored + size > bound) break;
    stored += size;
  }
  return end;
}

}  // namespace ablative
