#include "codecs/block_coder.h"

#include "codecs/codec.h"
#include "codecs/crc32.h"
#include "codecs/zstd_block.h"

namespace ablative {

size_t codedRoom(const BlockCoding& coding, uint32_t size) { return coding.zstdLevel != 0 ? zstdRoom(size) : size; }

CodedBlock codeBlock(const BlockCoding& coding, const uint8_t* raw, uint32_t size, uint8_t* coded) {
  CodedBlock block;
  block.useCoded = coding.zstdLevel != 0 ? zstdEncodeIfSmaller(raw, size, coding.zstdLevel, ZstdWindow::WholeInput, coded,
                                                               block.codedLength)
                                         : rleEncodeIfSmaller(raw, size, coded, block.codedLength);
  block.crc = crc32(raw, size);
  return block;
}

}  // namespace ablative
