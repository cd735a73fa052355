// Zstandard blocks: decoding arbitrary input stays in the caller's buffer and allocates nothing the frame asks for
// (run.sh's malloc limit), and coding arbitrary input decodes back to it.
#include "codecs/zstd_block.h"
#include "fuzz_util.h"

void fuzz::one(Input input) {
  // The first three bytes pick the raw size, at most 1 MiB; the rest is the frame.
  uint32_t picked = 0;
  if (!input.take(3, picked)) return;
  const auto [data, size] = input;
  const size_t rawSize = picked % ((1u << 20) + 1);
  std::vector<uint8_t> out(rawSize), frame;
  ablative::zstdDecodeInto(data, size, out.data(), rawSize);
  if (!ablative::zstdEncodeIfSmaller(data, size, 1, frame)) return;
  require(frame.size() < size);
  out.resize(size);
  require(ablative::zstdDecodeInto(frame.data(), frame.size(), out.data(), size));
  require(std::memcmp(out.data(), data, size) == 0);
}
