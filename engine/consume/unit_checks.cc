#include "consume/unit_checks.h"

#include <system_error>

namespace ablative {

UnitChecks::UnitChecks(const ArchiveSource& source, const ExtractionPlan& plan, FileHandle& archive,
                       unsigned workers, std::function<bool(uint32_t)> skip)
    : source_(source), plan_(plan), archive_(archive), skip_(std::move(skip)), outcomes_(plan.units.size()),
      done_(plan.units.size(), false) {
  // Opened before any thread starts: the vector does not move under them.
  handles_.resize(workers > 1 ? workers - 1 : 0);
  size_t opened = 0;
  while (opened < handles_.size() && openAgain(archive, handles_[opened])) ++opened;
  handles_.resize(opened);
  try {
    workers_.emplace_back([this] { work(archive_); });
    for (FileHandle& handle : handles_) workers_.emplace_back([this, &handle] { work(handle); });
  } catch (const std::system_error&) {
    // Fewer workers; with none, take() checks each unit itself.
  }
}

UnitChecks::~UnitChecks() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  for (std::thread& worker : workers_) worker.join();
}

Status UnitChecks::take(uint32_t unit) {
  if (workers_.empty()) {
    std::vector<uint8_t> stored, raw;
    return check(archive_, unit, stored, raw);
  }
  std::unique_lock lock(mutex_);
  finished_.wait(lock, [&] { return done_[unit]; });
  return std::move(outcomes_[unit]);
}

// Claims units in order until none is left or a failure stops the run. The
// buffers stay with the worker, so a unit's pages are not faulted in afresh.
void UnitChecks::work(FileHandle& archive) {
  std::vector<uint8_t> stored, raw;
  std::unique_lock lock(mutex_);
  while (!stopping_ && next_ < outcomes_.size()) {
    const uint32_t unit = next_++;
    lock.unlock();
    Status outcome = check(archive, unit, stored, raw);
    lock.lock();
    // The caller stops at such a failure, taking no later unit.
    if (!outcome.ok() && outcome.kind != StatusKind::DamagedBlock) stopping_ = true;
    outcomes_[unit] = std::move(outcome);
    done_[unit] = true;
    finished_.notify_all();
  }
}

Status UnitChecks::check(FileHandle& archive, uint32_t unit, std::vector<uint8_t>& stored,
                         std::vector<uint8_t>& raw) const {
  if (skip_(unit)) return {};
  // On a worker, memory that runs out fails the unit, for the caller to stop at.
  return withinMemory([&] {
    Status read = source_.readStored(archive, plan_, unit, stored);
    return read.ok() ? source_.decodeUnit(plan_, unit, stored, raw) : read;
  });
}

}  // namespace ablative
