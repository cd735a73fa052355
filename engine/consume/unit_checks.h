// Units read, decoded and checked on worker threads, each reading through a
// handle of its own, so that the reads' copies out of the system's cache run
// on every core as the decoding and the checksums do, and each unit's bytes
// are read, decoded and summed by one core while they are in its cache. The
// caller takes the outcomes in unit order.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "plan/archive_source.h"
#include "plan/extraction_plan.h"
#include "platform/env.h"
#include "status.h"

namespace ablative {

class UnitChecks {
 public:
  // Checks every unit of `plan` but those `skip` names on up to `workers`
  // threads (at least one), the first reading through `archive` and the
  // others through handles of their own. Units are claimed in order, so one
  // worker checks them in order.
  UnitChecks(const ArchiveSource& source, const ExtractionPlan& plan, FileHandle& archive, unsigned workers,
             std::function<bool(uint32_t unit)> skip);
  ~UnitChecks();  // stops the workers once the units they hold are done
  UnitChecks(const UnitChecks&) = delete;
  UnitChecks& operator=(const UnitChecks&) = delete;

  // How unit `unit`'s check ended, once it has: ok for one skipped. Units
  // are taken in order; after a failure other than DamagedBlock, which stops
  // the workers, none is taken.
  Status take(uint32_t unit);

 private:
  void work(FileHandle& archive);
  Status check(FileHandle& archive, uint32_t unit, std::vector<uint8_t>& stored, std::vector<uint8_t>& raw) const;

  const ArchiveSource& source_;
  const ExtractionPlan& plan_;
  FileHandle& archive_;  // the caller's, read by the first worker
  const std::function<bool(uint32_t)> skip_;
  std::vector<FileHandle> handles_;  // the workers' own, beside the caller's
  std::vector<Status> outcomes_;
  std::vector<bool> done_;
  uint32_t next_ = 0;  // the next unit a worker claims
  bool stopping_ = false;
  std::mutex mutex_;
  std::condition_variable finished_;
  std::vector<std::thread> workers_;
};

}  // namespace ablative
