#include "containers/framed_tar_source.h"

#include <zlib.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>

#include "codecs/crc32.h"
#include "codecs/record_bytes.h"
#include "containers/tar_format.h"
#include "containers/tar_layout.h"
#include "status.h"
#include "files/block_io.h"
#include "files/file_util.h"
#include "framings/inflate_points.h"
#include "pause.h"

namespace ablative {

namespace {

// No unit takes more, stored or decoded: a deflate block may decode to any
// length, and a unit ends only where a block does.
constexpr uint64_t kLargestPiece = 256u << 20;

std::wstring atFrame(const wchar_t* text, uint64_t frameOffset) { return text + std::to_wstring(frameOffset); }

// Where a unit may start: a frame's data start (no point needed), or a
// recorded point.
struct PassPoint {
  uint64_t in = 0, out = 0;
  size_t frame = 0;
  PointPlace point;
  bool goneOnTo = false;  // decoding only goes on to it
};

// Bytes of one member's data that one unit decodes, summed.
struct Segment {
  uint64_t from = 0, length = 0;
  uint32_t crc = 0;
  size_t unit = 0;  // the point it follows
};

// The tar read from the decoded stream as it comes, with every member's data
// summed per unit, which members are kept being known only at the end, and
// each unit's decoded bytes summed whole.
class TarScan {
 public:
  TarScan(const std::vector<PassPoint>& points, const FramingTexts& texts) : points_(points) {
    tar.notATar =
        std::wstring(L"This ") + texts.fileNoun + L" holds no tar archive: decompress it with " + texts.decompressor;
    tar.onData = [this](uint64_t at, const uint8_t* bytes, size_t length) { sumData(at, bytes, length); };
  }
  TarScan(const TarScan&) = delete;
  TarScan& operator=(const TarScan&) = delete;

  Status take(const uint8_t* bytes, size_t length) {
    sumRanges(bytes, length);
    return tar.take({bytes, length});
  }

  // Whether the decoded bytes stop at `at` with the tar not ended: where a
  // consuming run cuts it. The members read then are those whose headers
  // came whole, the last one's data perhaps running past `at`; a header the
  // cut splits names nothing.
  bool stopsInsideTarAt(uint64_t at) const { return !tar.ended() && tar.position() == at; }

  TarStream tar;
  std::vector<Segment> segments;
  std::vector<uint32_t> rangeCrcs;  // per point: of all it decodes to, up to the next

 private:
  // The last point at or before stream offset `at`, looking from point `from`
  // on; and where the point after `unit` starts.
  size_t unitAt(uint64_t at, size_t from) const {
    while (from + 1 < points_.size() && points_[from + 1].out <= at) ++from;
    return from;
  }
  uint64_t unitEnd(size_t unit) const { return unit + 1 < points_.size() ? points_[unit + 1].out : UINT64_MAX; }

  void sumRanges(const uint8_t* bytes, size_t length) {
    for (uint64_t at = tar.position(); length > 0;) {
      rangeUnit_ = unitAt(at, rangeUnit_);
      rangeCrcs.resize(std::max(rangeCrcs.size(), rangeUnit_ + 1));
      const auto n = static_cast<size_t>(std::min<uint64_t>(length, unitEnd(rangeUnit_) - at));
      rangeCrcs[rangeUnit_] = crc32(rangeCrcs[rangeUnit_], bytes, n);
      at += n;
      bytes += n;
      length -= n;
    }
  }

  void sumData(uint64_t at, const uint8_t* bytes, size_t length) {
    while (length > 0) {
      unit_ = unitAt(at, unit_);
      const auto n = static_cast<size_t>(std::min<uint64_t>(length, unitEnd(unit_) - at));
      if (segments.empty() || segments.back().unit != unit_ || segments.back().from + segments.back().length != at) {
        segments.push_back({at, 0, 0, unit_});
      }
      Segment& segment = segments.back();
      segment.crc = crc32(segment.crc, bytes, n);
      segment.length += n;
      at += n;
      bytes += n;
      length -= n;
    }
  }

  const std::vector<PassPoint>& points_;
  size_t unit_ = 0, rangeUnit_ = 0;
};

// What one pass over the archive found.
struct FramedPass {
  explicit FramedPass(const Framing& framing) : scan(points, framing.texts) {}

  std::shared_ptr<UnitPoints> kept;
  std::vector<PassPoint> points;
  TarScan scan;
  std::vector<Frame> frames;
  uint64_t archiveSize = 0;
  std::wstring unaccounted;  // the tar's, else the framing's
};

// Decodes the archive once; with a `scratchPath`, records where units may
// start, keeping the points there (a listing needs none: the tar is then
// summed as one range).
Status passOver(const Framing& framing, FileHandle& file, const std::wstring* scratchPath,
                const StopCallback& shouldStop, FramedPass& pass) {
  if (!fileSize(file, pass.archiveSize)) return failure(StatusKind::Failed, L"Unable to open archive file");
  FramingPass framed;
  framed.onBytes = [&](const uint8_t* bytes, size_t length) {
    return stopRequested(shouldStop) ? stoppedOnRequest() : pass.scan.take(bytes, length);
  };
  if (scratchPath) {
    framed.pointSpacing = kTarPieceBytes;
    // The piece before the first point that decoding goes on to stays within the bound.
    if (framing.decodeInOrder) framed.goOnAfter = kLargestPiece - kTarPieceBytes;
    pass.kept = std::make_shared<UnitPoints>(*scratchPath);
    framed.onPoint = [&](const RestartPoint& point) {
      pass.points.push_back({point.in, point.out, point.frame,
                             point.saved.empty() ? PointPlace{} : pass.kept->keep(point.saved), point.goneOnTo});
    };
  }
  Status read = framing.pass(file, framed);
  pass.frames = std::move(framed.frames);
  if (read.ok()) read = pass.scan.tar.finish();
  if (!read.ok()) return read;
  const TarContents& tar = pass.scan.tar.contents;
  pass.unaccounted = tar.unaccounted.empty() ? framed.unaccounted : tar.unaccounted;
  return {};
}

// How each unit decodes, beside the plan.
struct UnitSource {
  uint64_t frameOffset = 0;  // of its frame, for messages
  uint32_t decodedLength = 0;
  uint32_t decodedCrc = 0;
  bool inOrder = false;   // of a frame whose units decode in order
  bool goesOn = false;    // decoding goes on to it from the unit before
};

// The decoder of a frame whose units decode in order, where the last unit
// taken left it, with what it decoded past that unit's end.
struct InOrderDecoding {
  std::mutex mutex;
  StreamDecoder decoder;
  uint32_t next = 0;  // the unit whose bytes come next
  std::vector<uint8_t> ahead;
};

struct FramedUnits {
  std::vector<UnitSource> units;
  std::shared_ptr<UnitPoints> points;  // none at a frame's data start
  std::vector<uint32_t> pieceAt;       // per plan piece: where it lies in its unit's decoded bytes
  // Per unit, read from a journal: it starts at a point the journal's tail no
  // longer holds.
  std::vector<uint8_t> lacksPoint;
  std::shared_ptr<InOrderDecoding> inOrder = std::make_shared<InOrderDecoding>();
  std::wstring keepOnly;  // where units decode in order: the framing's message naming the first such frame
};

// The CRC-32 of the segments of unit `unit` whose bytes the spans take, from
// segments[next] on (they come in unit order).
uint32_t keptCrc(const std::vector<Segment>& segments, size_t& next, size_t unit, const std::vector<TarSpan>& spans) {
  uint32_t crc = 0;
  for (; next < segments.size() && segments[next].unit == unit; ++next) {
    const Segment& segment = segments[next];
    const auto span = std::partition_point(spans.begin(), spans.end(),
                                           [&](const TarSpan& s) { return s.streamOffset + s.length <= segment.from; });
    // A kept file's spans take all of its member's data.
    if (span != spans.end() && span->streamOffset <= segment.from) {
      crc = static_cast<uint32_t>(crc32_combine(crc, segment.crc, static_cast<z_off_t>(segment.length)));
    }
  }
  return crc;
}

// Where each of the unit's pieces lies among the bytes it decodes from `from`.
void placePieces(const std::vector<TarSpan>& spans, uint64_t from, const ExtractionPlan& plan, FramedUnits& units) {
  const auto first = std::partition_point(
      spans.begin(), spans.end(), [from](const TarSpan& span) { return span.streamOffset + span.length <= from; });
  const PlanUnit& unit = plan.units.back();
  for (uint32_t k = 0; k < unit.pieceCount; ++k) {
    units.pieceAt.push_back(static_cast<uint32_t>(std::max(first[k].streamOffset, from) - from));
  }
}

// The data a cut took of the member whose data it splits, in units past the
// archive's end, laid out as if stored there: they are gone, and nothing left
// sums them.
void addCutAwayUnits(const Framing& framing, const FramedPass& pass, const std::vector<TarSpan>& spans,
                     ExtractionPlan& plan, FramedUnits& units, std::vector<PointPlace>& places) {
  const PassPoint& cut = pass.points.back();
  const uint64_t end = spans.empty() ? 0 : spans.back().streamOffset + spans.back().length;
  for (uint64_t at = cut.out; at < end; at += kTarPieceBytes) {
    const uint64_t to = std::min(end, at + kTarPieceBytes);
    const PlanUnit unit{.offset = pass.archiveSize + (at - cut.out),
                        .storedSize = static_cast<uint32_t>(to - at),
                        .coding = framing.coding};
    if (addSpanUnit(spans, at, to, unit, plan) == 0) continue;
    units.units.push_back({pass.frames[cut.frame].offset, static_cast<uint32_t>(to - at), 0});
    places.emplace_back();
    placePieces(spans, at, plan, units);
  }
}

// Where the archive was cut, its last point starts no unit of its own: what
// it decoded to is gone.
Status cutUnits(const Framing& framing, const FramedPass& pass, bool cut, const std::vector<TarSpan>& spans,
                ExtractionPlan& plan, FramedUnits& units) {
  const std::vector<PassPoint>& points = pass.points;
  std::vector<PointPlace> places;
  size_t segment = 0;
  for (size_t i = 0; i + (cut ? 1 : 0) < points.size(); ++i) {
    const PassPoint& point = points[i];
    const Frame& frame = pass.frames[point.frame];
    const bool nextInFrame = i + 1 < points.size() && points[i + 1].frame == point.frame;
    const uint64_t inEnd = nextInFrame ? points[i + 1].in : frame.dataEnd;
    const uint64_t outEnd = i + 1 < points.size() ? points[i + 1].out : pass.frames.back().outEnd;
    const uint32_t crc = keptCrc(pass.scan.segments, segment, i, spans);
    // An empty frame decodes to nothing: its range would give addSpanUnit
    // an empty piece of the span around it, and no unit to hold it.
    if (outEnd == point.out) continue;
    const PlanUnit unit{.offset = point.in,
                        .storedSize = static_cast<uint32_t>(inEnd - point.in),
                        .crc = crc,
                        .coding = framing.coding};
    if (addSpanUnit(spans, point.out, outEnd, unit, plan) == 0) continue;
    if (inEnd - point.in > kLargestPiece || outEnd - point.out > kLargestPiece) {
      return failure(StatusKind::Failed, atFrame(framing.texts.unsplittable, frame.offset));
    }
    const bool nextGoneOnTo = nextInFrame && points[i + 1].goneOnTo;
    units.units.push_back({frame.offset, static_cast<uint32_t>(outEnd - point.out),
                           i < pass.scan.rangeCrcs.size() ? pass.scan.rangeCrcs[i] : 0,
                           point.goneOnTo || nextGoneOnTo, point.goneOnTo});
    if (point.goneOnTo && !plan.decodesInOrder) {
      plan.decodesInOrder = true;
      units.keepOnly = atFrame(framing.texts.unsplittable, frame.offset);
    }
    places.push_back(point.point);
    placePieces(spans, point.out, plan, units);
  }
  if (cut) addCutAwayUnits(framing, pass, spans, plan, units, places);
  units.points = pass.kept;
  units.points->setPlaces(std::move(places));
  return {};
}

// A consuming run cuts the archive where a unit starts, at a point the pass
// records: a stream that stops at one (inside a frame's data), the tar in it
// not ended, was cut by a run whose journal is gone. As with a cut tar, the
// members the decoded bytes name are the ones counted: those whose headers
// the cut took were made by that run.
bool cutWhereAUnitStarts(const FramedPass& pass) {
  if (pass.points.empty() || pass.points.back().in != pass.archiveSize) return false;
  const uint64_t at = pass.points.back().out;
  const TarMembers& members = pass.scan.tar.contents.members;
  // A point where its frame starts at the file's end (a Zstandard file's
  // end) follows whole frames: where they hold no tar member, they are no
  // tar at all, not a cut one.
  if (pass.frames[pass.points.back().frame].offset == pass.archiveSize && members.empty()) return false;
  const uint64_t dataEnd = members.empty() ? 0 : members.back().dataOffset + members.back().storedSize;
  return pass.scan.stopsInsideTarAt(at) && (dataEnd <= at || dataEnd - at <= kLargestCutAway);
}

std::wstring formatOf(const Framing& framing) { return L"tar." + framing.name; }

Status openArchive(FileHandle& file) {
  return rewindArchive(file) ? Status{} : failure(StatusKind::Failed, L"Unable to open archive file");
}

Status readFramedTar(const Framing& framing, FileHandle& file, const std::wstring& scratchPath,
                     const StopCallback& shouldStop, SourceReading& reading) {
  if (Status opened = openArchive(file); !opened.ok()) return opened;
  FramedPass pass(framing);
  TarLayout layout;
  Status passed = passOver(framing, file, &scratchPath, shouldStop, pass);
  const bool cut = !passed.ok() && passed.kind != StatusKind::Stopped && cutWhereAUnitStarts(pass);
  if (!passed.ok() && !cut) return passed;
  if (Status laid = layOutTar(pass.scan.tar.contents, layout); !laid.ok()) return laid;
  auto plan = std::make_shared<ExtractionPlan>(std::move(layout.plan));
  plan->archiveSize = pass.archiveSize;
  plan->describedByJournal = true;
  plan->holesAreReleased = cut;
  auto units = std::make_shared<FramedUnits>();
  if (Status cutInto = cutUnits(framing, pass, cut, layout.spans, *plan, *units); !cutInto.ok()) return cutInto;
  for (const Frame& frame : pass.frames) {
    plan->marks.push_back({frame.offset, static_cast<uint32_t>(frame.dataStart - frame.offset), frame.headerCrc});
  }
  std::wstring keepOnly = std::move(units->keepOnly);
  plan->sourceData = std::move(units);
  reading = SourceReading{};
  reading.unitCount = static_cast<uint32_t>(plan->units.size());
  reading.facts.format = formatOf(framing);
  reading.facts.blockSize = kTarPieceBytes;
  reading.facts.sourceBytes = layout.fileBytes;
  reading.skipped = std::move(layout.skipped);
  reading.unaccounted = std::move(pass.unaccounted);
  reading.keepOnly = std::move(keepOnly);
  reading.plan = [plan](const UnitFilter&, ExtractionPlan& into) {
    into = std::move(*plan);
    return Status{};
  };
  return {};
}

const FramedUnits& unitsOf(const ExtractionPlan& plan) {
  return *static_cast<const FramedUnits*>(plan.sourceData.get());
}

std::wstring frameOf(const Framing& framing, const ExtractionPlan& plan, uint32_t u) {
  return atFrame(framing.texts.frame, unitsOf(plan).units[u].frameOffset);
}

// The point unit `u` starts at, read back, as UnitPoints::bytesOf tells,
// Damaged too where the bytes are not one whole point.
PointRead pointOf(const Framing& framing, const FramedUnits& units, uint32_t u, std::vector<uint8_t>& saved) {
  const PointRead got = units.points->bytesOf(u, saved);
  return got == PointRead::Read && !framing.pointReads(saved) ? PointRead::Damaged : got;
}

// The unit whose start unit `u`'s decoding starts from: `u` itself, unless
// the journal lost or spoiled its point; then the nearest unit before it, in
// its frame and adjacent all the way, whose point reads whole or that needs
// none. The archive still holds those units: they lie below `u`, and a run
// takes units from the archive's end. Where there is none, `u`, which fails.
uint32_t decodingStart(const Framing& framing, const ExtractionPlan& plan, uint32_t u) {
  const FramedUnits& units = unitsOf(plan);
  std::vector<uint8_t> saved;
  for (uint32_t v = u;; --v) {
    const bool lacks = v < units.lacksPoint.size() && units.lacksPoint[v];
    if (!lacks && pointOf(framing, units, v, saved) != PointRead::Damaged) return v;
    if (v == 0 || units.units[v - 1].frameOffset != units.units[v].frameOffset ||
        plan.endOf(v - 1) != plan.units[v].offset) {
      return u;
    }
  }
}

// The unit's pieces from what it decoded to, both checked: the decoded bytes
// against their sum, and the raw bytes, what the pieces' places in the
// decoded bytes make of them, against theirs. Each byte is summed once (a
// piece's sum goes into both), and the pieces are copied as they are summed:
// they follow one another in both, as cutUnits lays them out, or the plan
// read back is not this code's.
Status checkedPieces(const Framing& framing, const ExtractionPlan& plan, uint32_t u, std::span<const uint8_t> decoded,
                     std::vector<uint8_t>& raw) {
  const FramedUnits& units = unitsOf(plan);
  const PlanUnit& unit = plan.units[u];
  raw.clear();
  raw.reserve(unit.rawSize);
  uint32_t decodedCrc = 0, rawCrc = 0;
  uint64_t at = 0;
  bool laidOut = true;
  for (uint32_t k = unit.firstPiece; k < unit.firstPiece + unit.pieceCount; ++k) {
    const PlanPiece& piece = plan.pieces[k];
    const uint32_t from = units.pieceAt[k];
    laidOut = from >= at && piece.rawOffset == raw.size();
    if (!laidOut) break;
    const uint8_t* bytes = decoded.data() + from;
    const uint32_t pieceCrc = crc32(bytes, piece.length);
    decodedCrc = crc32(decodedCrc, decoded.data() + at, from - at);
    decodedCrc = static_cast<uint32_t>(crc32_combine(decodedCrc, pieceCrc, static_cast<z_off_t>(piece.length)));
    rawCrc = static_cast<uint32_t>(crc32_combine(rawCrc, pieceCrc, static_cast<z_off_t>(piece.length)));
    raw.insert(raw.end(), bytes, bytes + piece.length);
    at = from + piece.length;
  }
  decodedCrc = crc32(decodedCrc, decoded.data() + at, decoded.size() - at);
  if (!laidOut || raw.size() != unit.rawSize || decodedCrc != units.units[u].decodedCrc || rawCrc != unit.crc) {
    return failure(StatusKind::DamagedBlock, L"Checksum verification failed: " + frameOf(framing, plan, u));
  }
  return {};
}

// The saved point unit `u`'s decoding ends at, where the framing decodes
// faster knowing it: the next unit's, in the same frame, where it reads; else
// none.
std::vector<uint8_t> endPointOf(const Framing& framing, const ExtractionPlan& plan, uint32_t u) {
  const FramedUnits& units = unitsOf(plan);
  const uint32_t next = u + 1;
  std::vector<uint8_t> saved;
  if (framing.decodeToPoint && next < units.units.size() &&
      units.units[next].frameOffset == units.units[u].frameOffset && plan.endOf(u) == plan.units[next].offset &&
      !(next < units.lacksPoint.size() && units.lacksPoint[next]) &&
      pointOf(framing, units, next, saved) == PointRead::Read) {
    return saved;
  }
  return {};
}

// A unit's stored bytes, with those of the units its decoding must start
// from in front.
Status readStoredUnit(const Framing& framing, FileHandle& archive, const ExtractionPlan& plan, uint32_t u,
                      std::vector<uint8_t>& stored) {
  const uint64_t from = plan.units[decodingStart(framing, plan, u)].offset, length = plan.endOf(u) - from;
  Status read = length <= UINT32_MAX ? readArchiveBlock(archive, from, static_cast<uint32_t>(length), stored)
                                     : failure(StatusKind::EndedEarly, L"");
  if (read.kind != StatusKind::EndedEarly) return read;
  return failure(StatusKind::DamagedBlock, atFrame(framing.texts.endsEarly, unitsOf(plan).units[u].frameOffset));
}

// Unit `u` of a frame whose units decode in order, into `decoded`: the one
// decoder goes on from the unit before, or starts at the frame's first.
bool decodeInOrder(const Framing& framing, const FramedUnits& units, uint32_t u, const std::vector<uint8_t>& stored,
                   std::vector<uint8_t>& decoded) {
  InOrderDecoding& in = *units.inOrder;
  const std::lock_guard lock(in.mutex);
  if (!units.units[u].goesOn) {
    std::vector<uint8_t> saved;
    in.decoder = pointOf(framing, units, u, saved) == PointRead::Read ? framing.decodeInOrder(saved) : nullptr;
    in.ahead.clear();
    in.next = u;
  }
  if (!in.decoder || in.next != u) return false;
  decoded = std::move(in.ahead);
  const uint32_t length = units.units[u].decodedLength;
  if (!in.decoder(stored, decoded) || decoded.size() < length) {
    in.decoder = nullptr;
    return false;
  }
  in.ahead.assign(decoded.begin() + length, decoded.end());
  decoded.resize(length);
  in.next = u + 1;
  return true;
}

Status decodeUnit(const Framing& framing, const ExtractionPlan& plan, uint32_t u, const std::vector<uint8_t>& stored,
                  std::vector<uint8_t>& raw) {
  const FramedUnits& units = unitsOf(plan);
  const UnitSource& source = units.units[u];
  if (source.inOrder) {
    std::vector<uint8_t> decoded;
    if (!decodeInOrder(framing, units, u, stored, decoded)) {
      return failure(StatusKind::DamagedBlock, atFrame(framing.texts.invalidData, source.frameOffset));
    }
    return checkedPieces(framing, plan, u, decoded, raw);
  }
  // Stored bytes in front of the unit's own are those of the units readStoredUnit found to start from.
  uint32_t from = u;
  uint64_t skip = 0;
  while (plan.units[from].offset > plan.units[u].offset - (stored.size() - plan.units[u].storedSize)) {
    skip += units.units[--from].decodedLength;
  }
  const std::wstring lost = L"The journal no longer holds where this piece's decoding starts: ";
  if (from < units.lacksPoint.size() && units.lacksPoint[from]) {
    return failure(StatusKind::DamagedBlock, lost + frameOf(framing, plan, u));
  }
  std::vector<uint8_t> saved;
  const PointRead got = pointOf(framing, units, from, saved);
  if (got == PointRead::Unreadable) {
    return failure(StatusKind::Failed,
                   L"Unable to read where this piece's decoding starts: " + frameOf(framing, plan, u));
  }
  if (got == PointRead::Damaged) return failure(StatusKind::DamagedBlock, lost + frameOf(framing, plan, u));
  const std::span<const uint8_t> start =
      got == PointRead::Read ? std::span<const uint8_t>(saved) : std::span<const uint8_t>();
  const std::vector<uint8_t> end = endPointOf(framing, plan, u);
  // Not zeroed first: decoding fills all of it or fails.
  const auto decodedFrom = std::make_unique_for_overwrite<uint8_t[]>(framing.roomBefore + skip + source.decodedLength);
  const std::span<uint8_t> out(decodedFrom.get() + framing.roomBefore, skip + source.decodedLength);
  if (!(end.empty() ? framing.decode(start, stored, out) : framing.decodeToPoint(start, end, stored, out))) {
    return failure(StatusKind::DamagedBlock, atFrame(framing.texts.invalidData, source.frameOffset));
  }
  return checkedPieces(framing, plan, u, out.subspan(skip), raw);
}

// What a unit's decoding needs once the archive's bytes around it are gone.
void saveUnits(const ExtractionPlan& plan, RecordWriter& out) {
  const FramedUnits& units = unitsOf(plan);
  for (size_t u = 0; u < units.units.size(); ++u) {
    out.u64(units.units[u].frameOffset);
    out.u32(units.units[u].decodedLength);
    out.u32(units.units[u].decodedCrc);
    out.u8(units.points->placeOf(static_cast<uint32_t>(u)).length > 0 ? 1 : 0);
  }
  for (const uint32_t at : units.pieceAt) out.u32(at);
}

std::shared_ptr<UnitPoints> pointsOf(const ExtractionPlan& plan) { return unitsOf(plan).points; }

bool loadUnits(RecordReader& in, std::shared_ptr<UnitPoints> tail, ExtractionPlan& plan) {
  auto units = std::make_shared<FramedUnits>();
  const size_t count = plan.units.size();
  units->units.resize(count);
  units->lacksPoint.resize(count);
  for (size_t u = 0; u < count; ++u) {
    units->units[u] = {in.u64(), in.u32(), in.u32()};
    const bool startsAtPoint = in.u8() != 0;
    const bool inTail = tail->placeOf(static_cast<uint32_t>(u)).length > 0;
    if (inTail && !startsAtPoint) return false;
    units->lacksPoint[u] = startsAtPoint && !inTail;
  }
  for (size_t u = 0; u < count && in.ok(); ++u) {
    for (const PlanPiece& piece : plan.piecesOf(static_cast<uint32_t>(u))) {
      const uint32_t at = in.u32();
      if (uint64_t{at} + piece.length > units->units[u].decodedLength) return false;
      units->pieceAt.push_back(at);
    }
  }
  units->points = std::move(tail);
  plan.sourceData = std::move(units);
  return in.ok();
}

// Every member, as tar lists it, a later one of the same path too.
Status listMembers(const Framing& framing, FileHandle& file, const FileLister& onFile) {
  if (Status opened = openArchive(file); !opened.ok()) return opened;
  FramedPass pass(framing);
  if (Status passed = passOver(framing, file, nullptr, {}, pass); !passed.ok()) return passed;
  for (const TarMember& member : pass.scan.tar.contents.members) onFile(listedMember(member));
  return {};
}

bool recognises(const Framing& framing, std::span<const uint8_t> firstBytes, FileHandle&) {
  return framing.recognises(firstBytes);
}

}  // namespace

ArchiveSource framedTarSource(const Framing& framing) {
  // The framing is a row of the framing table, which lives as long as the program.
  const auto of = std::cref(framing);
  return {.format = formatOf(framing),
          .recognises = std::bind_front(recognises, of),
          .read = std::bind_front(readFramedTar, of),
          .readStored = std::bind_front(readStoredUnit, of),
          .decodeUnit = std::bind_front(decodeUnit, of),
          .list = std::bind_front(listMembers, of),
          .saveUnits = saveUnits,
          .points = pointsOf,
          .loadUnits = loadUnits};
}

}  // namespace ablative
