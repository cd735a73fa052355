#include "framings/gzip_framing.h"

#include <memory>

#include "codecs/record_bytes.h"
#include "framings/gzip_format.h"

namespace ablative {

namespace {

constexpr uint32_t kDeflateCoding = 8;

Status passOver(FileHandle& file, FramingPass& pass) {
  GzipPass gzip;
  gzip.onBytes = pass.onBytes;
  gzip.pointSpacing = pass.pointSpacing;
  RecordWriter saved;
  if (pass.onPoint) {
    gzip.onPoint = [&](const InflatePoint& point) {
      // A member's deflate start needs no state to decode from.
      saved.bytes().clear();
      if (point.inOffset != gzip.members.back().dataStart) writePoint(point, saved);
      pass.onPoint({point.inOffset, point.outOffset, gzip.members.size() - 1, saved.bytes()});
    };
  }
  Status read = readGzip(file, gzip);
  pass.frames = std::move(gzip.members);
  pass.unaccounted = std::move(gzip.unaccounted);
  return read;
}

bool pointReads(std::span<const uint8_t> saved) {
  auto point = std::make_unique<InflatePoint>();
  return readPoint(saved, *point);
}

// A point that does not read is no end to decode to: zlib then finds the end as it decodes.
bool decodeToPoint(std::span<const uint8_t> saved, std::span<const uint8_t> savedNext, std::span<const uint8_t> stored,
                   std::span<uint8_t> out) {
  std::unique_ptr<InflatePoint> from, to;
  if (!saved.empty() && !readPoint(saved, *(from = std::make_unique<InflatePoint>()))) return false;
  if (!savedNext.empty() && !readPoint(savedNext, *(to = std::make_unique<InflatePoint>()))) to.reset();
  return inflateFrom(from.get(), to.get(), stored, out);
}

bool decode(std::span<const uint8_t> saved, std::span<const uint8_t> stored, std::span<uint8_t> out) {
  return decodeToPoint(saved, {}, stored, out);
}

}  // namespace

const Framing& gzipFraming() {
  static const Framing framing{
      .name = L"gz",
      .coding = kDeflateCoding,
      .recognises = looksLikeGzip,
      .pass = passOver,
      .pointReads = pointReads,
      .decode = decode,
      .decodeToPoint = decodeToPoint,
      .roomBefore = kInflateRoom,
      .decodeInOrder = nullptr,  // every piece starts at a point
      .texts = {.frame = L"gzip member at byte ",
                .endsEarly = L"Gzip data is damaged (ends early): at byte ",
                .invalidData = L"Gzip data is damaged (invalid deflate data): at byte ",
                .unsplittable = L"Gzip stream cannot be split into pieces small enough to extract: at byte ",
                .fileNoun = L"gzip file",
                .decompressor = L"gunzip"}};
  return framing;
}

}  // namespace ablative
