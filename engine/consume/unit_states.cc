#include "consume/unit_states.h"

#include <algorithm>

namespace ablative {

BlockState UnitStates::of(uint32_t unit) const {
  const uint8_t value = bytes_[unit];
  return value >= static_cast<uint8_t>(BlockState::DestWritten) && value <= static_cast<uint8_t>(BlockState::Lost)
             ? static_cast<BlockState>(value)
             : BlockState::Pending;
}

bool UnitStates::recordsProgress() const {
  for (uint32_t u = 0; u < size(); ++u) {
    if (!isPending(u)) return true;
  }
  return false;
}

bool UnitStates::everySettled() const {
  for (uint32_t u = 0; u < size(); ++u) {
    if (!isSettled(u)) return false;
  }
  return true;
}

uint32_t UnitStates::count(BlockState state) const {
  uint32_t counted = 0;
  for (uint32_t u = 0; u < size(); ++u) counted += of(u) == state ? 1 : 0;
  return counted;
}

void UnitStates::set(std::span<const uint32_t> units, BlockState state) {
  for (const uint32_t u : units) bytes_[u] = static_cast<uint8_t>(state);
}

}  // namespace ablative
