#include "plan/extraction_plan.h"

#include <algorithm>
#include <numeric>

#include "codecs/coding.h"
#include "codecs/crc32.h"

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

uint32_t planChecksum(const ExtractionPlan& plan) {
  uint32_t crc = crc32(reinterpret_cast<const uint8_t*>(plan.paths.data()), plan.paths.size());
  uint8_t fields[24];
  for (const PlanFile& file : plan.files) {
    putFields(fields, file.length, uint32_t{static_cast<uint8_t>(file.kind)});
    crc = crc32(crc, fields, 12);
  }
  for (const PlanUnit& unit : plan.units) {
    putFields(fields, unit.offset, unit.storedSize, unit.rawSize, unit.crc, unit.coding);
    crc = crc32(crc, fields, 24);
  }
  for (const PlanMark& mark : plan.marks) {
    putFields(fields, mark.offset, mark.length, mark.crc);
    crc = crc32(crc, fields, 16);
  }
  return crc;
}

}  // namespace ablative
