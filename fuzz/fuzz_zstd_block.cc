// Zstandard blocks: decoding arbitrary input into a buffer of the size the
// caller states stays in bounds and allocates nothing the frame asks for
// (run.sh's malloc limit catches that), and coding arbitrary input decodes
// back to it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/zstd_block.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // The first three bytes pick the raw size, at most 1 MiB, the rest is the frame.
  const size_t rawSize = (static_cast<size_t>(data[0]) << 16 | data[1] << 8 | data[2]) % ((1u << 20) + 1);
  data += 3;
  size -= 3;
  std::vector<uint8_t> out(rawSize);
  ablative::zstdDecodeInto(data, size, out.data(), rawSize);

  std::vector<uint8_t> frame;
  if (!ablative::zstdEncodeIfSmaller(data, size, 1, frame)) return 0;
  if (frame.size() >= size) std::abort();
  out.resize(size);
  if (!ablative::zstdDecodeInto(frame.data(), frame.size(), out.data(), size)) std::abort();
  if (std::memcmp(out.data(), data, size) != 0) std::abort();
  return 0;
}
