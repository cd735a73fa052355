#include "resume_check.h"

#include <algorithm>

#include "block_io.h"
#include "crc32.h"

namespace ablative {

bool destinationHolds(FileHandle& destination, const ExtractionPlan& plan, uint32_t unit,
                      std::vector<uint8_t>& buffer) {
  const PlanUnit& record = plan.units[unit];
  std::wstring ignored;  // a failed read-back only means the unit is not there
  return record.decodable && readDestinationBlock(destination, record.destOffset, record.rawSize, buffer, ignored) &&
         crc32(buffer.data(), buffer.size()) == record.crc;
}

uint32_t fileLackingData(const ExtractionPlan& plan, const Journal& journal, DestinationFiles& files, uint64_t readBack,
                         std::vector<uint32_t>* lost, std::vector<uint8_t>& buffer) {
  std::vector<uint64_t> needed(plan.files.size(), 0);
  for (uint32_t u = 0; u < plan.units.size(); ++u) {
    if (stateOf(journal, u) == BlockState::Pending) continue;
    needed[plan.units[u].file] = std::max(needed[plan.units[u].file], plan.destinationEndOf(u));
  }
  std::vector<uint64_t> present(needed.size(), 0);
  for (uint32_t f = 0; f < needed.size(); ++f) {
    if (needed[f] == 0) continue;
    if (!files.existingLength(f, present[f])) present[f] = 0;
    if (present[f] < needed[f] && lost == nullptr) return f;
  }
  // Released last means taken last: the end of the process order.
  uint64_t checked = 0;
  FileHandle file;
  uint32_t opened = kNoFile;
  for (auto it = plan.processOrder.rbegin(); it != plan.processOrder.rend(); ++it) {
    const uint32_t b = *it, f = plan.units[b].file;
    if (!isPunched(journal, b)) continue;
    bool intact = plan.destinationEndOf(b) <= present[f];
    if (intact && checked < readBack) {
      checked += plan.units[b].rawSize;
      if (opened != f) opened = files.openExisting(f, file) ? f : kNoFile;
      intact = opened == f && destinationHolds(file, plan, b, buffer);
    }
    if (intact) continue;
    if (lost == nullptr) return f;
    lost->push_back(b);
  }
  return kNoFile;
}

bool onlyTheJournalRemains(const std::wstring& archivePath, Journal& journal) {
  Journal earlier{journal.path};
  if (pathStatus(archivePath).kind != PathKind::Missing || loadJournalAsWritten(earlier) != JournalLoad::Loaded ||
      !everyBlockPunched(earlier)) {
    return false;
  }
  journal.states = std::move(earlier.states);
  return true;
}

}  // namespace ablative
