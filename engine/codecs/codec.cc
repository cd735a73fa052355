#include "codecs/codec.h"

#include <algorithm>
#include <cstring>

#include "codecs/codec_kernels.h"
#include "codecs/codec_scan.h"

namespace ablative {
namespace {

// A control byte with this bit set leads a repeat packet.
constexpr uint8_t kRepeatFlag = 0x80;

// The encoder, one greedy pass around a scanner from codec_scan.h.

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
      size_t left = run % kRleMaxRepeat;
      const size_t packets = run / kRleMaxRepeat + (left >= kRleMinRepeat ? 1 : 0);
      if (2 * packets > static_cast<size_t>(outEnd - dst)) return kRleTooLong;
      for (size_t k = run / kRleMaxRepeat; k > 0; --k) {
        *dst++ = static_cast<uint8_t>(kRepeatFlag | (kRleMaxRepeat - kRleMinRepeat));
        *dst++ = value;
      }
      if (left >= kRleMinRepeat) {
        *dst++ = static_cast<uint8_t>(kRepeatFlag | (left - kRleMinRepeat));
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
    const uint8_t* const limit = p + std::min(kRleMaxLiteral, static_cast<size_t>(end - p));
    const uint8_t* const stop = Scan::findRepeat(p + 1, limit, end);
    const auto count = static_cast<size_t>(stop - p);
    if (count + 1 > static_cast<size_t>(outEnd - dst)) return kRleTooLong;
    *dst++ = static_cast<uint8_t>(count - 1);
    // A fixed 128-byte move while both buffers have room for it: the bytes
    // past `count` are overwritten by the next packet, and a few vector
    // moves beat a length-dependent copy, whose loop exit or call a short
    // literal would mispredict.
    if (static_cast<size_t>(outEnd - dst) >= kRleMaxLiteral && static_cast<size_t>(end - p) >= kRleMaxLiteral) {
      std::memcpy(dst, p, kRleMaxLiteral);
    } else {
      std::memcpy(dst, p, count);
    }
    dst += count;
    p = stop;
  }
  return static_cast<size_t>(dst - out);
}

size_t encodePortable(const uint8_t* data, size_t length, uint8_t* out, size_t capacity) {
  return encodeWith<scan::PortableScan>(data, length, out, capacity);
}

#if ZARVIK_X86_64
size_t encodeSse2(const uint8_t* data, size_t length, uint8_t* out, size_t capacity) {
  return encodeWith<scan::Sse2Scan>(data, length, out, capacity);
}
#endif

#if ZARVIK_X86_WIDE
// flatten inlines the generic loop and, inside it, the AVX2 scanner: the
// scanner calls only become inlinable once they sit in an AVX2 function.
ZARVIK_AVX2 __attribute__((flatten)) size_t encodeAvx2(const uint8_t* data, size_t length, uint8_t* out,
                                                       size_t capacity) {
  return encodeWith<scan::Avx2Scan>(data, length, out, capacity);
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
  constexpr size_t kMaxRepeatRounded = (kRleMaxRepeat + kPiece - 1) / kPiece * kPiece;
  while (p < end) {
    const uint8_t c = *p++;
    const auto room = static_cast<size_t>(outEnd - dst);
    if (c < kRepeatFlag) {
      const size_t n = static_cast<size_t>(c) + 1;
      const auto available = static_cast<size_t>(end - p);
      if (n > available || n > room) return false;
      if (available >= kRleMaxLiteral && room >= kRleMaxLiteral) {
        std::memcpy(dst, p, kRleMaxLiteral);
      } else {
        std::memcpy(dst, p, n);
      }
      dst += n;
      p += n;
    } else {
      const size_t n = static_cast<size_t>(c & ~kRepeatFlag) + kRleMinRepeat;
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
  // A size no input of this length can reach fails before it can drive a huge
  // allocation.
  if (uint64_t{expectedSize} > uint64_t{codedLength} * kRleLargestExpansion) {
    out.clear();
    return false;
  }
  out.resize(expectedSize);
  return rleDecodeInto(coded, codedLength, out.data(), out.size());
}

bool rleDecode(const std::vector<uint8_t>& coded, uint32_t expectedSize, std::vector<uint8_t>& out) {
  return rleDecode(coded.data(), coded.size(), expectedSize, out);
}

}  // namespace ablative
