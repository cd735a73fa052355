// Raw deflate decoded in steps, with points where decoding can start again:
// block boundaries, each with the bits of the byte before that belong to the
// next block and the 32 KiB window behind it. Zip entries and gzip members
// share it; each keeps its own checks and messages.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "record_bytes.h"

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

// A point as a journal's tail keeps it, and read back: null where the bytes
// are not one whole point.
void writePoint(const InflatePoint& point, RecordWriter& out);
std::shared_ptr<const InflatePoint> readPoint(std::span<const uint8_t> bytes);

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
