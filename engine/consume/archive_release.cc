#include "consume/archive_release.h"

#include <algorithm>

#include "files/block_io.h"

namespace ablative {

namespace {

// What releasing the unit at `position` of the process order gives back: its
// stored bytes, or where a cut takes the bytes above it with it, everything up
// to the unit above (or the archive's end).
uint64_t releasedBytes(const ExtractionPlan& plan, size_t position) {
  const PlanUnit& unit = plan.units[plan.processOrder[position]];
  if (!plan.describedByJournal) return unit.storedSize;
  const uint64_t above = position == 0 ? plan.archiveSize : plan.units[plan.processOrder[position - 1]].offset;
  return std::max<uint64_t>(unit.storedSize, above > unit.offset ? above - unit.offset : 0);
}

}  // namespace

size_t groupEnd(const ExtractionPlan& plan, const Journal& journal, size_t first, uint64_t bound) {
  uint64_t held = 0;
  size_t end = first;
  for (; end < plan.processOrder.size(); ++end) {
    const uint64_t size = journal.states.isSettled(plan.processOrder[end]) ? 0 : releasedBytes(plan, end);
    if (end > first && held + size > bound) break;
    held += size;
  }
  return end;
}

ArchiveRelease::ArchiveRelease(FileHandle& archive, const ExtractionPlan& plan, uint64_t archiveEnd)
    : archive_(archive), plan_(plan), end_(archiveEnd) {}

void ArchiveRelease::start() {
  cutsOnly_ = !markSparse(archive_);
  releasing_.assign(plan_.units.size(), 0);
}

Status ArchiveRelease::release(std::vector<uint32_t>& group, const Journal& journal) {
  if (!cutsOnly_) return cutWillTake(group, journal) ? Status{} : punch(group);
  for (uint32_t b : group) releasing_[b] = 1;
  Status cut = cutWhile([&](uint32_t b) { return releasing_[b] || journal.states.isSettled(b); });
  for (uint32_t b : group) releasing_[b] = 0;
  std::erase_if(group, [this](uint32_t b) { return plan_.units[b].offset < end_; });
  return cut;
}

Status ArchiveRelease::cutTail(const Journal& journal) {
  return cutWhile([&](uint32_t b) { return journal.states.isSettled(b); });
}

// An archive its journal describes is cut wherever its units end, the bytes
// between them (a tar's headers, a zip's) going with them: where the group
// and the released units above it reach the archive's end, the cut after the
// group is recorded takes all of it, and zeroing it first would only cost a
// call per unit, since a tar's members lie apart.
bool ArchiveRelease::cutWillTake(const std::vector<uint32_t>& group, const Journal& journal) {
  if (!plan_.describedByJournal) return false;
  for (uint32_t b : group) releasing_[b] = 1;
  uint64_t reach = end_;
  for (size_t k = tailCursor_; k < plan_.tailOrder.size(); ++k) {
    const uint32_t b = plan_.tailOrder[k];
    if (plan_.units[b].offset >= end_) continue;  // an earlier run cut it away
    if (!releasing_[b] && !journal.states.isSettled(b)) break;
    reach = std::min(reach, plan_.units[b].offset);
  }
  for (uint32_t b : group) releasing_[b] = 0;
  return std::all_of(group.begin(), group.end(), [&](uint32_t b) { return plan_.units[b].offset >= reach; });
}

// Each run of adjacent ranges is zeroed with one call.
Status ArchiveRelease::punch(std::vector<uint32_t>& group) {
  const std::vector<PlanUnit>& units = plan_.units;
  std::sort(group.begin(), group.end(), [&](uint32_t a, uint32_t b) { return units[a].offset < units[b].offset; });
  for (size_t i = 0; i < group.size();) {
    const uint64_t first = units[group[i]].offset;
    uint64_t end = plan_.endOf(group[i]);
    for (++i; i < group.size() && units[group[i]].offset == end; ++i) end = plan_.endOf(group[i]);
    if (!zeroRange(archive_, first, end))
      return failure(StatusKind::Failed, lastErrorText(L"FSCTL_SET_ZERO_DATA failed"));
  }
  return {};
}

// One cut covers every unit at the end that is `gone`.
template <typename Gone>
Status ArchiveRelease::cutWhile(const Gone& gone) {
  const uint64_t end = end_;
  for (; tailCursor_ < plan_.tailOrder.size(); ++tailCursor_) {
    const uint32_t b = plan_.tailOrder[tailCursor_];
    if (plan_.units[b].offset >= end_) continue;  // an earlier run cut it away
    if (!gone(b) || (plan_.endOf(b) != end_ && !plan_.describedByJournal)) break;
    end_ = plan_.units[b].offset;
  }
  if (end_ != end && !(cutFileAt(archive_, end_) && (!cutsOnly_ || flushFile(archive_)))) {
    return failure(StatusKind::Failed, L"Failed to truncate archive during reverse extraction");
  }
  return {};
}

}  // namespace ablative
