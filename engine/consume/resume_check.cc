#include "consume/resume_check.h"

#include <algorithm>

#include "codecs/crc32.h"
#include "files/block_io.h"

namespace ablative {

bool destinationHolds(const OpenDestination& open, const ExtractionPlan& plan, uint32_t unit,
                      std::vector<uint8_t>& buffer) {
  const PlanUnit& record = plan.units[unit];
  if (!record.decodable) return false;
  uint32_t crc = 0;
  for (const PlanPiece& piece : plan.piecesOf(unit)) {
    FileHandle* destination = open(piece.file);
    // A failed read-back only means the unit is not there.
    if (destination == nullptr || !readDestinationBlock(*destination, piece.destOffset, piece.length, buffer).ok()) {
      return false;
    }
    crc = crc32(crc, buffer.data(), buffer.size());
  }
  return crc == record.crc;
}

uint32_t fileLackingData(const ExtractionPlan& plan, const Journal& journal, DestinationFiles& files, uint64_t readBack,
                         std::vector<uint32_t>* lost, std::vector<uint8_t>& buffer) {
  std::vector<uint64_t> needed(plan.files.size(), 0);
  for (uint32_t u = 0; u < plan.units.size(); ++u) {
    if (journal.states.isPending(u) || journal.states.isLost(u)) continue;
    for (const PlanPiece& piece : plan.piecesOf(u)) {
      needed[piece.file] = std::max(needed[piece.file], piece.destinationEnd());
    }
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
  const OpenDestination open = [&](uint32_t f) {
    if (opened != f) opened = files.openExisting(f, file) ? f : kNoFile;
    return opened == f ? &file : nullptr;
  };
  const auto beyondPresent = [&](const PlanPiece& piece) { return piece.destinationEnd() > present[piece.file]; };
  for (auto it = plan.processOrder.rbegin(); it != plan.processOrder.rend(); ++it) {
    const uint32_t b = *it;
    if (!journal.states.isPunched(b)) continue;
    const std::span<const PlanPiece> pieces = plan.piecesOf(b);
    const auto cut = std::find_if(pieces.begin(), pieces.end(), beyondPresent);
    bool intact = cut == pieces.end();
    if (intact && checked < readBack) {
      checked += plan.units[b].rawSize;
      intact = destinationHolds(open, plan, b, buffer);
    }
    if (intact) continue;
    if (lost == nullptr) return (cut == pieces.end() ? pieces.front() : *cut).file;
    lost->push_back(b);
  }
  return kNoFile;
}

bool onlyTheJournalRemains(const std::wstring& archivePath, const Journal& journal, JournalLoad load) {
  return pathStatus(archivePath).kind == PathKind::Missing && load == JournalLoad::Loaded && journal.states.everySettled();
}

bool nothingRemains(const std::wstring& archivePath, const std::wstring& journalPath) {
  return pathStatus(archivePath).kind == PathKind::Missing && pathStatus(journalPath).kind == PathKind::Missing;
}

}  // namespace ablative
