// The run-length codec: decoding arbitrary input stays in bounds, and coding
// arbitrary input decodes back to it without growing past the bound.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first two bytes pick the decoder's expected size, so sizes near the
  // real output length come up often.
  uint32_t expected = static_cast<uint32_t>(data[0]) << 8 | data[1];
  data += 2;
  size -= 2;
  std::vector<uint8_t> out;
  if (ablative::rleDecode(data, size, expected, out) && out.size() != expected) std::abort();

  std::vector<uint8_t> coded = ablative::rleEncode(data, size);
  if (coded.size() > size + (size + 127) / 128) std::abort();
  if (!ablative::rleDecode(coded, static_cast<uint32_t>(size), out)) std::abort();
  if (out.size() != size || (size > 0 && std::memcmp(out.data(), data, size) != 0)) std::abort();
  return 0;
}
