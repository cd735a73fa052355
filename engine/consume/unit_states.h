// What the journal records of each unit of an archive, one state byte a unit,
// and what each state comes to: every reader of the states asks here.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace ablative {

enum class BlockState : uint8_t {
  Pending = 0,      // nothing about the block is known to be done
  DestWritten = 1,  // its decoded bytes are durable in the destination file
  Punched = 2,      // and its range in the archive has been zeroed (perhaps cut off since)
  Lost = 3,         // gone from the archive while its destination lacks it: a salvage gave it up, named
};

class UnitStates {
 public:
  UnitStates() = default;
  explicit UnitStates(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }
  // Values other than 1 to 3 act as Pending.
  BlockState of(uint32_t unit) const;
  bool isPending(uint32_t unit) const { return of(unit) == BlockState::Pending; }
  bool isPunched(uint32_t unit) const { return of(unit) == BlockState::Punched; }
  bool isLost(uint32_t unit) const { return of(unit) == BlockState::Lost; }
  // Punched or Lost: nothing more is to come of it.
  bool isSettled(uint32_t unit) const { return isPunched(unit) || isLost(unit); }
  // Whether the unit may be gone from the archive: Punched or Lost, or
  // DestWritten where a release by cutting the archive was cut short before
  // it was recorded.
  bool mayBeCutAway(uint32_t unit) const { return !isPending(unit); }
  // Whether any unit is other than Pending: the archive may be partly
  // consumed, so only a resumed run may go on with it.
  bool recordsProgress() const;
  // Whether every unit is settled: the run consumed its whole archive.
  bool everySettled() const;
  uint32_t count(BlockState state) const;

  void set(std::span<const uint32_t> units, BlockState state);
  void setAll(uint32_t unitCount, BlockState state) { bytes_.assign(unitCount, static_cast<uint8_t>(state)); }
  // As the journal's file holds them.
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace ablative
