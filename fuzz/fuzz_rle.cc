// The run-length codec: decoding arbitrary input stays in bounds, and coding arbitrary input decodes back to it
// without growing past the bound.
#include "codecs/codec.h"
#include "fuzz_util.h"

void fuzz::one(Input input) {
  // The first two bytes pick the decoder's expected size, so sizes near the real output length come up often.
  uint32_t expected = 0;
  if (!input.take(2, expected)) return;
  const auto [data, size] = input;
  std::vector<uint8_t> out;
  require(!ablative::rleDecode(data, size, expected, out) || out.size() == expected);
  std::vector<uint8_t> coded = ablative::rleEncode(data, size);
  require(coded.size() <= size + (size + 127) / 128);
  require(ablative::rleDecode(coded, static_cast<uint32_t>(size), out));
  require(out.size() == size && (size == 0 || std::memcmp(out.data(), data, size) == 0));
}
