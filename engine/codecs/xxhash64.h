// XXH64 with seed 0, summed in steps: a Zstandard frame's content checksum is
// its low 32 bits. xxh64("") is 0xEF46DB3751D8E999.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ablative {

class Xxh64 {
 public:
  Xxh64();
  void update(const uint8_t* data, size_t length);
  uint64_t digest() const;

 private:
  uint64_t lanes_[4];
  uint8_t pending_[32];
  size_t pendingLength_ = 0;
  uint64_t total_ = 0;
};

}  // namespace ablative
