// Raw deflate decoded in steps, with points where decoding can start again:
// block boundaries, each with the bits of the byte before that belong to the
// next block and the 32 KiB window behind it. Zip entries and gzip members
// share it; each keeps its own checks and messages.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "codecs/record_bytes.h"
#include "framings/whole_inflate.h"
#include "platform/env.h"

namespace ablative {

// A place in a deflate stream where decoding can start again: a block
// boundary, with the bits of the last byte read that belong to the next block
// and the window of decoded bytes that later blocks may copy from.
struct InflatePoint {
  uint64_t inOffset = 0;   // compressed bytes before the point, from the stream's start
  uint64_t outOffset = 0;  // decoded bytes before it
  int bits = 0;            // 0 to 7 bits of the byte at inOffset - 1 still to be read
  uint8_t bitsValue = 0;   // those bits, in the low bits
  uint32_t crc = 0;        // CRC-32 of the decoded bytes before the point, since the last restart
  uint32_t windowLength = 0;
  uint8_t window[32768] = {};  // the last windowLength decoded bytes
};

// Room in front of what a stretch decodes to, for the window inflateStretch
// writes there.
inline constexpr uint32_t kInflateRoom = sizeof InflatePoint::window;

// The stretch of a raw deflate stream from `from` (the stream's start where
// null) to `to` (the stream's end where null), whose compressed bytes from
// `from` on are `stored`, as inflateStretch takes it.
DeflateStretch stretchBetween(const InflatePoint* from, const InflatePoint* to, std::span<const uint8_t> stored);

// A point as a journal's tail keeps it, and read back: false where the bytes
// are not one whole point.
void writePoint(const InflatePoint& point, RecordWriter& out);
bool readPoint(std::span<const uint8_t> bytes, InflatePoint& point);

// Where a point lies, in writePoint's form: its bytes' offset and length (0:
// there is none) and their CRC-32, and whether they are held in memory.
struct PointPlace {
  uint64_t offset = 0;
  uint32_t length = 0;
  uint32_t crc = 0;
  bool held = false;
};

enum class PointRead {
  None,        // the unit starts where decoding does: it needs no point
  Read,        // read and checked
  Unreadable,  // the system failed the read
  Damaged,     // the bytes are not the point's as written
};

// The points where units start, kept out of memory and read back one at a
// time, from any thread: first in a scratch file that the first pass appends
// them to (in memory where no file can be written there), then, once a
// journal's tail holds them, in that journal. Points cost 32 KiB each, and an
// archive of 100 GB has 25,000.
class UnitPoints {
 public:
  explicit UnitPoints(std::wstring scratchPath = {}) : scratchPath_(std::move(scratchPath)) {}
  ~UnitPoints();  // the scratch file goes
  UnitPoints(const UnitPoints&) = delete;
  UnitPoints& operator=(const UnitPoints&) = delete;

  // Keeps `point`, or a point saved as bytes (a leftover scratch file is
  // replaced first): where it lies.
  PointPlace keep(const InflatePoint& point);
  PointPlace keep(std::span<const uint8_t> saved);
  // Where each unit's point lies, from keep.
  void setPlaces(std::vector<PointPlace> places);
  // From now on the points lie in the file at `path`, where `places` say;
  // what keep held goes.
  void moveTo(std::wstring path, std::vector<PointPlace> places);

  PointPlace placeOf(uint32_t unit) const;
  PointRead bytesOf(uint32_t unit, std::vector<uint8_t>& bytes) const;
  PointRead read(uint32_t unit, InflatePoint& point) const;

 private:
  void dropScratch();

  mutable std::mutex mutex_;
  const std::wstring scratchPath_;
  bool scratchTried_ = false;
  mutable FileHandle scratch_;  // open while it holds points
  uint64_t scratchBytes_ = 0;
  std::vector<uint8_t> held_;
  std::wstring movedTo_;
  std::vector<PointPlace> places_;  // per unit
};

// Where a stream stands: bytes taken and made, and the CRC-32 of those made
// since the last restart.
struct InflateCursor {
  uint64_t in = 0;
  uint64_t out = 0;
  uint32_t crc = 0;
};

class RawInflate {
 public:
  RawInflate() = default;
  ~RawInflate();
  RawInflate(const RawInflate&) = delete;
  RawInflate& operator=(const RawInflate&) = delete;

  // Sets zlib up; false when memory is lacking.
  bool begin();
  // A new deflate stream from where this one stands (gzip's next member):
  // no window, the CRC-32 from zero.
  bool restart();
  // Continues from `point`, recorded in the same stream: feed the compressed
  // bytes from point.inOffset on. False when it cannot be restored.
  bool resumeAt(const InflatePoint& point);

  // Hands a point to `onPoint` at the first block boundary after each
  // `spacing` decoded bytes, when the caller asks with recordPointIfDue
  // (points cost a 32 KiB copy each).
  void recordPoints(uint64_t spacing, std::function<void(const InflatePoint&)> onPoint);
  void recordPointIfDue();
  bool recordsPoints() const { return static_cast<bool>(onPoint_); }

  // One inflate call into `output`, or, when `room` is 0, into a spare byte
  // that only a stream longer than wanted fills (TooLong).
  enum class Step { Progress, Stalled, Ended, TooLong, Invalid };
  Step step(const uint8_t*& input, size_t& inputLeft, uint8_t* output, size_t room);

  InflateCursor at;

 private:
  z_stream stream_{};
  bool begun_ = false;
  uint8_t lastInputByte_ = 0;
  uint64_t pointSpacing_ = 0;
  uint64_t nextPointAt_ = 0;
  std::function<void(const InflatePoint&)> onPoint_;
  std::unique_ptr<InflatePoint> point_;  // reused: each is 32 KiB
};

}  // namespace ablative
