// Plain records laid out as bytes, little-endian and packed: what the journal
// keeps of an archive that no longer describes itself once a run has begun to
// consume it. Reading is bounded: a record cut short or claiming more than it
// holds reads as damaged, never past its end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codecs/coding.h"

namespace ablative {

class RecordWriter {
 public:
  void u8(uint8_t value) { bytes_.push_back(value); }
  void u32(uint32_t value) {
    uint8_t bytes[4];
    put32(bytes, value);
    raw(bytes, sizeof bytes);
  }
  void u64(uint64_t value) {
    uint8_t bytes[8];
    put64(bytes, value);
    raw(bytes, sizeof bytes);
  }
  void text(const std::string& value) {
    u64(value.size());
    bytes_.insert(bytes_.end(), value.begin(), value.end());
  }
  void raw(const uint8_t* data, size_t length) { bytes_.insert(bytes_.end(), data, data + length); }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

class RecordReader {
 public:
  RecordReader(const uint8_t* data, size_t length) : at_(data), end_(data + length) {}

  uint8_t u8() { return take(1) ? at_[-1] : 0; }
  uint32_t u32() { return take(4) ? get32(at_ - 4) : 0; }
  uint64_t u64() { return take(8) ? get64(at_ - 8) : 0; }
  std::string text() {
    const uint64_t length = u64();
    if (!take(length)) return {};
    return std::string(reinterpret_cast<const char*>(at_ - length), length);
  }
  bool raw(uint8_t* out, size_t length) {
    if (!take(length)) return false;
    std::copy(at_ - length, at_, out);
    return true;
  }
  // A count of records of at least `each` bytes: more than the rest holds is damage.
  uint64_t count(uint64_t each) {
    const uint64_t n = u64();
    if (n > static_cast<uint64_t>(end_ - at_) / each) ok_ = false;
    return ok_ ? n : 0;
  }
  bool ok() const { return ok_; }
  bool atEnd() const { return ok_ && at_ == end_; }

 private:
  bool take(uint64_t length) {
    if (!ok_ || length > static_cast<uint64_t>(end_ - at_)) return ok_ = false;
    at_ += length;
    return true;
  }
  const uint8_t* at_;
  const uint8_t* end_;
  bool ok_ = true;
};

}  // namespace ablative
