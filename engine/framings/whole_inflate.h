// Deflate data held whole, decoded at once into a buffer of known size with
// libdeflate, which inflates several times as fast as zlib but takes no
// window to start from and cannot stop inside a stream: what streams or
// starts from a window stays with zlib (inflate_points.h). This is the only
// code that calls libdeflate.
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

}  // namespace ablative
