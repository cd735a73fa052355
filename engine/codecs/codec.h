// The block codec: how one block's raw bytes are stored in the archive.
//
// A block is stored either run-length coded (Rle) or as it stands (Stored).
// The writer picks Rle only when the coded form is strictly shorter than the
// raw bytes, so a stored block is never larger than its raw size.
//
// The coded form is a sequence of packets, each led by a control byte c:
//   0x00..0x7F  literal: the next c+1 bytes (1..128) are copied as they stand.
//   0x80..0xFF  repeat:  the next byte v is produced (c & 0x7F)+3 times (3..130).
// There is no no-op packet and no repeat of 2. The coding is part of the
// on-disk format: rleEncode's output is byte-exact and must not change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ablative {

// The codec field of a block as written by archive versions 3 and 4; version
// 4 adds Zstandard, one frame a block.
enum class BlockCodec : uint32_t { Rle = 0, Stored = 1, Zstd = 2 };

// The largest block Zstandard codes: no table can make a reader allocate more
// for one block.
inline constexpr uint32_t kLargestZstdBlock = 256u << 20;

// Codes `length` bytes in one greedy pass: wherever three or more equal bytes
// start, a repeat packet takes them (at most 130; a longer run is cut and the
// rest coded afresh); everything else gathers into literals of up to 128
// bytes. Two equal bytes stay inside a literal. The result is at most
// length + ceil(length / 128) bytes.
std::vector<uint8_t> rleEncode(const uint8_t* data, size_t length);

// The packets' limits.
inline constexpr size_t kRleMaxLiteral = 128;
inline constexpr size_t kRleMinRepeat = 3;
inline constexpr size_t kRleMaxRepeat = 130;
// The most raw bytes a coded byte can stand for: a repeat packet's two give 130.
inline constexpr size_t kRleLargestExpansion = kRleMaxRepeat / 2;

// The largest coded form of `length` bytes: all literals.
constexpr size_t rleBound(size_t length) { return length + (length + kRleMaxLiteral - 1) / kRleMaxLiteral; }

// rleEncode for a writer that stores a block raw unless coding shrinks it:
// codes into the caller's buffer `out` of `length` bytes (no allocation, no
// zero fill). Returns true with exactly rleEncode's bytes in
// out[0, codedLength) when they are strictly fewer than `length`; returns
// false, leaving `out` unspecified, as soon as the coded form reaches
// `length`, without coding the rest.
bool rleEncodeIfSmaller(const uint8_t* data, size_t length, uint8_t* out, size_t& codedLength);

// Decodes `coded` into `out`, replacing its contents. Succeeds only when the
// packets are well formed and produce exactly `expectedSize` bytes; never
// writes more than `expectedSize` bytes whatever the input claims. `out` is
// sized to `expectedSize` up front, so callers must bound it; only growth
// beyond its current size is zero filled, so a vector reused across blocks
// costs nothing extra. On failure the contents of `out` are unspecified.
bool rleDecode(const uint8_t* coded, size_t codedLength, uint32_t expectedSize, std::vector<uint8_t>& out);
bool rleDecode(const std::vector<uint8_t>& coded, uint32_t expectedSize, std::vector<uint8_t>& out);

// rleDecode into the caller's buffer of exactly `size` bytes, for callers
// that keep one buffer across blocks. Succeeds only when the packets are well
// formed and fill it exactly; never writes outside it. On failure its
// contents are unspecified.
bool rleDecodeInto(const uint8_t* coded, size_t codedLength, uint8_t* out, size_t size);

}  // namespace ablative
