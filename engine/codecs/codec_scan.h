// The run scanners of the packet coder in codec.cc: one per vector unit the
// code knows, kept apart from the packets as the checksum keeps its kernels.
// Each provides
//   findRepeat(p, limit, end): the first q in [p, limit) where a repeat
//     starts (q[0], q[1] and q[2] equal and before end), else limit;
//   runEnd(p, end): the first q after p with *q != *p, else end.
// A header, included by codec.cc alone: the coder's loop is built once around
// each scanner, and only a scanner inlined into that loop keeps its speed.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

#include "codecs/coding.h"
#include "codecs/cpu_features.h"

#if ZARVIK_X86_64
#include <immintrin.h>
#endif

namespace ablative::scan {

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
// Also for the encoder built around Avx2Scan.
#define ZARVIK_AVX2 __attribute__((target("avx2")))

// The SSE2 scanner at twice the width, for CPUs that have AVX2 (picked at
// run time; codec.cc itself is built for the baseline).
struct Avx2Scan {
  ZARVIK_AVX2 static __m256i load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

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

}  // namespace ablative::scan
