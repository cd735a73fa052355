#include "framings/whole_inflate.h"

#include <libdeflate.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace ablative {

namespace {

struct FreeDecompressor {
  void operator()(libdeflate_decompressor* decompressor) const { libdeflate_free_decompressor(decompressor); }
};

// Deflate's bits, least significant first in each byte.
class BitSink {
 public:
  explicit BitSink(std::vector<uint8_t>& out) : out_(out) {}

  void put(uint32_t value, int count) {
    pending_ |= uint64_t{value & ((1u << count) - 1)} << pendingBits_;
    pendingBits_ += count;
    while (pendingBits_ >= 8) {
      out_.push_back(static_cast<uint8_t>(pending_));
      pending_ >>= 8;
      pendingBits_ -= 8;
    }
  }
  // Whole bytes, where the bits put so far fill whole bytes.
  void putBytes(std::span<const uint8_t> bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }
  void finish() {
    if (pendingBits_ > 0) out_.push_back(static_cast<uint8_t>(pending_));
    pending_ = 0;
    pendingBits_ = 0;
  }

 private:
  std::vector<uint8_t>& out_;
  uint64_t pending_ = 0;
  int pendingBits_ = 0;
};

// A stored block, not final, holding `bytes` (at most 65,535), from a byte boundary.
void putStoredBlock(std::span<const uint8_t> bytes, std::vector<uint8_t>& out) {
  const auto length = static_cast<uint16_t>(bytes.size());
  const uint8_t head[] = {0,  // BFINAL 0, BTYPE 00, then padding to the byte's end
                          static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                          static_cast<uint8_t>(~length), static_cast<uint8_t>(~length >> 8)};
  out.insert(out.end(), std::begin(head), std::end(head));
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// BFINAL 1, BTYPE 01 (fixed codes), then the end-of-block code, seven zero bits.
constexpr uint32_t kEmptyFinalBlock = 0b011;
constexpr int kEmptyFinalBlockBits = 10;

// An empty block, not final, that ends `offset` (1 to 7) bits into a byte when
// it starts on a byte boundary: a stretch after it then lies at the bits it
// was written at, so the stored blocks in it pad as they were written to. It
// has dynamic codes: literal 0 and end-of-block, each one bit; two distances,
// each one bit; and the code-length code {0, 1, 17, 18}, each two bits, whose
// zero runs are spelt out so as to take 98 + 2 * singles + 5 * shortRuns bits.
void putAligningBlock(BitSink& sink, int offset) {
  // Runs of 3 zeros (symbol 17), 5 bits each, and single zeros (symbol 0), 2 bits each.
  const int shortRuns = offset % 2;
  const int singles = ((offset - 2 - 5 * shortRuns) % 8 + 8) % 8 / 2;
  sink.put(0b100, 3);  // BFINAL 0, BTYPE 10
  sink.put(0, 5);      // 257 literal/length codes
  sink.put(1, 5);      // 2 distance codes
  sink.put(14, 4);     // 18 code-length code lengths, in the format's order
  for (const int symbol : {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1}) {
    sink.put(symbol == 0 || symbol == 1 || symbol == 17 || symbol == 18 ? 2 : 0, 3);
  }
  // Their codes are 00 01 10 11 (for 0 1 17 18), first bit first: put as 0b00 0b10 0b01 0b11.
  const auto length = [&](uint32_t code) { sink.put(code, 2); };
  const auto zeroRun = [&](int count) {  // 11 to 138
    length(0b11);
    sink.put(static_cast<uint32_t>(count - 11), 7);
  };
  length(0b10);  // literal 0: 1 bit
  for (int i = 0; i < singles; ++i) length(0b00);
  if (shortRuns > 0) {
    length(0b01);
    sink.put(0, 3);  // 3 zeros
  }
  zeroRun(138);
  zeroRun(255 - singles - 3 * shortRuns - 138);
  length(0b10);  // end-of-block: 1 bit
  length(0b10);  // the two distances: 1 bit each
  length(0b10);
  sink.put(1, 1);  // end-of-block
}

bool decompressEx(std::span<const uint8_t> stored, std::span<uint8_t> out, size_t& consumed, size_t& produced) {
  // One for each call: it is a small allocation beside the data, and a
  // per-thread one would need a thread-exit destructor (zstd_block.h says
  // why that is avoided).
  const std::unique_ptr<libdeflate_decompressor, FreeDecompressor> decompressor(libdeflate_alloc_decompressor());
  // Empty spans may have no address; libdeflate is handed one either way.
  uint8_t none = 0;
  return decompressor &&
         libdeflate_deflate_decompress_ex(decompressor.get(), stored.empty() ? &none : stored.data(), stored.size(),
                                          out.empty() ? &none : out.data(), out.size(), &consumed,
                                          &produced) == LIBDEFLATE_SUCCESS;
}

}  // namespace

bool inflateStretch(const DeflateStretch& stretch, std::span<uint8_t> out) {
  const int64_t bits =
      stretch.firstBits + int64_t{8} * static_cast<int64_t>(stretch.stored.size()) - std::max(stretch.spareBits, 0);
  if (stretch.window.size() > 32768 || stretch.firstBits < 0 || stretch.firstBits > 7 || stretch.spareBits > 7 ||
      bits < stretch.firstBits) {
    return false;
  }
  std::vector<uint8_t> spliced;
  spliced.reserve(stretch.window.size() + stretch.stored.size() + 32);  // and the blocks around them, a few bytes
  if (!stretch.window.empty()) putStoredBlock(stretch.window, spliced);
  BitSink sink(spliced);
  if (stretch.firstBits > 0) putAligningBlock(sink, 8 - stretch.firstBits);
  sink.put(stretch.firstBitsValue, stretch.firstBits);
  const auto wholeBytes = static_cast<size_t>((bits - stretch.firstBits) / 8);
  sink.putBytes(stretch.stored.first(wholeBytes));
  if (const auto lastBits = static_cast<int>((bits - stretch.firstBits) % 8); lastBits > 0) {
    sink.put(stretch.stored[wholeBytes], lastBits);
  }
  if (stretch.spareBits >= 0) sink.put(kEmptyFinalBlock, kEmptyFinalBlockBits);
  sink.finish();
  const std::span<uint8_t> withWindow(out.data() - stretch.window.size(), stretch.window.size() + out.size());
  size_t consumed = 0, produced = 0;
  return decompressEx(spliced, withWindow, consumed, produced) && produced == withWindow.size();
}

bool inflateWhole(std::span<const uint8_t> stored, std::span<uint8_t> out, size_t& consumed, size_t& produced) {
  return decompressEx(stored, out, consumed, produced);
}

}  // namespace ablative
