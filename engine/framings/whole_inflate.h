// Deflate data held whole, decoded at once into a buffer of known size with
// libdeflate, which inflates several times as fast as zlib but takes no
// window to start from and cannot stop inside a stream: a stretch between two
// points is spliced into a stream of its own for it, and what streams stays
// with zlib (inflate_points.h). This is the only code that calls libdeflate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace ablative {

// Decodes `stored`, which starts a raw deflate stream, into the front of
// `out`: true where the stream ends within `stored` having made no more than
// out.size() bytes, with `consumed` the bytes up to the one its last bit lies
// in and `produced` the bytes made. False on anything else (invalid data, a
// stream longer than `out`, memory lacking), `out` then unspecified: the
// caller decodes with zlib again, which tells what is wrong as it always has.
bool inflateWhole(std::span<const uint8_t> stored, std::span<uint8_t> out, size_t& consumed, size_t& produced);

// A stretch of a raw deflate stream between two block boundaries: the
// `firstBits` low bits of `firstBitsValue` (the rest of the byte before
// `stored`), then `stored`, whose last byte's `spareBits` high bits already
// belong to the block after the stretch; or, with spareBits -1, a stretch that
// ends with the stream's final block, within `stored`. `window` holds the
// bytes decoded before it (at most 32 KiB), which its blocks may copy from.
struct DeflateStretch {
  std::span<const uint8_t> window;
  int firstBits = 0;
  uint8_t firstBitsValue = 0;
  std::span<const uint8_t> stored;
  int spareBits = -1;
};

// Decodes `stretch` into all of `out` with libdeflate, as one stream that
// holds the window as a stored block, an empty block that puts the stretch at
// the bits within a byte it was written at (its stored blocks pad to the
// boundaries they were written to), the stretch, and an empty final block
// after it; the window.size() bytes before `out` must be writable, and the
// window is written there. False where it does not decode to exactly
// out.size() bytes, as inflateWhole is.
bool inflateStretch(const DeflateStretch& stretch, std::span<uint8_t> out);

}  // namespace ablative
