#include "framings/inflate_points.h"

#include <algorithm>
#include <climits>

#include "codecs/crc32.h"
#include "files/block_io.h"
#include "files/file_util.h"

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

DeflateStretch stretchBetween(const InflatePoint* from, const InflatePoint* to, std::span<const uint8_t> stored) {
  return {.window =
              from != nullptr ? std::span<const uint8_t>(from->window, from->windowLength) : std::span<const uint8_t>(),
          .firstBits = from != nullptr ? from->bits : 0,
          .firstBitsValue = from != nullptr ? from->bitsValue : uint8_t{0},
          .stored = stored,
          .spareBits = to != nullptr ? to->bits : -1};
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

bool readPoint(std::span<const uint8_t> bytes, InflatePoint& point) {
  RecordReader in(bytes.data(), bytes.size());
  point.inOffset = in.u64();
  point.outOffset = in.u64();
  point.bits = static_cast<int>(in.u32());
  point.bitsValue = static_cast<uint8_t>(in.u32());
  point.crc = in.u32();
  point.windowLength = in.u32();
  return point.bits <= 7 && point.windowLength <= sizeof point.window && in.raw(point.window, point.windowLength) &&
         in.atEnd();
}

UnitPoints::~UnitPoints() { dropScratch(); }

void UnitPoints::dropScratch() {
  if (!scratch_.isOpen()) return;
  scratch_.close();
  removeFile(scratchPath_);
}

PointPlace UnitPoints::keep(const InflatePoint& point) {
  RecordWriter out;
  writePoint(point, out);
  return keep(out.bytes());
}

PointPlace UnitPoints::keep(std::span<const uint8_t> bytes) {
  PointPlace place{0, static_cast<uint32_t>(bytes.size()), crc32(bytes.data(), bytes.size())};
  const std::lock_guard lock(mutex_);
  if (!scratchTried_ && !scratchPath_.empty()) {
    // Created exclusively after a leftover is removed, so no planted link redirects it.
    removeFile(scratchPath_);
    openFile(scratchPath_, OpenMode::CreateNew, scratch_);
  }
  scratchTried_ = true;
  place.offset = scratchBytes_;
  if (scratch_.isOpen() && seekFile(scratch_, scratchBytes_) && writeFully(scratch_, bytes.data(), bytes.size())) {
    scratchBytes_ += bytes.size();
    return place;
  }
  place.offset = held_.size();
  place.held = true;
  held_.insert(held_.end(), bytes.begin(), bytes.end());
  return place;
}

void UnitPoints::setPlaces(std::vector<PointPlace> places) {
  const std::lock_guard lock(mutex_);
  places_ = std::move(places);
}

void UnitPoints::moveTo(std::wstring path, std::vector<PointPlace> places) {
  const std::lock_guard lock(mutex_);
  dropScratch();
  std::vector<uint8_t>().swap(held_);
  movedTo_ = std::move(path);
  places_ = std::move(places);
}

PointPlace UnitPoints::placeOf(uint32_t unit) const {
  const std::lock_guard lock(mutex_);
  return unit < places_.size() ? places_[unit] : PointPlace{};
}

PointRead UnitPoints::bytesOf(uint32_t unit, std::vector<uint8_t>& bytes) const {
  std::unique_lock lock(mutex_);
  const PointPlace place = unit < places_.size() ? places_[unit] : PointPlace{};
  if (place.length == 0) return PointRead::None;
  bytes.resize(place.length);
  if (place.held) {
    if (place.offset + place.length > held_.size()) return PointRead::Damaged;
    std::copy_n(held_.begin() + static_cast<ptrdiff_t>(place.offset), place.length, bytes.begin());
  } else if (movedTo_.empty()) {
    if (!seekFile(scratch_, place.offset) || !readFully(scratch_, bytes.data(), place.length)) {
      return PointRead::Unreadable;
    }
  } else {
    // A handle of its own for each read: other threads read too, and the
    // journal's own handle moves as states are written.
    const std::wstring path = movedTo_;
    lock.unlock();
    FileHandle file;
    uint64_t size = 0;
    if (!openFile(path, OpenMode::ReadOnly, file) || !fileSize(file, size)) return PointRead::Unreadable;
    if (place.offset + place.length > size) return PointRead::Damaged;
    if (!seekFile(file, place.offset) || !readFully(file, bytes.data(), place.length)) return PointRead::Unreadable;
  }
  return crc32(bytes.data(), bytes.size()) == place.crc ? PointRead::Read : PointRead::Damaged;
}

PointRead UnitPoints::read(uint32_t unit, InflatePoint& point) const {
  std::vector<uint8_t> bytes;
  const PointRead got = bytesOf(unit, bytes);
  if (got != PointRead::Read) return got;
  return readPoint(bytes, point) ? PointRead::Read : PointRead::Damaged;
}

}  // namespace ablative
