#include "plan/unit_decoders.h"

#include <algorithm>
#include <system_error>

namespace ablative {

namespace {
// Units below this are copied in and out of their slots, which then never
// hold more; larger ones' buffers are swapped, as copying them would cost.
constexpr uint32_t kLargeUnitBytes = 64 << 10;
// A small unit is left to the caller where it is stored as it is, or decodes
// to less than this.
constexpr uint32_t kHandedFromBytes = 8 << 10;
// Small units handed over beyond the large ones, so that the workers run well
// ahead of a caller writing files of a few KiB.
constexpr size_t kSmallAhead = 16;
}  // namespace

unsigned decodeWorkersFor(unsigned processors) { return processors > 1 ? processors : 0; }

UnitDecoders::UnitDecoders(const ArchiveSource& source, const ExtractionPlan& plan, unsigned workers)
    : source_(source), plan_(plan), slots_(workers + 1 + (workers > 0 ? kSmallAhead : 0)), largeSlots_(workers + 1) {
  try {
    for (unsigned i = 0; i < workers; ++i) workers_.emplace_back([this] { work(); });
  } catch (const std::system_error&) {
    // Fewer workers, or none: the caller decodes what they do not.
  }
}

UnitDecoders::~UnitDecoders() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

bool UnitDecoders::isLarge(uint32_t unit) const {
  const PlanUnit& planned = plan_.units[unit];
  return std::max(planned.rawSize, planned.storedSize) >= kLargeUnitBytes;
}

bool UnitDecoders::leftToCaller(uint32_t unit) const {
  const PlanUnit& planned = plan_.units[unit];
  return !isLarge(unit) &&
         (workers_.empty() || planned.rawSize == planned.storedSize || planned.rawSize < kHandedFromBytes);
}

void UnitDecoders::hand(uint32_t unit, std::vector<uint8_t>& stored) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot& slot = slots_[(head_ + count_++) % slots_.size()];
    slot.unit = unit;
    slot.large = isLarge(unit);
    if (slot.large) {
      ++largeHeld_;
      if (!spare_.empty()) {
        static_cast<Buffers&>(slot) = std::move(spare_.back());
        spare_.pop_back();
      }
      slot.stored.swap(stored);
    } else {
      slot.stored.assign(stored.begin(), stored.end());
    }
    slot.state = SlotState::Waiting;
  }
  changed_.notify_all();
}

Status UnitDecoders::take(std::vector<uint8_t>& raw) {
  std::unique_lock<std::mutex> lock(mutex_);
  Slot& slot = slots_[head_];
  if (slot.state == SlotState::Waiting && workers_.empty()) {
    slot.state = SlotState::Decoding;
    lock.unlock();
    decode(slot);
    lock.lock();
  }
  changed_.wait(lock, [&] { return slot.state == SlotState::Done; });
  if (slot.large) {
    raw.swap(slot.raw);
    --largeHeld_;
    if (spare_.size() < largeSlots_) spare_.push_back(std::move(static_cast<Buffers&>(slot)));
    static_cast<Buffers&>(slot) = Buffers{};
  } else {
    raw.assign(slot.raw.begin(), slot.raw.end());
  }
  Status decoded = std::move(slot.decoded);
  slot.state = SlotState::Free;
  head_ = (head_ + 1) % slots_.size();
  --count_;
  return decoded;
}

// Takes the oldest unit waiting, so that the one the caller needs next is
// decoded first. Units left waiting at the end are dropped.
void UnitDecoders::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    Slot* next = nullptr;
    changed_.wait(lock, [&] {
      for (size_t i = 0; i < count_ && next == nullptr; ++i) {
        Slot& slot = slots_[(head_ + i) % slots_.size()];
        if (slot.state == SlotState::Waiting) next = &slot;
      }
      return next != nullptr || stopping_;
    });
    if (stopping_) return;
    next->state = SlotState::Decoding;
    lock.unlock();
    decode(*next);
    lock.lock();
  }
}

// On a worker, memory that runs out fails the unit, for the caller to stop at.
void UnitDecoders::decode(Slot& slot) {
  slot.decoded = withinMemory([&] { return source_.decodeUnit(plan_, slot.unit, slot.stored, slot.raw); });
  std::lock_guard<std::mutex> lock(mutex_);
  slot.state = SlotState::Done;
  changed_.notify_all();
}

}  // namespace ablative
