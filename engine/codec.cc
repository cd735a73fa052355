#include "codec.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "codec_kernels.h"
#include "coding.h"

#if ZARVIK_X86_64
#include <immintrin.h>
#endif

namespace ablative {
namespace {

constexpr size_t kMaxLiteral = 128;
constexpr size_t kMinRepeat = 3;
constexpr size_t kMaxRepeat = 130;

// ---- Run detection. Each scanner provides
//   findRepeat(p, limit, end): the first q in [p, limit) where a repeat
//     starts (q[0], q[1] and q[2] equal and before end), else limit;
//   runEnd(p, end): the first q after p with *q != *p, else end.
// The encoder below is the same for all of them.

// A repeat start within the last few bytes, one position at a time.
inline const uint8_t* findRepeatBytewise(const uint8_t* p, const uint8_t* limit, const uint8_t* end) {
  for (; p < limit && end - p >= 3; ++p) {
    if (p[0] == p[1] && p[0] == p[2]) return p;
  }
  return limit;
}

inline const uint8_t* runEndBytewise(const uint8_t* p, const uint8_t* q, const uint8_t* end) {
  while (q < end && *q == *p) ++q;
  return q;
}

// Word arithmetic, for hosts without a vector unit the code knows.
struct PortableScan {
  static constexpr uint64_t kOnes = 0x0101010101010101ULL;
  static constexpr uint64_t kHighs = 0x8080808080808080ULL;

  // Bit 7 of byte k is set where byte k of x is zero. Only the lowest flag is
  // exact (a borrow can flag bytes above a true zero), which is all we use.
  static uint64_t zeroBytes(uint64_t x) { return (x - kOnes) & ~x & kHighs; }

  static const uint8_t* findRepeat(const uint8_t* p, const uint8_t* limit, const uint8_t* end) {
    // Eight start positions per step; a step reads bytes p..p+15.
    while (p < limit && end - p >= 16) {
      const uint64_t lo = loadLe64(p);
      const uint64_t hi = loadLe64(p + 8);
      const uint64_t next = (lo >> 8) | (hi << 56);
      const uint64_t after = (lo >> 16) | (hi << 48);
      const uint64_t hits = zeroBytes((lo ^ next) | (lo ^ after));
      if (hits != 0) return std::min(p + (std::countr_zero(hits) >> 3), limit);
      p += 8;
    }
    return findRepeatBytewise(p, limit, end);
  }

  static const uint8_t* runEnd(const uint8_t* p, const uint8_t* end) {
    const uint64_t pattern = kOnes * *p;
    const uint8_t* q = p + 1;
    while (end - q >= 8) {
      const uint64_t diff = loadLe64(q) ^ pattern;
      if (diff != 0) return q + (std::countr_zero(diff) >> 3);
      q += 8;
    }
    return runEndBytewise(p, q, end);
  }
};

#if ZARVIK_X86_64
// SSE2 is part of x86-64 itself, so this needs no run-time check.
struct Sse2Scan {
  static __m128i load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

  // Bit k says bytes k, k+1 and k+2 are equal, for 16 start positions from
  // three overlapping loads (18 bytes read).
  static uint64_t repeatMask(const uint8_t* p) {
    const __m128i a = load(p);
    const __m128i same = _mm_and_si128(_mm_cmpeq_epi8(a, load(p + 1)), _mm_cmpeq_epi8(a, load(p + 2)));
    return static_cast<unsigned>(_mm_movemask_epi8(same));
  }

  static const uint8_t* findRepeat(const uint8_t* p, const uint8_t* limit, const uint8_t* end) {
    // 64 positions per step, so most literals end within the first step and
    // the loop exit is predictable; the masks are cheap next to a mispredict.
    while (p < limit && end - p >= 66) {
      const uint64_t mask =
          repeatMask(p) | repeatMask(p + 16) << 16 | repeatMask(p + 32) << 32 | repeatMask(p + 48) << 48;
      if (mask != 0) return std::min(p + std::countr_zero(mask), limit);
      p += 64;
    }
    while (p < limit && end - p >= 18) {
      const uint64_t mask = repeatMask(p);
      if (mask != 0) return std::min(p + std::countr_zero(mask), limit);
      p += 16;
    }
    return findRepeatBytewise(p, limit, end);
  }

  static const uint8_t* runEnd(const uint8_t* p, const uint8_t* end) {
    const __m128i value = _mm_set1_epi8(static_cast<char>(*p));
    const uint8_t* q = p + 1;
    while (end - q >= 16) {
      const auto differ = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(load(q), value))) ^ 0xFFFFu;
      if (differ != 0) return q + std::countr_zero(differ);
      q += 16;
    }
    return runEndBytewise(p, q, end);
  }
};
#endif

#if ZARVIK_X86_WIDE
#define ZARVIK_AVX2 __attribute__((target("avx2")))

// The SSE2 scanner at twice the width, for CPUs that have AVX2 (picked at
// run time; the file itself is built for the baseline).
struct Avx2Scan {
  ZARVIK_AVX2 static __m256i load(const uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }

  ZARVIK_AVX2 static uint32_t repeatMask(const uint8_t* p) {
    const __m256i a = load(p);
    const __m256i same = _mm256_and_si256(_mm256_cmpeq_epi8(a, load(p + 1)), _mm256_cmpeq_epi8(a, load(p + 2)));
    return static_cast<uint32_t>(_mm256_movemask_epi8(same));
  }

  ZARVIK_AVX2 static const uint8_t* findRepeat(const uint8_t* p, const uint8_t* limit, const uint8_t* end) {
    // 64 positions per step, as in the SSE2 scanner.
    while (p < limit && end - p >= 66) {
      const uint64_t mask = repeatMask(p) | uint64_t{repeatMask(p + 32)} << 32;
      if (mask != 0) return std::min(p + std::countr_zero(mask), limit);
      p += 64;
    }
    while (p < limit && end - p >= 34) {
      const uint32_t mask = repeatMask(p);
      if (mask != 0) return std::min(p + std::countr_zero(mask), limit);
      p += 32;
    }
    return findRepeatBytewise(p, limit, end);
  }

  ZARVIK_AVX2 static const uint8_t* runEnd(const uint8_t* p, const uint8_t* end) {
    const __m256i value = _mm256_set1_epi8(static_cast<char>(*p));
    const uint8_t* q = p + 1;
    while (end - q >= 32) {
      const uint32_t differ = ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(load(q), value)));
      if (differ != 0) return q + std::countr_zero(differ);
      q += 32;
    }
    return runEndBytewise(p, q, end);
  }
};
#endif

// ---- The encoder, one greedy pass.

template <class Scan>
inline size_t encodeWith(const uint8_t* data, size_t length, uint8_t* out, size_t capacity) {
  const uint8_t* p = data;
  const uint8_t* const end = data + length;
  uint8_t* dst = out;
  uint8_t* const outEnd = out + capacity;

  while (p < end) {
    if (end - p >= 3 && p[0] == p[1] && p[0] == p[2]) {
      // Measure the whole run once; a run longer than 130 is cut into 130s
      // and what is left is coded afresh, as a repeat if 3 or more.
      const uint8_t value = *p;
      const uint8_t* const runEnd = Scan::runEnd(p, end);
      const auto run = static_cast<size_t>(runEnd - p);
      size_t left = run % kMaxRepeat;
      const size_t packets = run / kMaxRepeat + (left >= kMinRepeat ? 1 : 0);
      if (2 * packets > static_cast<size_t>(outEnd - dst)) return kRleTooLong;
      for (size_t k = run / kMaxRepeat; k > 0; --k) {
        *dst++ = 0xFF;
        *dst++ = value;
      }
      if (left >= kMinRepeat) {
        *dst++ = static_cast<uint8_t>(0x80 | (left - kMinRepeat));
        *dst++ = value;
        left = 0;
      }
      // One or two bytes of the run may be left; they cannot start a repeat
      // (the next byte differs), so the literal below takes them.
      p = runEnd - left;
      continue;
    }

    // No repeat starts at p, so the literal takes p and runs to the next
    // repeat start, 128 bytes, or the end, whichever comes first.
    const uint8_t* const limit = p + std::min(kMaxLiteral, static_cast<size_t>(end - p));
    const uint8_t* const stop = Scan::findRepeat(p + 1, limit, end);
    const auto count = static_cast<size_t>(stop - p);
    if (count + 1 > static_cast<size_t>(outEnd - dst)) return kRleTooLong;
    *dst++ = static_cast<uint8_t>(count - 1);
    // A fixed 128-byte move while both buffers have room for it: the bytes
    // past `count` are overwritten by the next packet, and a few vector
    // moves beat a length-dependent copy, whose loop exit or call a short
    // literal would mispredict.
    if (static_cast<size_t>(outEnd - dst) >= kMaxLiteral && static_cast<size_t>(end - p) >= kMaxLiteral) {
      std::memcpy(dst, p, kMaxLiteral);
    } else {
      std::memcpy(dst, p, count);
    }
    dst += count;
    p = stop;
  }
  return static_cast<size_t>(dst - out);
}

size_t encodePortable(const uint8_t* data, size_t length, uint8_t* out, size_t capacity) {
  return encodeWith<PortableScan>(data, length, out, capacity);
}

#if ZARVIK_X86_64
size_t encodeSse2(const uint8_t* data, size_t length, uint8_t* out, size_t capacity) {
  return encodeWith<Sse2Scan>(data, length, out, capacity);
}
#endif

#if ZARVIK_X86_WIDE
// flatten inlines the generic loop and, inside it, the AVX2 scanner: the
// scanner calls only become inlinable once they sit in an AVX2 function.
ZARVIK_AVX2 __attribute__((flatten)) size_t encodeAvx2(const uint8_t* data, size_t length, uint8_t* out,
                                                       size_t capacity) {
  return encodeWith<Avx2Scan>(data, length, out, capacity);
}
#undef ZARVIK_AVX2
#endif

// Chosen once: the CPU does not change under a running process.
RleEncoder bestEncoder() {
  static const RleEncoder encoder = availableRleEncoders().back().encode;
  return encoder;
}

}  // namespace

std::vector<NamedRleEncoder> availableRleEncoders() {
  std::vector<NamedRleEncoder> encoders{{"portable", encodePortable}};
#if ZARVIK_X86_64
  encoders.push_back({"sse2", encodeSse2});
#endif
#if ZARVIK_X86_WIDE
  if (cpuFeatures().avx2) encoders.push_back({"avx2", encodeAvx2});
#endif
  return encoders;
}

std::vector<uint8_t> rleEncode(const uint8_t* data, size_t length) {
  std::vector<uint8_t> out(rleBound(length));
  out.resize(bestEncoder()(data, length, out.data(), out.size()));
  return out;
}

bool rleEncodeIfSmaller(const uint8_t* data, size_t length, uint8_t* out, size_t& codedLength) {
  // Nothing codes shorter than an empty block.
  if (length == 0) return false;
  const size_t n = bestEncoder()(data, length, out, length - 1);
  if (n == kRleTooLong) return false;
  codedLength = n;
  return true;
}

bool rleDecodeInto(const uint8_t* coded, size_t codedLength, uint8_t* out, size_t size) {
  const uint8_t* p = coded;
  const uint8_t* const end = coded + codedLength;
  uint8_t* dst = out;
  uint8_t* const outEnd = out + size;

  // Every packet is checked against both ends before anything is written, so
  // a hostile stream can neither read past `coded` nor write past `size`.
  // Packets are short (at most 130 bytes), so while both buffers have room
  // every literal is moved as a fixed 128 bytes and every repeat filled as a
  // fixed 144: a few vector moves with no length-dependent loop or call,
  // whose exit would be mispredicted on nearly every packet. The bytes past
  // the packet are overwritten by the next one.
  constexpr size_t kPiece = 16;
  constexpr size_t kMaxRepeatRounded = (kMaxRepeat + kPiece - 1) / kPiece * kPiece;
  while (p < end) {
    const uint8_t c = *p++;
    const auto room = static_cast<size_t>(outEnd - dst);
    if (c < 0x80) {
      const size_t n = static_cast<size_t>(c) + 1;
      const auto available = static_cast<size_t>(end - p);
      if (n > available || n > room) return false;
      if (available >= kMaxLiteral && room >= kMaxLiteral) {
        std::memcpy(dst, p, kMaxLiteral);
      } else {
        std::memcpy(dst, p, n);
      }
      dst += n;
      p += n;
    } else {
      const size_t n = static_cast<size_t>(c & 0x7F) + kMinRepeat;
      if (p == end || n > room) return false;
      const uint8_t value = *p++;
      if (room >= kMaxRepeatRounded) {
        uint8_t piece[kPiece];
        std::memset(piece, value, kPiece);
        for (size_t k = 0; k < kMaxRepeatRounded; k += kPiece) std::memcpy(dst + k, piece, kPiece);
      } else {
        std::memset(dst, value, n);
      }
      dst += n;
    }
  }
  return dst == outEnd;
}

bool rleDecode(const uint8_t* coded, size_t codedLength, uint32_t expectedSize, std::vector<uint8_t>& out) {
  // Two coded bytes yield at most 130 raw ones. A size no input of this length
  // can reach fails before it can drive a huge allocation.
  if (uint64_t{expectedSize} > uint64_t{codedLength} * 65) {
    out.clear();
    return false;
  }
  out.resize(expectedSize);
  return rleDecodeInto(coded, codedLength, out.data(), out.size());
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
