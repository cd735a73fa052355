// Tar archives as a source: the members read and checked, laid out
// (tar_layout.h), their data cut into units, and, once the plan is asked
// for, the archive read once to sum each unit and each member's headers.
#include "containers/tar_source.h"

#include <algorithm>
#include <thread>

#include "codecs/crc32.h"
#include "codecs/record_bytes.h"
#include "containers/tar_format.h"
#include "containers/tar_layout.h"
#include "status.h"
#include "files/block_io.h"
#include "framings/inflate_points.h"
#include "pause.h"
#include "plan/unit_decoders.h"
#include "platform/utf8.h"
#include "side_by_side.h"

namespace ablative {

namespace {

constexpr uint32_t kPassBytes = 1 << 20;  // read at a time in the first pass
// A first pass splits the archive among threads only in parts at least this
// large: below, starting a thread and a handle costs more than it saves.
constexpr uint64_t kLeastPartBytes = 4 << 20;

// A unit of at most kTarPieceBytes of each file's data, which lies in the
// archive as its spans do: a sparse member's spans follow one another.
void cutUnits(const std::vector<TarSpan>& spans, ExtractionPlan& plan) {
  // Counted first: growing by doubling would hold up to twice as many records.
  size_t units = 0;
  for (const TarSpan& span : spans) units += (span.length + kTarPieceBytes - 1) / kTarPieceBytes;
  plan.units.reserve(units);
  plan.pieces.reserve(units + spans.size());
  for (size_t k = 0; k < spans.size();) {
    size_t last = k;
    while (last + 1 < spans.size() && spans[last + 1].file == spans[k].file) ++last;
    const uint64_t end = spans[last].streamOffset + spans[last].length;
    for (uint64_t at = spans[k].streamOffset; at < end; at += kTarPieceBytes) {
      const uint64_t to = std::min(end, at + kTarPieceBytes);
      addSpanUnit(spans, at, to, {.offset = at, .storedSize = static_cast<uint32_t>(to - at)}, plan);
    }
    k = last + 1;
  }
}

// Every member's headers, of members the plan leaves out too, since they lie
// among its units.
void markHeaders(const TarContents& contents, ExtractionPlan& plan) {
  plan.marks.reserve(contents.members.size());
  for (const TarMember& member : contents.members) {
    plan.marks.push_back({member.headerOffset, static_cast<uint32_t>(member.dataOffset - member.headerOffset), 0});
  }
}

// A range of the archive a first pass sums.
struct SummedRange {
  uint64_t offset = 0;
  uint64_t length = 0;
  uint32_t* crc = nullptr;  // none once every range is taken
};

// The plan's units and marks that start in [from, to) and that the archive
// holds, lowest first, merged as they are taken rather than listed: each list
// is in archive order already (units follow the spans, marks the members),
// and none overlaps another.
class PlanRanges {
 public:
  PlanRanges(ExtractionPlan& plan, uint64_t from, uint64_t to) : plan_(plan), to_(to) {
    unit_ = std::partition_point(plan.units.begin(), plan.units.end(),
                                 [from](const PlanUnit& unit) { return unit.offset < from; }) -
            plan.units.begin();
    mark_ = std::partition_point(plan.marks.begin(), plan.marks.end(),
                                 [from](const PlanMark& mark) { return mark.offset < from; }) -
            plan.marks.begin();
  }

  SummedRange take() {
    while (unit_ < plan_.units.size() && !held(plan_.units[unit_].offset, plan_.units[unit_].storedSize)) ++unit_;
    while (mark_ < plan_.marks.size() && !held(plan_.marks[mark_].offset, plan_.marks[mark_].length)) ++mark_;
    const bool unitsLeft = unit_ < plan_.units.size() && plan_.units[unit_].offset < to_;
    const bool marksLeft = mark_ < plan_.marks.size() && plan_.marks[mark_].offset < to_;
    if (unitsLeft && (!marksLeft || plan_.units[unit_].offset < plan_.marks[mark_].offset)) {
      PlanUnit& unit = plan_.units[unit_++];
      return {unit.offset, unit.storedSize, &unit.crc};
    }
    if (!marksLeft) return {};
    PlanMark& mark = plan_.marks[mark_++];
    return {mark.offset, mark.length, &mark.crc};
  }

 private:
  bool held(uint64_t offset, uint64_t length) const { return offset + length <= plan_.archiveSize; }

  ExtractionPlan& plan_;
  const uint64_t to_;
  size_t unit_ = 0, mark_ = 0;
};

// Sums the plan's units and marks that start in [from, to), which lie apart,
// reading the archive once from the first one's start to the last one's end.
Status sumPart(FileHandle& file, ExtractionPlan& plan, uint64_t from, uint64_t to, const StopCallback& shouldStop) {
  PlanRanges ranges(plan, from, to);
  std::vector<uint8_t> bytes;
  SummedRange range = ranges.take();
  for (uint64_t at = range.offset; range.crc != nullptr; at = std::max(at + bytes.size(), range.offset)) {
    const auto length = static_cast<uint32_t>(std::min<uint64_t>(kPassBytes, plan.archiveSize - at));
    if (stopRequested(shouldStop)) return stoppedOnRequest();
    Status read = readArchiveBlock(file, at, length, bytes);
    if (read.kind == StatusKind::EndedEarly) return failure(StatusKind::Failed, L"Unable to read archive file");
    if (!read.ok()) return read;
    const uint64_t readEnd = at + bytes.size();
    while (range.crc != nullptr && range.offset <= readEnd) {
      const uint64_t from = std::max(range.offset, at), to = std::min(range.offset + range.length, readEnd);
      if (from < to) *range.crc = crc32(*range.crc, bytes.data() + (from - at), to - from);
      if (range.offset + range.length > readEnd) break;  // it goes on in the next read
      range = ranges.take();
    }
  }
  return {};
}

// Sums the plan's units and marks, the archive split into parts read side by
// side, each through a handle of its own: most of the pass is copying the
// archive's bytes out of the system's cache, which takes a core.
Status sumPlan(FileHandle& file, ExtractionPlan& plan, const StopCallback& shouldStop) {
  const uint64_t size = plan.archiveSize;
  const unsigned threads = std::max(1u, decodeWorkersFor(std::thread::hardware_concurrency()));
  const auto parts = static_cast<size_t>(std::clamp<uint64_t>(size / kLeastPartBytes, 1, threads));
  const auto boundary = [&](size_t part) { return size * part / parts; };
  std::vector<Status> summed(parts);
  // Memory that runs out fails the pass, on every thread.
  runSideBySide(parts, [&](size_t part) {
    summed[part] = withinMemory([&] {
      FileHandle again;
      if (part > 0 && !openAgain(file, again)) return failure(StatusKind::Failed, L"Unable to open archive file");
      return sumPart(part > 0 ? again : file, plan, boundary(part), boundary(part + 1), shouldStop);
    });
  });
  for (Status& status : summed) {
    if (!status.ok()) return status;
  }
  return {};
}

Status openTar(FileHandle& file, const StopCallback& shouldStop, TarContents& contents) {
  if (!rewindArchive(file)) return failure(StatusKind::Failed, L"Unable to open archive file");
  return readTarMembers(file, shouldStop, contents);
}

// Whether the archive ends where a consuming run cuts it: at the start of a
// unit of the last member's data (a file's, not sparse).
bool cutWhereAUnitStarts(const TarContents& contents) {
  if (!contents.endsInLastMember) return false;
  const TarMember& last = contents.members.back();
  return last.kind == TarMemberKind::File && last.ranges.empty() && contents.archiveSize >= last.dataOffset &&
         (contents.archiveSize - last.dataOffset) % kTarPieceBytes == 0 &&
         last.dataOffset + last.storedSize - contents.archiveSize <= kLargestCutAway;
}

Status readTar(FileHandle& file, const std::wstring&, const StopCallback& shouldStop, SourceReading& reading) {
  TarContents contents;
  TarLayout layout;
  Status opened = openTar(file, shouldStop, contents);
  if (opened.kind == StatusKind::Stopped) return opened;
  const bool cut = !opened.ok() && cutWhereAUnitStarts(contents);
  if (!opened.ok() && !cut) return opened;
  if (Status laid = layOutTar(contents, layout); !laid.ok()) return laid;
  auto plan = std::make_shared<ExtractionPlan>(std::move(layout.plan));
  plan->archiveSize = contents.archiveSize;
  plan->describedByJournal = true;
  plan->holesAreReleased = cut;
  markHeaders(contents, *plan);
  // The plan holds all that is needed of the members from here on, and of the spans once units are cut.
  contents.members = {};
  cutUnits(layout.spans, *plan);
  std::vector<TarSpan>().swap(layout.spans);
  reading = SourceReading{};
  reading.unitCount = static_cast<uint32_t>(plan->units.size());
  reading.facts.format = tarSource().format;
  reading.facts.blockSize = kTarPieceBytes;
  reading.facts.sourceBytes = layout.fileBytes;
  reading.skipped = std::move(layout.skipped);
  reading.unaccounted = std::move(contents.unaccounted);
  // Summed only when the plan is asked for: a listing never needs the data read.
  reading.plan = [plan, archive = &file, shouldStop](const UnitFilter&, ExtractionPlan& into) {
    if (Status summed = sumPlan(*archive, *plan, shouldStop); !summed.ok()) return summed;
    into = std::move(*plan);
    return Status{};
  };
  return {};
}

std::wstring nameOf(const ExtractionPlan& plan, uint32_t unit) {
  return nameFromBytes(plan.pathOf(plan.piecesOf(unit).front().file));
}

Status readStoredUnit(FileHandle& archive, const ExtractionPlan& plan, uint32_t u, std::vector<uint8_t>& stored) {
  const PlanUnit& unit = plan.units[u];
  Status read = readArchiveBlock(archive, unit.offset, unit.storedSize, stored);
  if (read.kind != StatusKind::EndedEarly) return read;
  return failure(StatusKind::DamagedBlock, L"Tar member runs past the end of the archive: " + nameOf(plan, u));
}

Status decodeUnit(const ExtractionPlan& plan, uint32_t u, const std::vector<uint8_t>& stored,
                  std::vector<uint8_t>& raw) {
  raw = stored;
  if (raw.size() == plan.units[u].rawSize && crc32(raw.data(), raw.size()) == plan.units[u].crc) return {};
  return failure(StatusKind::DamagedBlock, L"Checksum verification failed: " + nameOf(plan, u));
}

// The plan's own records hold all a tar's units need.
void saveNothing(const ExtractionPlan&, RecordWriter&) {}
std::shared_ptr<UnitPoints> noPoints(const ExtractionPlan&) { return nullptr; }
bool loadNothing(RecordReader& in, std::shared_ptr<UnitPoints> tail, ExtractionPlan& plan) {
  for (uint32_t u = 0; u < plan.units.size(); ++u) {
    if (tail->placeOf(u).length > 0) return false;
  }
  return in.ok();
}

// Every member, as tar lists it, a later one of the same path too.
Status listMembers(FileHandle& file, const FileLister& onFile) {
  TarContents contents;
  if (Status status = openTar(file, {}, contents); !status.ok()) return status;
  for (const TarMember& member : contents.members) onFile(listedMember(member));
  return {};
}

bool recognisesTar(std::span<const uint8_t> firstBytes, FileHandle&) { return looksLikeTar(firstBytes); }

}  // namespace

const ArchiveSource& tarSource() {
  static const ArchiveSource source{.format = L"tar",
                                    .recognises = recognisesTar,
                                    .read = readTar,
                                    .readStored = readStoredUnit,
                                    .decodeUnit = decodeUnit,
                                    .list = listMembers,
                                    .saveUnits = saveNothing,
                                    .points = noPoints,
                                    .loadUnits = loadNothing};
  return source;
}

}  // namespace ablative
