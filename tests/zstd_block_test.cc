// Zstandard blocks: round trips, the exact frames both builds must agree on,
// and the frames the decoder refuses.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>

#include "codecs/crc32.h"
#include "codecs/zstd_block.h"

namespace ablative {
namespace {

using Bytes = std::vector<uint8_t>;

// std::mt19937's raw output is the same everywhere, so the inputs are too.
Bytes noise(size_t size) {
  std::mt19937 random(7);
  Bytes out(size);
  for (auto& byte : out) byte = static_cast<uint8_t>(random());
  return out;
}

Bytes text(size_t size) {
  Bytes out;
  for (int line = 0; out.size() < size; ++line) {
    const std::string row = "row " + std::to_string(line % 97) + ": the quick brown fox\n";
    out.insert(out.end(), row.begin(), row.end());
  }
  out.resize(size);
  return out;
}

Bytes encode(const Bytes& raw, int level) {
  Bytes frame;
  EXPECT_TRUE(zstdEncodeIfSmaller(raw.data(), raw.size(), level, frame));
  return frame;
}

bool decodes(const Bytes& stored, const Bytes& raw, size_t rawSize) {
  Bytes out(rawSize);
  return zstdDecodeInto(stored.data(), stored.size(), out.data(), rawSize) && out == raw;
}

TEST(ZstdBlock, RoundTripsTheSameFramesEverywhere) {
  Bytes mixed = text(40000), zeros(100000, 0);
  const Bytes random = noise(20000);
  mixed.insert(mixed.end(), random.begin(), random.end());
  uint32_t allFrames = 0;
  for (const Bytes& raw : {text(5000), zeros, mixed}) {
    for (int level : {1, 3, 19}) {
      const Bytes frame = encode(raw, level);
      EXPECT_LT(frame.size(), raw.size());
      EXPECT_TRUE(decodes(frame, raw, raw.size())) << raw.size() << " bytes at level " << level;
      Bytes again;
      std::thread([&] { zstdEncodeIfSmaller(raw.data(), raw.size(), level, again); }).join();
      EXPECT_EQ(again, frame) << "another thread codes it differently";
      allFrames = crc32(allFrames, frame.data(), frame.size());
    }
  }
  // Pins this release's frames: the Windows build (under Wine) must match.
  EXPECT_EQ(allFrames, 0x96E1505Au);
}

TEST(ZstdBlock, KeepsNothingThatDoesNotShrink) {
  Bytes frame;
  for (const Bytes& raw : {Bytes{}, Bytes{'a'}, noise(3000)}) {
    EXPECT_FALSE(zstdEncodeIfSmaller(raw.data(), raw.size(), 3, frame)) << raw.size() << " bytes";
  }
}

// Hand-made frames of a raw block of "abc": the header states a content size
// of one byte (single segment), or none (a 1 KiB window instead).
Bytes handFrame(int contentSize) {
  const bool sized = contentSize >= 0;
  return {0x28,
          0xB5,
          0x2F,
          0xFD,
          static_cast<uint8_t>(sized ? 0x20 : 0),
          static_cast<uint8_t>(sized ? contentSize : 0),
          0x19,
          0x00,
          0x00,
          'a',
          'b',
          'c'};  // the last block, raw, 3 bytes
}

TEST(ZstdBlock, RefusesAllButExactlyOneFrameOfTheStatedSize) {
  const Bytes raw = text(5000), frame = encode(raw, 3), abc = {'a', 'b', 'c'};
  const auto with = [](Bytes bytes, const Bytes& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    return bytes;
  };
  const Bytes skippable = {0x50, 0x2A, 0x4D, 0x18, 0, 0, 0, 0};
  // clang-format off
  const struct { const char* what; Bytes stored; Bytes raw; size_t rawSize; bool decodes; } cases[] = {
      {"the frame as coded", frame, raw, raw.size(), true},
      {"a hand-made frame", handFrame(3), abc, 3, true},
      {"a size larger than the frame states", frame, raw, raw.size() + 1, false},
      {"a size smaller than the frame states", frame, raw, raw.size() - 1, false},
      {"a truncated frame", Bytes(frame.begin(), frame.end() - 1), raw, raw.size(), false},
      {"two frames", with(frame, frame), raw, raw.size(), false},
      {"trailing garbage", with(frame, {0}), raw, raw.size(), false},
      {"no content size", handFrame(-1), abc, 3, false},
      {"a frame that decodes short", handFrame(5), abc, 5, false},
      {"a skippable frame", skippable, {}, 0, false},
      {"nothing", {}, {}, 0, false},
  };
  // clang-format on
  for (const auto& c : cases) {
    Bytes expected = c.raw;
    expected.resize(c.rawSize);
    EXPECT_EQ(decodes(c.stored, expected, c.rawSize), c.decodes) << c.what;
  }
}

}  // namespace
}  // namespace ablative
