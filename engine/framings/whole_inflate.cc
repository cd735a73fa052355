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
  void putBytes(std::span<const uint8_t> bytes) {
    if (pendingBits_ == 0) {
      out_.insert(out_.end(), bytes.begin(), bytes.end());
      return;
    }
    // Each byte moved up by the bits pending, the high ones carried into the next.
    const size_t at = out_.size();
    out_.resize(at + bytes.size());
    uint8_t* to = out_.data() + at;
    const int up = pendingBits_, down = 8 - pendingBits_;
    auto carry = static_cast<uint32_t>(pending_);
    for (const uint8_t byte : bytes) {
      *to++ = static_cast<uint8_t>(carry | uint32_t{byte} << up);
      carry = uint32_t{byte} >> down;
    }
    pending_ = carry;
  }
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
  const int64_t bits = stretch.firstBits + int64_t{8} * static_cast<int64_t>(stretch.stored.size()) -
                       std::max(stretch.spareBits, 0);
  if (stretch.window.size() > 32768 || stretch.firstBits < 0 || stretch.firstBits > 7 || stretch.spareBits > 7 ||
      bits < stretch.firstBits) {
    return false;
  }
  std::vector<uint8_t> spliced;
  spliced.reserve(5 + stretch.window.size() + stretch.stored.size() + 3);
  if (!stretch.window.empty()) putStoredBlock(stretch.window, spliced);
  BitSink sink(spliced);
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
