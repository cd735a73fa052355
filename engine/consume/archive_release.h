// How a consuming run gives an archive's space back, once the units it
// releases are durable in their destination: each run of adjacent ranges is
// zeroed (a hole punched), and the archive is cut while the units at its end
// are released. An archive its journal describes (a zip, a tar) is not zeroed
// where that cut takes the whole group. Where the file system keeps no holes (FAT, exFAT), cutting
// alone releases units: they are taken from the archive's end, so each group
// lies there when its turn comes.
//
// Where holes are punched, cuts are not flushed: a cut lost in a power loss
// only leaves the archive longer, and a resumed run makes it first. Where
// cuts alone release, each is flushed before it is recorded: FAT writes a
// file's new length and its freed clusters apart, and a flush of another file
// may carry one without the other.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "consume/journal.h"
#include "plan/extraction_plan.h"
#include "platform/env.h"
#include "status.h"

namespace ablative {

class ArchiveRelease {
 public:
  // `archiveEnd` is the archive's length now.
  ArchiveRelease(FileHandle& archive, const ExtractionPlan& plan, uint64_t archiveEnd);

  // Marks the archive sparse, or where it cannot be, releases by cuts alone.
  void start();
  bool cutsOnly() const { return cutsOnly_; }

  // Releases `group` (units the journal records as written). Cutting alone
  // stops at a unit kept above the group (damaged, while salvaging): the
  // group's units below it stay, and are dropped from `group`, which then
  // holds what was released. Messages:
  //   "FSCTL_SET_ZERO_DATA failed (error N)"
  //   "Failed to truncate archive during reverse extraction"
  Status release(std::vector<uint32_t>& group, const Journal& journal);

  // Cuts the archive while the unit ending at its end is Punched, passing
  // over units an earlier run cut away.
  Status cutTail(const Journal& journal);

 private:
  bool cutWillTake(const std::vector<uint32_t>& group, const Journal& journal);
  Status punch(std::vector<uint32_t>& group);
  template <typename Gone>
  Status cutWhile(const Gone& gone);

  FileHandle& archive_;
  const ExtractionPlan& plan_;
  uint64_t end_;
  size_t tailCursor_ = 0;  // in plan_.tailOrder: the units past it are cut away
  bool cutsOnly_ = false;
  std::vector<uint8_t> releasing_;  // per unit, while a group is weighed or cut
};

// The end of the group that starts at `first` in process order: the units
// after it whose bytes in the archive, with its own, add up to at most
// `bound`; at least one. A unit's bytes are its stored bytes, and where the
// plan is described by the journal also those the cut after it takes (a tar's
// headers, the end of the archive above the first unit). Units `journal`
// records as released count for nothing.
size_t groupEnd(const ExtractionPlan& plan, const Journal& journal, size_t first, uint64_t bound);

}  // namespace ablative
