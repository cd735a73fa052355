// Carry-less multiply kernels for CRC-32 on x86-64. Each is compiled with a
// function-level target attribute, so the engine keeps the baseline flags;
// availableCrcKernels() offers one only when the CPU has its instructions.
//
// The CRC state after a message M is M(x)·x^32 mod P, the preset being folded
// into M's first four bytes. Only the remainder matters, so a chunk of the
// stream can be moved D bits forward by multiplying it by x^D mod P. A 128-bit
// register loaded from memory holds 16 bytes in the CRC's own reflected order
// (bit i is the coefficient of x^(127-i)), so no byte swap is needed. With H
// its low half (the earlier eight bytes) and L its high half, moving it
// forward is H·(x^(D+64) mod P) + L·(x^D mod P): two 64x32-bit carry-less
// products of at most 95 bits, which fit back in a register. A 32-bit remainder stored
// reflected (x^d at bit 32-d) leaves each product 32 places short; the
// constants absorb that by using x^(D+32) and x^(D-32).
#include "codecs/crc32_kernels.h"

#if ZARVIK_X86_64
#include <immintrin.h>

namespace ablative {
namespace {

#define ZARVIK_CLMUL __attribute__((target("pclmul,sse4.1")))
#define ZARVIK_CLMUL_WIDE __attribute__((target("pclmul,sse4.1,avx2,vpclmulqdq")))

// P with its x^32 term, in normal bit order (bit d is the coefficient of x^d).
constexpr uint64_t kPoly = 0x104C11DB7ull;

// x^e mod P, normal bit order.
constexpr uint32_t xPowModP(unsigned e) {
  uint64_t r = 1;
  for (unsigned i = 0; i < e; ++i) {
    r <<= 1;
    if (r >> 32) r ^= kPoly;
  }
  return static_cast<uint32_t>(r);
}

// A polynomial of degree at most 32 in the reflected layout: x^d at bit 32-d.
constexpr uint64_t reflect33(uint64_t v) {
  uint64_t r = 0;
  for (unsigned d = 0; d <= 32; ++d) {
    if ((v >> d) & 1u) r |= uint64_t{1} << (32 - d);
  }
  return r;
}

// floor(x^64 / P) by long division; the first quotient term, x^32, is taken
// up front so the remainder fits in 64 bits.
constexpr uint64_t barrettQuotient() {
  uint64_t q = uint64_t{1} << 32;
  uint64_t r = (kPoly ^ (uint64_t{1} << 32)) << 32;
  for (unsigned d = 63; d >= 32; --d) {
    if ((r >> d) & 1u) {
      q |= uint64_t{1} << (d - 32);
      r ^= kPoly << (d - 32);
    }
  }
  return q;
}

constexpr uint64_t foldFor(unsigned e) { return reflect33(xPowModP(e)); }
constexpr uint64_t kMu = reflect33(barrettQuotient());
constexpr uint64_t kPolyReflected = reflect33(kPoly);

// Low half multiplies H, high half multiplies L, for a move of D bits. The
// template keeps the constants compile-time; computed per call they would
// dominate short inputs.
template <unsigned D>
ZARVIK_CLMUL inline __m128i foldConstants() {
  constexpr uint64_t lo = foldFor(D + 32);
  constexpr uint64_t hi = foldFor(D - 32);
  return _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
}

ZARVIK_CLMUL inline __m128i load128(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// x moved forward by the distance k was made for.
ZARVIK_CLMUL inline __m128i fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

// The table kernel on a raw (uncomplemented) state, for short inputs and tails.
inline uint32_t tableUpdate(uint32_t state, const uint8_t* p, size_t n) { return ~crc32Portable(~state, p, n); }

// The 32-bit state for the 128 bits x: x·x^32 mod P, in three steps that
// each shrink the value: 128 -> 96 -> 64 bits, then Barrett reduction.
ZARVIK_CLMUL inline uint32_t reduce(__m128i x) {
  constexpr uint64_t k64 = foldFor(64);
  constexpr uint64_t k96 = foldFor(96);
  const __m128i k = _mm_set_epi64x(static_cast<long long>(k64), static_cast<long long>(k96));
  const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
  // H·x^96 + L·x^32; L needs no multiply, it already sits where x^32 puts it.
  const __m128i t = _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_srli_si128(x, 8));
  // The top 32 of those 96 bits times x^64, plus the other 64.
  const __m128i u = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(t, low32), k, 0x10), _mm_srli_si128(t, 4));
  // Barrett: the quotient u / P from u's top 32 bits and floor(x^64 / P);
  // u minus quotient·P leaves the remainder in bits 32..63.
  const __m128i b = _mm_set_epi64x(static_cast<long long>(kPolyReflected), static_cast<long long>(kMu));
  const __m128i q = _mm_clmulepi64_si128(_mm_and_si128(u, low32), b, 0x00);
  const __m128i r = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(q, low32), b, 0x10), u);
  return static_cast<uint32_t>(_mm_extract_epi32(r, 1));
}

// Folds the remaining whole 16-byte blocks into x, reduces, and leaves the
// last 0..15 bytes to the table.
ZARVIK_CLMUL inline uint32_t finish(__m128i x, const uint8_t* p, size_t n) {
  const __m128i k128 = foldConstants<128>();
  while (n >= 16) {
    x = _mm_xor_si128(fold(x, k128), load128(p));
    p += 16;
    n -= 16;
  }
  return tableUpdate(reduce(x), p, n);
}

// Below this, setup and reduction cost more than the table path.
constexpr size_t kMinClmul = 64;

ZARVIK_CLMUL uint32_t updateClmul(uint32_t state, const uint8_t* p, size_t n) {
  if (n < kMinClmul) return tableUpdate(state, p, n);
  // Four accumulators 64 bytes apart: a multiply's result is needed only
  // four blocks later, so its latency overlaps the others' work.
  __m128i x0 = _mm_xor_si128(load128(p), _mm_cvtsi32_si128(static_cast<int>(state)));
  __m128i x1 = load128(p + 16);
  __m128i x2 = load128(p + 32);
  __m128i x3 = load128(p + 48);
  p += 64;
  n -= 64;
  const __m128i k512 = foldConstants<512>();
  while (n >= 64) {
    x0 = _mm_xor_si128(fold(x0, k512), load128(p));
    x1 = _mm_xor_si128(fold(x1, k512), load128(p + 16));
    x2 = _mm_xor_si128(fold(x2, k512), load128(p + 32));
    x3 = _mm_xor_si128(fold(x3, k512), load128(p + 48));
    p += 64;
    n -= 64;
  }
  // Merge in stream order, each 16 bytes ahead of the next.
  const __m128i k128 = foldConstants<128>();
  __m128i x = _mm_xor_si128(fold(x0, k128), x1);
  x = _mm_xor_si128(fold(x, k128), x2);
  x = _mm_xor_si128(fold(x, k128), x3);
  return finish(x, p, n);
}

#if ZARVIK_X86_WIDE
ZARVIK_CLMUL_WIDE inline __m256i load256(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Both 128-bit lanes move by the same distance.
template <unsigned D>
ZARVIK_CLMUL_WIDE inline __m256i foldConstants256() {
  constexpr auto lo = static_cast<long long>(foldFor(D + 32));
  constexpr auto hi = static_cast<long long>(foldFor(D - 32));
  return _mm256_set_epi64x(hi, lo, hi, lo);
}

ZARVIK_CLMUL_WIDE inline __m256i fold256(__m256i x, __m256i k) {
  return _mm256_xor_si256(_mm256_clmulepi64_epi128(x, k, 0x00), _mm256_clmulepi64_epi128(x, k, 0x11));
}

// Below this the 128-bit kernel is as fast.
constexpr size_t kMinWide = 256;

ZARVIK_CLMUL_WIDE uint32_t updateClmulWide(uint32_t state, const uint8_t* p, size_t n) {
  if (n < kMinWide) return updateClmul(state, p, n);
  // The 128-bit scheme twice over: eight 16-byte lanes in four registers,
  // 128 bytes per step.
  __m256i y0 = _mm256_xor_si256(load256(p), _mm256_set_epi64x(0, 0, 0, static_cast<long long>(state)));
  __m256i y1 = load256(p + 32);
  __m256i y2 = load256(p + 64);
  __m256i y3 = load256(p + 96);
  p += 128;
  n -= 128;
  const __m256i k1024 = foldConstants256<1024>();
  while (n >= 128) {
    y0 = _mm256_xor_si256(fold256(y0, k1024), load256(p));
    y1 = _mm256_xor_si256(fold256(y1, k1024), load256(p + 32));
    y2 = _mm256_xor_si256(fold256(y2, k1024), load256(p + 64));
    y3 = _mm256_xor_si256(fold256(y3, k1024), load256(p + 96));
    p += 128;
    n -= 128;
  }
  const __m256i k256 = foldConstants256<256>();
  __m256i y = _mm256_xor_si256(fold256(y0, k256), y1);
  y = _mm256_xor_si256(fold256(y, k256), y2);
  y = _mm256_xor_si256(fold256(y, k256), y3);
  // The two lanes of y are consecutive 16-byte blocks.
  const __m128i x =
      _mm_xor_si128(fold(_mm256_castsi256_si128(y), foldConstants<128>()), _mm256_extracti128_si256(y, 1));
  return finish(x, p, n);
}
#endif

#undef ZARVIK_CLMUL
#undef ZARVIK_CLMUL_WIDE

}  // namespace

uint32_t crc32Clmul(uint32_t crc, const uint8_t* data, size_t length) { return ~updateClmul(~crc, data, length); }

#if ZARVIK_X86_WIDE
uint32_t crc32ClmulWide(uint32_t crc, const uint8_t* data, size_t length) {
  return ~updateClmulWide(~crc, data, length);
}
#endif

}  // namespace ablative

#endif
