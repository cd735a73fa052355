#include "consume/archive_presence.h"

#include <algorithm>
#include <numeric>
#include <optional>

#include "consume/archive_checks.h"
#include "platform/utf8.h"

namespace ablative {

Status findAbsentUnits(FileHandle& archive, const ArchiveSource& source, const ExtractionPlan& plan,
                       const std::function<bool(uint32_t unit)>& concerned, Presence& presence) {
  presence = Presence{};
  std::vector<uint32_t>& absent = presence.absent;
  uint64_t size = 0;
  std::vector<ByteRange> holes;
  if (!fileSize(archive, size) || !findHoles(archive, plan.dataStart, size, holes)) {
    return failure(StatusKind::Failed, L"Unable to read archive file");
  }
  const std::vector<PlanUnit>& units = plan.units;
  std::vector<uint32_t> byOffset(units.size());
  std::iota(byOffset.begin(), byOffset.end(), 0u);
  std::sort(byOffset.begin(), byOffset.end(),
            [&](uint32_t a, uint32_t b) { return units[a].offset < units[b].offset; });
  std::vector<uint8_t> stored, raw;
  size_t hole = 0;
  for (uint32_t u : byOffset) {
    if (!concerned(u)) continue;
    const uint64_t first = units[u].offset, end = plan.endOf(u);
    while (hole < holes.size() && holes[hole].end <= first) ++hole;
    const bool inHole = hole < holes.size() && holes[hole].first < end;
    if (end > size) {
      absent.push_back(u);
      presence.cutShort = presence.cutShort || first < size;
    } else if (inHole && plan.holesAreReleased) {
      absent.push_back(u);
    } else if (inHole) {
      Status read = readUnit(source, archive, plan, u, stored, raw);
      if (read.kind == StatusKind::DamagedBlock) {
        absent.push_back(u);
      } else if (!read.ok()) {
        return read;
      }
    }
  }
  std::sort(absent.begin(), absent.end());
  return {};
}

Status checkArchiveAlone(FileHandle& archive, const ArchiveSource& source, SourceReading reading, ExtractionPlan& plan,
                         std::vector<uint32_t>& absent) {
  Presence presence;
  const auto every = [](uint32_t) { return true; };
  if (Status planned = planArchive(std::move(reading), every, plan); !planned.ok()) return planned;
  if (Status found = findAbsentUnits(archive, source, plan, every, presence); !found.ok()) return found;
  if (presence.cutShort) return failure(StatusKind::Failed, L"Invalid archive block table");
  absent = std::move(presence.absent);
  return {};
}

// An extraction cuts the archive only where a unit starts: a unit the
// journal has not seen taken that the archive ends inside is as gone as one
// wholly beyond its end.
Status checkArchiveAgainstJournal(FileHandle& archive, const ArchiveSource& source, SourceReading reading,
                                  const Journal& journal, ExtractionPlan& plan, std::vector<uint32_t>& contradicted) {
  Presence presence;
  const auto pending = [&](uint32_t u) { return journal.states.isPending(u); };
  if (Status planned = planArchive(
          std::move(reading), [](uint32_t) { return true; }, plan);
      !planned.ok()) {
    return planned;
  }
  if (Status found = findAbsentUnits(archive, source, plan, pending, presence); !found.ok()) return found;
  contradicted = std::move(presence.absent);
  return {};
}

Status checkPartsJoin(FileHandle& archive, const ArchiveSource& source, const ExtractionPlan& plan,
                      const std::vector<std::wstring>& parts) {
  // Units that decode only in order were all decoded as the archive was read.
  const std::vector<uint64_t> starts = plan.decodesInOrder ? std::vector<uint64_t>{0} : partStarts(archive);
  std::vector<uint8_t> stored, raw;
  for (size_t p = 1; p < starts.size() && p < parts.size(); ++p) {
    std::vector<uint32_t> checked;  // those across the join, then the first after it
    std::optional<uint32_t> firstAfter;
    for (uint32_t u = 0; u < plan.units.size(); ++u) {
      const uint64_t offset = plan.units[u].offset;
      if (offset < starts[p] && plan.endOf(u) > starts[p]) checked.push_back(u);
      if (offset >= starts[p] && (!firstAfter || offset < plan.units[*firstAfter].offset)) firstAfter = u;
    }
    if (firstAfter) checked.push_back(*firstAfter);
    for (uint32_t u : checked) {
      Status read = readUnit(source, archive, plan, u, stored, raw);
      if (read.kind == StatusKind::DamagedBlock) {
        return failure(StatusKind::Failed, L"Volume set parts do not join at the start of " + parts[p] +
                                               L": one is out of order, or from another set");
      }
      if (!read.ok()) return read;
    }
  }
  return {};
}

namespace {

// ", from K files, the first: " + the first file's path, of the files with a piece of `units`.
std::wstring filesOf(const ExtractionPlan& plan, const std::vector<uint32_t>& units) {
  std::vector<uint8_t> lacking(plan.files.size(), 0);
  for (uint32_t u : units) {
    for (const PlanPiece& piece : plan.piecesOf(u)) lacking[piece.file] = 1;
  }
  const auto first = std::find(lacking.begin(), lacking.end(), 1);
  const auto files = std::count(lacking.begin(), lacking.end(), 1);
  return L", from " + std::to_wstring(files) + L" files, the first: " +
         nameFromBytes(plan.pathOf(static_cast<uint32_t>(first - lacking.begin())));
}

}  // namespace

std::wstring journalContradictedText(const ExtractionPlan& plan, const std::vector<uint32_t>& contradicted) {
  return L"The journal does not match the archive: it records " + std::to_wstring(contradicted.size()) +
         L" blocks as not extracted that the archive no longer holds" + filesOf(plan, contradicted);
}

bool journalIsMissing(const ExtractionPlan& plan, const std::vector<uint32_t>& absent) {
  return !absent.empty() || plan.holesAreReleased;
}

std::wstring journalMissingText(const ExtractionPlan& plan, const std::vector<uint32_t>& absent) {
  const std::wstring missing = L"This archive was partly extracted and its journal is missing: ";
  if (absent.empty()) {
    return missing + L"it ends at byte " + std::to_wstring(plan.archiveSize) + L", where an extraction cuts it";
  }
  return missing + std::to_wstring(absent.size()) + L" of " + std::to_wstring(plan.units.size()) + L" blocks are gone" +
         filesOf(plan, absent);
}

}  // namespace ablative
