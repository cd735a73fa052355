// Codes archive blocks: each is stored coded when that is shorter than its
// raw bytes, else raw; with the CRC-32 of the raw bytes.
//
// Each block is coded alone with the same parameters, so the archive's bytes
// do not depend on how many workers coded it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ablative {

// Run-length coding (archive versions 2 and 3), or Zstandard at `zstdLevel`
// when that is not 0, each block a frame whose window holds it whole.
struct BlockCoding {
  int zstdLevel = 0;
};

struct CodedBlock {
  bool useCoded = false;   // the coded form is shorter: store it
  size_t codedLength = 0;  // valid when useCoded
  uint32_t crc = 0;        // of the raw bytes
};

// The room `coded` needs for a block of `size` bytes: `size` - 1 for the
// run-length code, which stops once it reaches the raw size; Zstandard's
// worst case, in which its frames are made whatever their size.
size_t codedRoom(const BlockCoding& coding, uint32_t size);
CodedBlock codeBlock(const BlockCoding& coding, const uint8_t* raw, uint32_t size, uint8_t* coded);

}  // namespace ablative
