#include "codec.h"

#include <bit>
#include <cstring>

namespace ablative {
namespace {

constexpr size_t kMaxLiteral = 128;
constexpr size_t kMinRepeat = 3;
constexpr size_t kMaxRepeat = 130;

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

// Little-endian 8-byte load: byte k of the input lands in bits 8k..8k+7 on any
// host, so the bit tricks below find the first matching byte by counting
// trailing zeros. memcpy keeps it legal at any alignment.
inline uint64_t loadLe64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) {
    v = __builtin_bswap64(v);
  }
  return v;
}

// Bit 7 of byte k is set where byte k of `x` is zero. Only the lowest flagged
// byte is exact (a borrow can flag bytes above a true zero), which is all the
// callers use.
inline uint64_t zeroBytes(uint64_t x) { return (x - kOnes) & ~x & kHighs; }

// Length of the run of data[i] starting at i, capped at kMaxRepeat.
inline size_t measureRun(const uint8_t* data, size_t length, size_t i) {
  const size_t limit = (length - i < kMaxRepeat) ? length - i : kMaxRepeat;
  const uint8_t v = data[i];
  size_t r = 1;
  // Eight bytes at a time: a run-heavy block would otherwise spend most of its
  // time here, one compare per byte.
  const uint64_t pattern = kOnes * v;
  while (r + 8 <= limit) {
    const uint64_t diff = loadLe64(data + i + r) ^ pattern;
    if (diff != 0) return r + (std::countr_zero(diff) >> 3);
    r += 8;
  }
  while (r < limit && data[i + r] == v) ++r;
  return r;
}

// True when a repeat starts at i, i.e. bytes i, i+1 and i+2 are equal. This is
// the same test as measureRun(...) >= 3, minus the counting.
inline bool repeatStartsAt(const uint8_t* data, size_t length, size_t i) {
  return i + 2 < length && data[i] == data[i + 1] && data[i] == data[i + 2];
}

// Byte k of the result has bit 7 set where bytes k, k+1 and k+2 of the 16
// bytes lo:hi are equal, for k = 0..7; only the lowest flag is exact.
inline uint64_t repeatStarts(uint64_t lo, uint64_t hi) {
  const uint64_t next = (lo >> 8) | (hi << 56);
  const uint64_t after = (lo >> 16) | (hi << 48);
  return zeroBytes((lo ^ next) | (lo ^ after));
}

// Returns where a literal starting at `start` ends: at the first position
// where a repeat starts, at 128 bytes, or at the end of the data. The caller
// has checked that no repeat starts at `start` itself.
inline size_t scanLiteral(const uint8_t* data, size_t length, size_t start) {
  const size_t limit = (length - start < kMaxLiteral) ? length : start + kMaxLiteral;
  size_t i = start;
  // Incompressible data spends its time here, so eight start positions are
  // tested per step with word arithmetic; the step reads bytes i..i+15.
  // Sixteen steps land exactly on the 128 limit, leaving no bytewise tail.
  while (i + 8 <= limit && i + 16 <= length) {
    const uint64_t hits = repeatStarts(loadLe64(data + i), loadLe64(data + i + 8));
    if (hits != 0) return i + (std::countr_zero(hits) >> 3);
    i += 8;
  }
  while (i < limit && !repeatStartsAt(data, length, i)) ++i;
  return i;
}

}  // namespace

std::vector<uint8_t> rleEncode(const uint8_t* data, size_t length) {
  // Worst case is all literals, length + ceil(length/128); this bound leaves
  // room so the loop below writes through a raw pointer with no growth checks.
  std::vector<uint8_t> out(length + 16 + length / 8);
  uint8_t* dst = out.data();

  size_t i = 0;
  while (i < length) {
    const size_t run = measureRun(data, length, i);
    if (run >= kMinRepeat) {
      *dst++ = static_cast<uint8_t>(0x80 | (run - kMinRepeat));
      *dst++ = data[i];
      i += run;
      continue;
    }
    // Byte i starts no repeat, so the scan is sure to take it.
    const size_t start = i;
    i = scanLiteral(data, length, i);
    const size_t count = i - start;
    *dst++ = static_cast<uint8_t>(count - 1);
    std::memcpy(dst, data + start, count);
    dst += count;
  }

  out.resize(static_cast<size_t>(dst - out.data()));
  return out;
}

bool rleDecode(const uint8_t* coded, size_t codedLength, uint32_t expectedSize, std::vector<uint8_t>& out) {
  out.clear();
  // Two coded bytes yield at most 130 raw ones. A size no input of this length
  // can reach fails before it can drive a huge allocation.
  if (uint64_t{expectedSize} > uint64_t{codedLength} * 65) return false;
  out.reserve(expectedSize);

  // Every packet is checked against both ends before anything is appended, so
  // a hostile stream can neither read past `coded` nor grow `out` past
  // expectedSize. Within the reserved capacity the inserts are plain
  // memcpy/memset.
  size_t p = 0;
  while (p < codedLength) {
    const uint8_t c = coded[p++];
    const size_t room = expectedSize - out.size();
    if (c < 0x80) {
      const size_t n = static_cast<size_t>(c) + 1;
      if (n > codedLength - p || n > room) return false;
      out.insert(out.end(), coded + p, coded + p + n);
      p += n;
    } else {
      const size_t n = static_cast<size_t>(c & 0x7F) + kMinRepeat;
      if (p == codedLength || n > room) return false;
      out.insert(out.end(), n, coded[p++]);
    }
  }
  return out.size() == expectedSize;
}

bool rleDecode(const std::vector<uint8_t>& coded, uint32_t expectedSize, std::vector<uint8_t>& out) {
  return rleDecode(coded.data(), coded.size(), expectedSize, out);
}

bool decodeBlock(uint32_t archiveVersion, uint32_t codec, const uint8_t* stored, size_t storedLength,
                 uint32_t rawSize, std::vector<uint8_t>& out) {
  if (archiveVersion == 2) {
    // Version 2 had no Stored codec; whatever the field holds, the block is coded.
    return rleDecode(stored, storedLength, rawSize, out);
  }
  if (archiveVersion != 3) return false;

  if (codec == static_cast<uint32_t>(BlockCodec::Rle)) {
    return rleDecode(stored, storedLength, rawSize, out);
  }
  if (codec == static_cast<uint32_t>(BlockCodec::Stored)) {
    if (storedLength != rawSize) return false;
    out.assign(stored, stored + storedLength);
    return true;
  }
  return false;
}

}  // namespace ablative
