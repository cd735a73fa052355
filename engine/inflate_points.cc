#include "inflate_points.h"

#include <algorithm>
#include <climits>

#include "crc32.h"

namespace ablative {

namespace {

constexpr int kRawDeflate = -15;  // window bits: 32 KiB, no zlib header
// A deflate stream whose reading stopped mid-block; zlib reports them on data_type.
constexpr int kUnusedBitsMask = 7;
constexpr int kLastBlock = 64;
constexpr int kAtBlockBoundary = 128;

// zlib counts in unsigned int; larger pieces are taken in several calls.
uInt zlibLength(uint64_t length) { return static_cast<uInt>(std::min<uint64_t>(length, UINT_MAX)); }

}  // namespace

RawInflate::~RawInflate() {
  if (begun_) inflateEnd(&stream_);
}

bool RawInflate::begin() { return begun_ = inflateInit2(&stream_, kRawDeflate) == Z_OK; }

bool RawInflate::restart() {
  at.crc = 0;
  nextPointAt_ = at.out + pointSpacing_;
  return begun_ && inflateReset(&stream_) == Z_OK;
}

bool RawInflate::resumeAt(const InflatePoint& point) {
  if (point.bits < 0 || point.bits > kUnusedBitsMask || point.windowLength > sizeof point.window || !begun_ ||
      inflateReset(&stream_) != Z_OK ||
      (point.bits > 0 && inflatePrime(&stream_, point.bits, point.bitsValue) != Z_OK) ||
      (point.windowLength > 0 && inflateSetDictionary(&stream_, point.window, point.windowLength) != Z_OK)) {
    return false;
  }
  at = {point.inOffset, point.outOffset, point.crc};
  nextPointAt_ = at.out + pointSpacing_;
  return true;
}

void RawInflate::recordPoints(uint64_t spacing, std::function<void(const InflatePoint&)> onPoint) {
  pointSpacing_ = spacing;
  nextPointAt_ = at.out + spacing;
  onPoint_ = std::move(onPoint);
  if (onPoint_ && !point_) point_ = std::make_unique<InflatePoint>();
}

void RawInflate::recordPointIfDue() {
  const int type = stream_.data_type;
  if (!onPoint_ || !(type & kAtBlockBoundary) || (type & kLastBlock) || at.out < nextPointAt_) return;
  InflatePoint& point = *point_;
  const int bits = type & kUnusedBitsMask;
  point.inOffset = at.in;
  point.outOffset = at.out;
  point.bits = bits;
  point.bitsValue = bits == 0 ? 0 : static_cast<uint8_t>(lastInputByte_ >> (8 - bits));
  point.crc = at.crc;
  uInt length = sizeof point.window;
  inflateGetDictionary(&stream_, point.window, &length);
  point.windowLength = length;
  onPoint_(point);
  nextPointAt_ = at.out + pointSpacing_;
}

RawInflate::Step RawInflate::step(const uint8_t*& input, size_t& inputLeft, uint8_t* output, size_t room) {
  uint8_t spare = 0;
  const bool probing = room == 0;
  stream_.next_in = const_cast<Bytef*>(input);
  stream_.avail_in = zlibLength(inputLeft);
  stream_.next_out = probing ? &spare : output;
  stream_.avail_out = probing ? 1 : zlibLength(room);
  // Z_BLOCK stops at each block boundary, where a point may be due.
  const int result = inflate(&stream_, onPoint_ ? Z_BLOCK : Z_NO_FLUSH);
  const size_t taken = stream_.next_in - input, made = stream_.next_out - (probing ? &spare : output);
  if (taken > 0) lastInputByte_ = input[taken - 1];
  input += taken;
  inputLeft -= taken;
  at.in += taken;
  if (probing && made > 0) return Step::TooLong;
  if (!probing) {
    at.crc = crc32(at.crc, output, made);
    at.out += made;
  }
  if (result == Z_STREAM_END) return Step::Ended;
  if (result != Z_OK && result != Z_BUF_ERROR) return Step::Invalid;
  return taken + made > 0 ? Step::Progress : Step::Stalled;
}

void writePoint(const InflatePoint& point, RecordWriter& out) {
  out.u64(point.inOffset);
  out.u64(point.outOffset);
  out.u32(static_cast<uint32_t>(point.bits));
  out.u32(point.bitsValue);
  out.u32(point.crc);
  out.u32(point.windowLength);
  out.raw(point.window, point.windowLength);
}

std::shared_ptr<const InflatePoint> readPoint(std::span<const uint8_t> bytes) {
  RecordReader in(bytes.data(), bytes.size());
  auto point = std::make_shared<InflatePoint>();
  point->inOffset = in.u64();
  point->outOffset = in.u64();
  point->bits = static_cast<int>(in.u32());
  point->bitsValue = static_cast<uint8_t>(in.u32());
  point->crc = in.u32();
  point->windowLength = in.u32();
  if (point->bits > 7 || point->windowLength > sizeof point->window || !in.raw(point->window, point->windowLength) ||
      !in.atEnd()) {
    return nullptr;
  }
  return point;
}

}  // namespace ablative
