#include "consume/plan_record.h"

#include <algorithm>

#include "codecs/crc32.h"
#include "codecs/record_bytes.h"
#include "consume/journal.h"
#include "containers/format_table.h"
#include "files/block_io.h"
#include "files/paths.h"
#include "framings/inflate_points.h"

namespace ablative {

namespace {

// The smallest a file's, a unit's (with its one piece at least) and a piece's
// fields take, which bounds their counts.
constexpr uint64_t kFileBytes = 37, kUnitBytes = 49, kPieceBytes = 16, kMarkBytes = 16;
// A unit's decoding byte: 0 not decodable, 1 decodable, this for lengthUnknown.
constexpr uint8_t kLengthUnknown = 2;

void writeFiles(const ExtractionPlan& plan, RecordWriter& out) {
  out.text(plan.paths);
  out.u64(plan.files.size());
  for (const PlanFile& file : plan.files) {
    out.u64(file.pathOffset);
    out.u32(file.pathLength);
    out.u32(file.targetLength);
    out.u64(file.length);
    out.u8(static_cast<uint8_t>(file.kind));
    out.u32(file.unixMode);
    out.u64(static_cast<uint64_t>(file.modifiedNs));
  }
}

// Each unit, then its pieces, whose offsets among its raw bytes follow from
// their lengths.
void writeUnits(const ExtractionPlan& plan, RecordWriter& out) {
  out.u64(plan.units.size());
  for (uint32_t u = 0; u < plan.units.size(); ++u) {
    const PlanUnit& unit = plan.units[u];
    out.u64(unit.offset);
    out.u32(unit.storedSize);
    out.u32(unit.rawSize);
    out.u32(unit.crc);
    out.u32(unit.coding);
    out.u8(unit.lengthUnknown ? kLengthUnknown : unit.decodable ? 1 : 0);
    out.u64(unit.pieceCount);
    for (const PlanPiece& piece : plan.piecesOf(u)) {
      out.u32(piece.file);
      out.u32(piece.length);
      out.u64(piece.destOffset);
    }
  }
}

bool readFiles(RecordReader& in, ExtractionPlan& plan) {
  plan.paths = in.text();
  plan.files.resize(in.count(kFileBytes));
  for (PlanFile& file : plan.files) {
    file.pathOffset = in.u64();
    file.pathLength = in.u32();
    file.targetLength = in.u32();
    file.length = in.u64();
    const uint8_t kind = in.u8();
    file.kind = static_cast<EntryKind>(kind);
    file.unixMode = in.u32();
    file.modifiedNs = static_cast<int64_t>(in.u64());
    const uint64_t named = uint64_t{file.pathLength} + file.targetLength;
    if (kind > static_cast<uint8_t>(EntryKind::HardLink) || file.pathOffset > plan.paths.size() ||
        named > plan.paths.size() - file.pathOffset) {
      return false;
    }
  }
  return in.ok();
}

// A unit's pieces must lie inside their files and cover its raw bytes.
bool readPieces(RecordReader& in, PlanUnit& unit, ExtractionPlan& plan) {
  const uint64_t count = in.count(kPieceBytes);
  if (count == 0) return false;
  unit.firstPiece = static_cast<uint32_t>(plan.pieces.size());
  unit.pieceCount = static_cast<uint32_t>(count);
  uint64_t rawOffset = 0;
  for (uint64_t k = 0; k < count; ++k) {
    PlanPiece& piece = plan.pieces.emplace_back();
    piece.file = in.u32();
    piece.length = in.u32();
    piece.destOffset = in.u64();
    piece.rawOffset = static_cast<uint32_t>(rawOffset);
    rawOffset += piece.length;
    if (piece.file >= plan.files.size() || piece.destOffset > plan.files[piece.file].length ||
        piece.length > plan.files[piece.file].length - piece.destOffset || rawOffset > unit.rawSize) {
      return false;
    }
  }
  return rawOffset == unit.rawSize;
}

bool readUnits(RecordReader& in, ExtractionPlan& plan) {
  plan.units.resize(in.count(kUnitBytes));
  for (PlanUnit& unit : plan.units) {
    unit.offset = in.u64();
    unit.storedSize = in.u32();
    unit.rawSize = in.u32();
    unit.crc = in.u32();
    unit.coding = in.u32();
    const uint8_t decoding = in.u8();
    unit.decodable = decoding == 1;
    unit.lengthUnknown = decoding == kLengthUnknown;
    if (!readPieces(in, unit, plan)) return false;
  }
  return in.ok();
}

void writeMarks(const ExtractionPlan& plan, RecordWriter& out) {
  out.u64(plan.marks.size());
  for (const PlanMark& mark : plan.marks) {
    out.u64(mark.offset);
    out.u32(mark.length);
    out.u32(mark.crc);
  }
}

bool readMarks(RecordReader& in, ExtractionPlan& plan) {
  plan.marks.resize(in.count(kMarkBytes));
  for (PlanMark& mark : plan.marks) {
    mark.offset = in.u64();
    mark.length = in.u32();
    mark.crc = in.u32();
  }
  return in.ok();
}

// Where the releases the journal records let a cut have shortened the
// archive. A file system may zero the bytes past a cut before its new length
// lasts (xfs and ext4 write the new last block first), so a crash can leave
// them zeroed within the old length.
uint64_t cutReach(const ExtractionPlan& plan, const Journal& journal) {
  uint64_t reach = plan.archiveSize;
  for (uint32_t u : plan.tailOrder) {
    if (!journal.states.mayBeCutAway(u)) break;
    reach = plan.units[u].offset;
  }
  return reach;
}

// Where each unit's point lies in the journal's file: false where the tail
// names a unit the plan lacks, or one twice.
bool pointsInTail(const Journal& journal, uint32_t unitCount, std::vector<PointPlace>& places) {
  places.assign(unitCount, PointPlace{});
  for (const TailPiece& piece : journal.tail) {
    if (piece.unit >= unitCount || places[piece.unit].length > 0) return false;
    places[piece.unit] = {tailStart(journal) + piece.offset, piece.length, piece.crc};
  }
  return true;
}

}  // namespace

void recordPlan(const ArchiveSource& source, const SourceFacts& facts, const ExtractionPlan& plan, Journal& journal) {
  RecordWriter out;
  out.text(toUtf8(facts.format));
  out.u32(facts.version);
  out.u32(facts.blockSize);
  out.u64(facts.sourceBytes);
  out.u64(plan.archiveSize);
  out.u64(plan.dataStart);
  writeFiles(plan, out);
  writeUnits(plan, out);
  writeMarks(plan, out);
  source.saveUnits(plan, out);
  journal.record = std::move(out.bytes());
  journal.tail.clear();
  journal.tailBytes = 0;
  journal.tailSource = {};
  const std::shared_ptr<UnitPoints> points = source.points ? source.points(plan) : nullptr;
  if (!points) return;
  for (auto u = plan.processOrder.rbegin(); u != plan.processOrder.rend(); ++u) {
    const PointPlace place = points->placeOf(*u);
    if (place.length > 0) addToTail(journal, *u, place.length, place.crc);
  }
  const auto unitCount = static_cast<uint32_t>(plan.units.size());
  journal.tailSource.read = [points](uint32_t unit, std::vector<uint8_t>& bytes) {
    return points->bytesOf(unit, bytes) == PointRead::Read;
  };
  journal.tailSource.written = [points, unitCount](const Journal& written) {
    std::vector<PointPlace> places;
    pointsInTail(written, unitCount, places);
    points->moveTo(written.path, std::move(places));
  };
}

bool readRecordedPlan(const Journal& journal, ArchiveReading& recorded) {
  auto plan = std::make_shared<ExtractionPlan>();
  const auto loadUnits = [&](RecordReader& in) {
    std::vector<PointPlace> places;
    if (!pointsInTail(journal, static_cast<uint32_t>(plan->units.size()), places)) return false;
    auto tail = std::make_shared<UnitPoints>();
    tail->moveTo(journal.path, std::move(places));
    return recorded.source->loadUnits(in, std::move(tail), *plan);
  };
  RecordReader in(journal.record.data(), journal.record.size());
  SourceFacts facts;
  facts.format = fromUtf8(in.text());
  facts.version = in.u32();
  facts.blockSize = in.u32();
  facts.sourceBytes = in.u64();
  plan->archiveSize = in.u64();
  plan->dataStart = in.u64();
  recorded.source = sourceNamed(facts.format);
  if (!in.ok() || recorded.source == nullptr || !recorded.source->loadUnits || !readFiles(in, *plan) ||
      !readUnits(in, *plan) || !readMarks(in, *plan) || !loadUnits(in) || !in.atEnd()) {
    return false;
  }
  plan->describedByJournal = true;
  recorded.recorded = true;
  recorded.reading = SourceReading{};
  recorded.reading.unitCount = static_cast<uint32_t>(plan->units.size());
  recorded.reading.facts = facts;
  recorded.reading.plan = [plan](const UnitFilter&, ExtractionPlan& out) {
    out = std::move(*plan);
    return Status{};
  };
  return true;
}

Status readArchive(const std::wstring& archivePath, FileHandle& file, const Journal& journal, JournalLoad load,
                   const StopCallback& shouldStop, ArchiveReading& archive) {
  archive = ArchiveReading{};
  if (pathStatus(archivePath).kind == PathKind::File && load == JournalLoad::Loaded && !journal.record.empty() &&
      journal.states.recordsProgress() && readRecordedPlan(journal, archive) &&
      archive.reading.unitCount == journal.states.size()) {
    return {};
  }
  archive = ArchiveReading{};
  archive.source = &sourceFor(file);
  return archive.source->read(file, pointsScratchPathFor(journal.path), shouldStop, archive.reading);
}

Status checkRecordedArchive(FileHandle& archive, const ExtractionPlan& plan, const Journal& journal) {
  uint64_t size = 0, lowest = plan.archiveSize;
  if (!fileSize(archive, size)) return failure(StatusKind::Failed, L"Unable to read archive file");
  for (const PlanUnit& unit : plan.units) lowest = std::min(lowest, unit.offset);
  bool same = size <= plan.archiveSize && size >= lowest;
  const uint64_t kept = std::min(size, cutReach(plan, journal));
  std::vector<uint8_t> bytes;
  for (const PlanMark& mark : plan.marks) {
    if (!same || mark.offset + mark.length > kept) continue;
    Status read = readArchiveBlock(archive, mark.offset, mark.length, bytes);
    if (!read.ok()) return failure(StatusKind::Failed, read.message);
    same = crc32(bytes.data(), bytes.size()) == mark.crc;
  }
  return same ? Status{} : failure(StatusKind::ArchiveChanged, kArchiveChanged);
}

}  // namespace ablative
