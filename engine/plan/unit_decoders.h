// Units decoded on worker threads while the caller reads and writes: the
// caller reads each unit's stored bytes on its own thread, with its one
// handle of the archive, and hands them over in the order in which it takes
// the results back. So decoding runs on every core while the order of
// effects stays the caller's.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plan/archive_source.h"
#include "plan/extraction_plan.h"

namespace ablative {

// Workers for a machine's processors: none where there is only one, the
// caller then decoding each unit as it takes it.
unsigned decodeWorkersFor(unsigned processors);

class UnitDecoders {
 public:
  // At most `workers` + 1 units of 64 KiB or more are handed over and not
  // yet taken, each holding its stored and its raw bytes, and with workers
  // up to 16 smaller ones besides, so that many small files keep the
  // workers busy while the caller writes.
  UnitDecoders(const ArchiveSource& source, const ExtractionPlan& plan, unsigned workers);
  ~UnitDecoders();  // lets the workers finish what they decode; the rest is dropped
  UnitDecoders(const UnitDecoders&) = delete;
  UnitDecoders& operator=(const UnitDecoders&) = delete;

  bool full() const { return count_ == slots_.size() || largeHeld_ == largeSlots_; }

  // Whether the caller had better decode unit `unit` itself as it takes it,
  // reading it only then, than hand it over: a small unit no worker would
  // take, or one whose decoding takes less time than waking a worker and
  // being woken (some 15 us).
  bool leftToCaller(uint32_t unit) const;

  // Hands over unit `unit`'s stored bytes, one not left to the caller: a
  // small unit's copied, a large one's swapped with a spare buffer.
  void hand(uint32_t unit, std::vector<uint8_t>& stored);

  // The oldest unit handed over, once decoded: its raw bytes copied or
  // swapped into `raw` as they were handed, and how its decoding ended.
  Status take(std::vector<uint8_t>& raw);

 private:
  enum class SlotState { Free, Waiting, Decoding, Done };
  struct Buffers {
    std::vector<uint8_t> stored, raw;
  };
  struct Slot : Buffers {
    uint32_t unit = 0;
    bool large = false;
    SlotState state = SlotState::Free;
    Status decoded;
  };

  bool isLarge(uint32_t unit) const;
  void work();
  void decode(Slot& slot);

  const ArchiveSource& source_;
  const ExtractionPlan& plan_;
  std::vector<Slot> slots_;  // a ring: the oldest at head_
  size_t head_ = 0, count_ = 0;
  // Large units' buffers pass between the caller, the slots holding large
  // units and `spare_`, which together hold no more than `largeSlots_`
  // pairs: no slot holding a small unit keeps one.
  const size_t largeSlots_;
  size_t largeHeld_ = 0;
  std::vector<Buffers> spare_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace ablative
