#include "containers/targz_source.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <optional>

#include "codecs/crc32.h"
#include "codecs/record_bytes.h"
#include "containers/tar_format.h"
#include "containers/tar_layout.h"
#include "files/block_io.h"
#include "files/file_util.h"
#include "framings/gzip_format.h"
#include "platform/utf8.h"

namespace ablative {

namespace {

// No unit takes more, stored or decoded: a deflate block may decode to any
// length, and a unit ends only where a block does.
constexpr uint64_t kLargestPiece = 256u << 20;
constexpr uint32_t kDeflateCoding = 8;

bool fail(std::wstring& errorText, const std::wstring& message) {
  errorText = message;
  return false;
}

std::wstring atByte(uint64_t offset) { return L": at byte " + std::to_wstring(offset); }

constexpr wchar_t kNoTar[] = L"This gzip file holds no tar archive: decompress it with gunzip";

// Where a unit may start: a gzip member's deflate start (no point needed), or
// a recorded point.
struct PassPoint {
  uint64_t in = 0, out = 0;
  size_t member = 0;
  PointPlace point;
};

// Bytes of one member's data that one unit decodes, summed.
struct Segment {
  uint64_t from = 0, length = 0;
  uint32_t crc = 0;
  size_t unit = 0;  // the point it follows
};

// The tar read from the decoded stream as it comes: members by
// TarHeaderParser; every member's data summed per unit, which members are
// kept being known only at the end; each unit's decoded bytes summed whole.
class TarScan {
 public:
  explicit TarScan(const std::vector<PassPoint>& points) : points_(points) {}

  bool take(const uint8_t* bytes, size_t length, std::wstring& errorText) {
    sumRanges(bytes, length);
    while (length > 0) {
      const size_t n = takeSome(bytes, length, errorText);
      if (n == 0) return false;
      pos_ += n;
      bytes += n;
      length -= n;
    }
    return true;
  }

  // At the stream's end, as readTarMembers judges a tar file's end.
  bool finish(std::wstring& errorText) {
    if (ended_) return true;
    if (parser_.insideHeader()) return fail(errorText, L"Tar archive ends inside a header" + atByte(next_));
    if (blockFill_ > 0) {
      const auto nonZero = std::find_if(block_.begin(), block_.begin() + blockFill_, [](uint8_t b) { return b; });
      if (nonZero != block_.begin() + blockFill_) {
        if (next_ == 0) return fail(errorText, kNoTar);
        if (!zeroBlockAt_) return fail(errorText, L"Tar archive ends inside a header" + atByte(next_));
        contents.unaccounted = tarDataAfterEndText(next_ + (nonZero - block_.begin()));
      }
    }
    if (dataTo_ > pos_) {
      const TarMember& last = contents.members.back();
      return fail(errorText,
                  L"Tar member runs past the end of the archive: " +
                      (last.path.empty() ? L"at byte " + std::to_wstring(last.headerOffset) : nameFromBytes(last.path)));
    }
    contents.end = zeroBlockAt_.value_or(std::min(next_, pos_));
    return true;
  }

  // Whether the decoded bytes stop at `at` with the tar not ended: where a
  // consuming run cuts it. The members read then are those whose headers
  // came whole, the last one's data perhaps running past `at`; a header the
  // cut splits names nothing.
  bool stopsInsideTarAt(uint64_t at) const { return !ended_ && pos_ == at; }

  TarContents contents;
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
    for (uint64_t at = pos_; length > 0;) {
      rangeUnit_ = unitAt(at, rangeUnit_);
      rangeCrcs.resize(std::max(rangeCrcs.size(), rangeUnit_ + 1));
      const auto n = static_cast<size_t>(std::min<uint64_t>(length, unitEnd(rangeUnit_) - at));
      rangeCrcs[rangeUnit_] = crc32(rangeCrcs[rangeUnit_], bytes, n);
      at += n;
      bytes += n;
      length -= n;
    }
  }

  // Takes what comes next of `bytes`: data, padding, a header block's bytes
  // or what follows the end. Returns how many, 0 on a failure.
  size_t takeSome(const uint8_t* bytes, size_t length, std::wstring& errorText) {
    if (ended_) {
      const auto nonZero = std::find_if(bytes, bytes + length, [](uint8_t b) { return b; });
      if (nonZero != bytes + length && contents.unaccounted.empty()) {
        contents.unaccounted = tarDataAfterEndText(pos_ + (nonZero - bytes));
      }
      return length;
    }
    if (pos_ < next_) {
      if (pos_ < dataFrom_ || pos_ >= dataTo_) {
        return static_cast<size_t>(std::min<uint64_t>(length, (pos_ < dataFrom_ ? dataFrom_ : next_) - pos_));
      }
      return sumData(bytes, static_cast<size_t>(std::min<uint64_t>(length, dataTo_ - pos_)));
    }
    const size_t n = std::min<size_t>(length, kTarBlockSize - blockFill_);
    std::copy_n(bytes, n, block_.begin() + blockFill_);
    blockFill_ += n;
    if (blockFill_ == kTarBlockSize && !takeBlock(errorText)) return 0;
    return n;
  }

  size_t sumData(const uint8_t* bytes, size_t length) {
    unit_ = unitAt(pos_, unit_);
    const auto n = static_cast<size_t>(std::min<uint64_t>(length, unitEnd(unit_) - pos_));
    if (segments.empty() || segments.back().unit != unit_ || segments.back().from + segments.back().length != pos_) {
      segments.push_back({pos_, 0, 0, unit_});
    }
    Segment& segment = segments.back();
    segment.crc = crc32(segment.crc, bytes, n);
    segment.length += n;
    return n;
  }

  bool takeBlock(std::wstring& errorText) {
    blockFill_ = 0;
    const bool zeros = std::all_of(block_.begin(), block_.end(), [](uint8_t b) { return !b; });
    if (next_ == 0 && !zeros && !looksLikeTar(block_)) return fail(errorText, kNoTar);
    const bool betweenMembers = !parser_.insideHeader();
    switch (parser_.take(block_, next_, errorText)) {
      case TarStep::Failed: return false;
      case TarStep::NextBlock:
        if (betweenMembers && !zeroBlockAt_ && zeros) zeroBlockAt_ = next_;
        next_ += kTarBlockSize;
        return true;
      case TarStep::Member: {
        const TarMember& member = parser_.member();
        contents.members.push_back(member);
        dataFrom_ = member.dataOffset;
        dataTo_ = member.dataOffset + member.storedSize;
        next_ = tarNextHeader(member);
        return true;
      }
      case TarStep::End:
        ended_ = true;
        contents.end = zeroBlockAt_.value_or(next_);
        if (!zeros) contents.unaccounted = tarDataAfterEndText(next_);
        return true;
    }
    return false;
  }

  const std::vector<PassPoint>& points_;
  TarHeaderParser parser_;
  uint64_t pos_ = 0;   // of the next byte in the decoded stream
  uint64_t next_ = 0;  // the header block due
  bool ended_ = false;
  std::optional<uint64_t> zeroBlockAt_;
  std::array<uint8_t, kTarBlockSize> block_{};
  size_t blockFill_ = 0;
  uint64_t dataFrom_ = 0, dataTo_ = 0;  // the last member's data
  size_t unit_ = 0, rangeUnit_ = 0;
};

// What one pass over the archive found.
struct TargzPass {
  std::shared_ptr<UnitPoints> kept;
  std::vector<PassPoint> points;
  TarScan scan{points};
  std::vector<GzipMember> members;
  uint64_t archiveSize = 0;
  std::wstring unaccounted;  // the tar's, else the gzip stream's
};

// Decodes the archive once; with a `scratchPath`, records where units may
// start, keeping the points there (a listing needs none: the tar is then
// summed as one range).
bool passOver(const std::wstring& archivePath, const std::wstring* scratchPath, TargzPass& pass,
              std::wstring& errorText) {
  FileHandle file;
  if (!openFile(archivePath, OpenMode::ReadOnly, file) || !fileSize(file, pass.archiveSize)) {
    return fail(errorText, L"Unable to open archive file");
  }
  GzipPass gzip;
  gzip.onBytes = [&](const uint8_t* bytes, size_t length, std::wstring& why) {
    return pass.scan.take(bytes, length, why);
  };
  if (scratchPath) {
    gzip.pointSpacing = kTarPieceBytes;
    pass.kept = std::make_shared<UnitPoints>(*scratchPath);
    gzip.onPoint = [&](const InflatePoint& point) {
      const bool start = point.inOffset == gzip.members.back().deflateStart;
      pass.points.push_back(
          {point.inOffset, point.outOffset, gzip.members.size() - 1, start ? PointPlace{} : pass.kept->keep(point)});
    };
  }
  const bool read = readGzip(file, gzip, errorText);
  pass.members = std::move(gzip.members);
  if (!read || !pass.scan.finish(errorText)) return false;
  pass.unaccounted = pass.scan.contents.unaccounted.empty() ? gzip.unaccounted : pass.scan.contents.unaccounted;
  return true;
}

// How each unit decodes, beside the plan.
struct UnitSource {
  uint64_t memberOffset = 0;  // of its gzip member, for messages
  uint32_t decodedLength = 0;
  uint32_t decodedCrc = 0;
};

struct TargzUnits {
  std::vector<UnitSource> units;
  std::shared_ptr<UnitPoints> points;  // none at a member's start
  std::vector<uint32_t> pieceAt;       // per plan piece: where it lies in its unit's decoded bytes
  // Per unit, read from a journal: it starts at a point the journal's tail no
  // longer holds.
  std::vector<uint8_t> lacksPoint;
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
void placePieces(const std::vector<TarSpan>& spans, uint64_t from, const ExtractionPlan& plan, TargzUnits& units) {
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
void addCutAwayUnits(const TargzPass& pass, const std::vector<TarSpan>& spans, ExtractionPlan& plan, TargzUnits& units,
                     std::vector<PointPlace>& places) {
  const PassPoint& cut = pass.points.back();
  const uint64_t end = spans.empty() ? 0 : spans.back().streamOffset + spans.back().length;
  for (uint64_t at = cut.out; at < end; at += kTarPieceBytes) {
    const uint64_t to = std::min(end, at + kTarPieceBytes);
    const PlanUnit unit{.offset = pass.archiveSize + (at - cut.out),
                        .storedSize = static_cast<uint32_t>(to - at),
                        .coding = kDeflateCoding};
    if (addSpanUnit(spans, at, to, unit, plan) == 0) continue;
    units.units.push_back({pass.members[cut.member].offset, static_cast<uint32_t>(to - at), 0});
    places.emplace_back();
    placePieces(spans, at, plan, units);
  }
}

// Where the archive was cut, its last point starts no unit of its own: what
// it decoded to is gone.
bool cutUnits(const TargzPass& pass, bool cut, const std::vector<TarSpan>& spans, ExtractionPlan& plan,
              TargzUnits& units, std::wstring& errorText) {
  const std::vector<PassPoint>& points = pass.points;
  std::vector<PointPlace> places;
  size_t segment = 0;
  for (size_t i = 0; i + (cut ? 1 : 0) < points.size(); ++i) {
    const PassPoint& point = points[i];
    const GzipMember& member = pass.members[point.member];
    const bool nextInMember = i + 1 < points.size() && points[i + 1].member == point.member;
    const uint64_t inEnd = nextInMember ? points[i + 1].in : member.deflateEnd;
    const uint64_t outEnd = i + 1 < points.size() ? points[i + 1].out : pass.members.back().outEnd;
    const uint32_t crc = keptCrc(pass.scan.segments, segment, i, spans);
    // An empty member decodes to nothing: its range would give addSpanUnit
    // an empty piece of the span around it, and no unit to hold it.
    if (outEnd == point.out) continue;
    const PlanUnit unit{.offset = point.in,
                        .storedSize = static_cast<uint32_t>(inEnd - point.in),
                        .crc = crc,
                        .coding = kDeflateCoding};
    if (addSpanUnit(spans, point.out, outEnd, unit, plan) == 0) continue;
    if (inEnd - point.in > kLargestPiece || outEnd - point.out > kLargestPiece) {
      return fail(errorText,
                  L"Gzip stream cannot be split into pieces small enough to extract" + atByte(member.offset));
    }
    units.units.push_back({member.offset, static_cast<uint32_t>(outEnd - point.out),
                           i < pass.scan.rangeCrcs.size() ? pass.scan.rangeCrcs[i] : 0});
    places.push_back(point.point);
    placePieces(spans, point.out, plan, units);
  }
  if (cut) addCutAwayUnits(pass, spans, plan, units, places);
  units.points = pass.kept;
  units.points->setPlaces(std::move(places));
  return true;
}

// A consuming run cuts the archive where a unit starts, at a point the pass
// records: a stream that stops at one (in deflate data, past a header), the
// tar in it not ended, was cut by a run whose journal is gone. As with a cut
// tar, the members the decoded bytes name are the ones counted: those whose
// headers the cut took were made by that run.
bool cutWhereAUnitStarts(const TargzPass& pass) {
  if (pass.points.empty() || pass.points.back().in != pass.archiveSize) return false;
  const uint64_t at = pass.points.back().out;
  const TarMembers& members = pass.scan.contents.members;
  const uint64_t dataEnd = members.empty() ? 0 : members.back().dataOffset + members.back().storedSize;
  return pass.scan.stopsInsideTarAt(at) && (dataEnd <= at || dataEnd - at <= kLargestCutAway);
}

bool readTargz(const std::wstring& archivePath, const std::wstring& scratchPath, SourceReading& reading,
               std::wstring& errorText) {
  TargzPass pass;
  TarLayout layout;
  const bool whole = passOver(archivePath, &scratchPath, pass, errorText);
  const bool cut = !whole && cutWhereAUnitStarts(pass);
  if (cut) errorText.clear();
  if (!(whole || cut) || !layOutTar(pass.scan.contents, layout, errorText)) return false;
  auto plan = std::make_shared<ExtractionPlan>(std::move(layout.plan));
  plan->archiveSize = pass.archiveSize;
  plan->describedByJournal = true;
  plan->holesAreReleased = cut;
  auto units = std::make_shared<TargzUnits>();
  if (!cutUnits(pass, cut, layout.spans, *plan, *units, errorText)) return false;
  for (const GzipMember& member : pass.members) {
    plan->marks.push_back(
        {member.offset, static_cast<uint32_t>(member.deflateStart - member.offset), member.headerCrc});
  }
  plan->sourceData = std::move(units);
  reading = SourceReading{};
  reading.unitCount = static_cast<uint32_t>(plan->units.size());
  reading.facts.format = targzSource().format;
  reading.facts.blockSize = kTarPieceBytes;
  reading.facts.sourceBytes = layout.fileBytes;
  reading.skipped = std::move(layout.skipped);
  reading.unaccounted = std::move(pass.unaccounted);
  reading.plan = [plan](const UnitFilter&, ExtractionPlan& into, std::wstring&) {
    into = std::move(*plan);
    return true;
  };
  return true;
}

const TargzUnits& unitsOf(const ExtractionPlan& plan) { return *static_cast<const TargzUnits*>(plan.sourceData.get()); }

std::wstring memberAt(const ExtractionPlan& plan, uint32_t u) {
  return L"gzip member at byte " + std::to_wstring(unitsOf(plan).units[u].memberOffset);
}

// The unit whose start unit `u`'s decoding starts from: `u` itself, unless
// the journal lost or spoiled its point; then the nearest unit before it, in
// its member and adjacent all the way, whose point reads whole or that needs
// none. The archive still holds those units: they lie below `u`, and a run
// takes units from the archive's end. Where there is none, `u`, which fails.
uint32_t decodingStart(const ExtractionPlan& plan, uint32_t u) {
  const TargzUnits& units = unitsOf(plan);
  auto point = std::make_unique<InflatePoint>();
  for (uint32_t v = u;; --v) {
    const bool lacks = v < units.lacksPoint.size() && units.lacksPoint[v];
    if (!lacks && units.points->read(v, *point) != PointRead::Damaged) return v;
    if (v == 0 || units.units[v - 1].memberOffset != units.units[v].memberOffset ||
        plan.endOf(v - 1) != plan.units[v].offset) {
      return u;
    }
  }
}

// A unit's stored bytes, with those of the units its decoding must start
// from in front.
BlockRead readStoredUnit(FileHandle& archive, const ExtractionPlan& plan, uint32_t u, std::vector<uint8_t>& stored,
                         std::wstring& errorText) {
  const uint64_t from = plan.units[decodingStart(plan, u)].offset, length = plan.endOf(u) - from;
  std::wstring readError;
  if (length <= UINT32_MAX && readArchiveBlock(archive, from, static_cast<uint32_t>(length), stored, readError)) {
    return BlockRead::Verified;
  }
  if (!readError.empty()) return errorText = readError, BlockRead::Unreadable;
  errorText = L"Gzip data is damaged (ends early)" + atByte(unitsOf(plan).units[u].memberOffset);
  return BlockRead::Damaged;
}

BlockRead decodeUnit(const ExtractionPlan& plan, uint32_t u, const std::vector<uint8_t>& stored,
                     std::vector<uint8_t>& raw, std::wstring& errorText) {
  const TargzUnits& units = unitsOf(plan);
  const UnitSource& source = units.units[u];
  // Stored bytes in front of the unit's own are those of the units readStoredUnit found to start from.
  uint32_t from = u;
  uint64_t skip = 0;
  while (plan.units[from].offset > plan.units[u].offset - (stored.size() - plan.units[u].storedSize)) {
    skip += units.units[--from].decodedLength;
  }
  if (from < units.lacksPoint.size() && units.lacksPoint[from]) {
    errorText = L"The journal no longer holds where this piece's decoding starts: " + memberAt(plan, u);
    return BlockRead::Damaged;
  }
  auto point = std::make_unique<InflatePoint>();
  const PointRead got = units.points->read(from, *point);
  if (got == PointRead::Unreadable) {
    return errorText = L"Unable to read where this piece's decoding starts: " + memberAt(plan, u),
           BlockRead::Unreadable;
  }
  if (got == PointRead::Damaged) {
    errorText = L"The journal no longer holds where this piece's decoding starts: " + memberAt(plan, u);
    return BlockRead::Damaged;
  }
  std::vector<uint8_t> decodedFrom(skip + source.decodedLength);
  if (!inflateFrom(got == PointRead::Read ? point.get() : nullptr, stored, decodedFrom)) {
    errorText = L"Gzip data is damaged (invalid deflate data)" + atByte(source.memberOffset);
    return BlockRead::Damaged;
  }
  const std::span<const uint8_t> decoded(decodedFrom.data() + skip, source.decodedLength);
  const PlanUnit& unit = plan.units[u];
  raw.resize(unit.rawSize);
  for (uint32_t k = unit.firstPiece; k < unit.firstPiece + unit.pieceCount; ++k) {
    std::copy_n(decoded.begin() + units.pieceAt[k], plan.pieces[k].length, raw.begin() + plan.pieces[k].rawOffset);
  }
  // The raw bytes too: they are what the pieces' places in the decoded bytes
  // make of them.
  if (crc32(decoded.data(), decoded.size()) != source.decodedCrc || crc32(raw.data(), raw.size()) != unit.crc) {
    return errorText = L"Checksum verification failed: " + memberAt(plan, u), BlockRead::Damaged;
  }
  return BlockRead::Verified;
}

// What a unit's decoding needs once the archive's bytes around it are gone.
void saveUnits(const ExtractionPlan& plan, RecordWriter& out) {
  const TargzUnits& units = unitsOf(plan);
  for (size_t u = 0; u < units.units.size(); ++u) {
    out.u64(units.units[u].memberOffset);
    out.u32(units.units[u].decodedLength);
    out.u32(units.units[u].decodedCrc);
    out.u8(units.points->placeOf(static_cast<uint32_t>(u)).length > 0 ? 1 : 0);
  }
  for (const uint32_t at : units.pieceAt) out.u32(at);
}

std::shared_ptr<UnitPoints> pointsOf(const ExtractionPlan& plan) { return unitsOf(plan).points; }

bool loadUnits(RecordReader& in, std::shared_ptr<UnitPoints> tail, ExtractionPlan& plan) {
  auto units = std::make_shared<TargzUnits>();
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
bool listMembers(const std::wstring& archivePath, const FileLister& onFile, std::wstring& errorText) {
  TargzPass pass;
  if (!passOver(archivePath, nullptr, pass, errorText)) return false;
  for (const TarMember& member : pass.scan.contents.members) onFile(listedMember(member));
  return true;
}

bool recognisesGzip(std::span<const uint8_t> firstBytes, FileHandle&) { return looksLikeGzip(firstBytes); }

// The compressions refused by name, by their first bytes.
struct Compression {
  const wchar_t* name;
  std::string_view magic;
};
constexpr Compression kOtherCompressions[] = {
    {L"xz",
     {"\xfd"
      "7zXZ\0",
      6}},
    {L"bzip2", "BZh"},
    {L"Zstandard", "\x28\xb5\x2f\xfd"},
    {L"lzip", "LZIP"},
    {L"compress", "\x1f\x9d"},
};

const Compression* compressionOf(std::span<const uint8_t> firstBytes) {
  const std::string_view first(reinterpret_cast<const char*>(firstBytes.data()), firstBytes.size());
  for (const Compression& compression : kOtherCompressions) {
    if (first.starts_with(compression.magic)) return &compression;
  }
  return nullptr;
}

bool refuseCompression(const std::wstring& archivePath, std::wstring& errorText) {
  FileHandle file;
  uint8_t first[8];
  uint64_t got = 0;
  if (!openFile(archivePath, OpenMode::ReadOnly, file) || !readUpTo(file, first, sizeof first, sizeof first, got)) {
    return fail(errorText, L"Unable to open archive file");
  }
  const Compression* compression = compressionOf({first, got});
  return fail(errorText, L"Compressed archive (" + std::wstring(compression ? compression->name : L"unknown") +
                             L"), which this program cannot extract");
}

bool recognisesOtherCompression(std::span<const uint8_t> firstBytes, FileHandle&) {
  return compressionOf(firstBytes) != nullptr;
}
bool refuseReading(const std::wstring& archivePath, const std::wstring&, SourceReading&, std::wstring& errorText) {
  return refuseCompression(archivePath, errorText);
}
bool refuseListing(const std::wstring& archivePath, const FileLister&, std::wstring& errorText) {
  return refuseCompression(archivePath, errorText);
}

}  // namespace

const ArchiveSource& targzSource() {
  static const ArchiveSource source{.format = L"tar.gz",
                                    .recognises = recognisesGzip,
                                    .read = readTargz,
                                    .readStored = readStoredUnit,
                                    .decodeUnit = decodeUnit,
                                    .list = listMembers,
                                    .saveUnits = saveUnits,
                                    .points = pointsOf,
                                    .loadUnits = loadUnits};
  return source;
}

const ArchiveSource& otherCompressionSource() {
  // Only reading and listing are ever asked of it: both refuse.
  static const ArchiveSource source{.format = L"compressed",
                                    .recognises = recognisesOtherCompression,
                                    .read = refuseReading,
                                    .readStored = {},
                                    .decodeUnit = {},
                                    .list = refuseListing,
                                    .saveUnits = {},
                                    .points = {},
                                    .loadUnits = {}};
  return source;
}

}  // namespace ablative
