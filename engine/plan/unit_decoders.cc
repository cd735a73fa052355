#include "plan/unit_decoders.h"

#include <algorithm>
#include <system_error>

namespace ablative {

namespace {
// Below this a unit decodes in less time than handing it to a worker and
// waking the caller again takes: an archive of many tiny files would spend
// more in those hand-offs than in decoding.
constexpr uint32_t kDecodedHereBytes = 64 << 10;
}  // namespace

unsigned decodeWorkersFor(unsigned processors) { return processors > 1 ? processors : 0; }

UnitDecoders::UnitDecoders(const ArchiveSource& source, const ExtractionPlan& plan, unsigned workers)
    : source_(source), plan_(plan), slots_(workers + 1) {
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

void UnitDecoders::hand(uint32_t unit, std::vector<uint8_t>& stored) {
  const PlanUnit& planned = plan_.units[unit];
  const bool here = std::max(planned.rawSize, planned.storedSize) < kDecodedHereBytes;
  Slot* slot = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    slot = &slots_[(head_ + count_++) % slots_.size()];
    slot->unit = unit;
    slot->stored.swap(stored);
    slot->state = here ? SlotState::Decoding : SlotState::Waiting;
  }
  if (!here) {
    changed_.notify_all();
    return;
  }
  // No one waits for it but the caller, so no one is woken.
  slot->decoded = decodeOne(*slot);
  std::lock_guard<std::mutex> lock(mutex_);
  slot->state = SlotState::Done;
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
  raw.swap(slot.raw);
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
Status UnitDecoders::decodeOne(Slot& slot) const {
  return withinMemory([&] { return source_.decodeUnit(plan_, slot.unit, slot.stored, slot.raw); });
}

void UnitDecoders::decode(Slot& slot) {
  slot.decoded = decodeOne(slot);
  std::lock_guard<std::mutex> lock(mutex_);
  slot.state = SlotState::Done;
  changed_.notify_all();
}

}  // namespace ablative
