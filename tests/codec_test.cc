#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "codec.h"
#include "codec_kernels.h"
#include "crc32.h"
#include "crc32_kernels.h"

namespace ablative {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& hex) {
  Bytes out;
  std::istringstream in(hex);
  unsigned v;
  while (in >> std::hex >> v) out.push_back(static_cast<uint8_t>(v));
  return out;
}

Bytes counting(size_t n) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i);
  return out;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes encode(const Bytes& raw) { return rleEncode(raw.data(), raw.size()); }

// The greedy rule written as plainly as possible, to pin the fast encoder's
// output byte for byte on inputs too many to list by hand.
Bytes referenceEncode(const Bytes& raw) {
  const size_t n = raw.size();
  auto runAt = [&](size_t i) {
    size_t r = 1;
    while (r < 130 && i + r < n && raw[i + r] == raw[i]) ++r;
    return r;
  };
  Bytes out;
  size_t i = 0;
  while (i < n) {
    const size_t r = runAt(i);
    if (r >= 3) {
      out.push_back(static_cast<uint8_t>(0x80 | (r - 3)));
      out.push_back(raw[i]);
      i += r;
      continue;
    }
    const size_t s = i;
    do ++i;
    while (i < n && i - s < 128 && runAt(i) < 3);
    out.push_back(static_cast<uint8_t>(i - s - 1));
    out.insert(out.end(), &raw[s], &raw[s] + (i - s));
  }
  return out;
}

TEST(RleEncode, ProducesTheExactCodedForm) {
  struct Case {
    const char* name;
    Bytes raw;
    Bytes coded;
  };
  const Case cases[] = {
      {"empty", {}, {}},
      {"one byte", Bytes(1, 0x41), fromHex("00 41")},
      {"pair stays literal", Bytes(2, 0x41), fromHex("01 41 41")},
      {"shortest repeat", Bytes(3, 0x41), fromHex("80 41")},
      {"repeat of 4", Bytes(4, 0x41), fromHex("81 41")},
      {"longest repeat", Bytes(130, 0x41), fromHex("FF 41")},
      {"run cut, 1 left", Bytes(131, 0x41), fromHex("FF 41 00 41")},
      {"run cut, 2 left", Bytes(132, 0x41), fromHex("FF 41 01 41 41")},
      {"run cut, 3 left", Bytes(133, 0x41), fromHex("FF 41 80 41")},
      {"pair inside literal", fromHex("41 41 42"), fromHex("02 41 41 42")},
      {"literal then repeat", fromHex("41 42 43 43 43"), fromHex("01 41 42 80 43")},
      {"pair then repeat", fromHex("41 41 42 42 42"), fromHex("01 41 41 80 42")},
      {"repeat between literals", fromHex("41 42 42 42 41"), fromHex("00 41 80 42 00 41")},
      {"longest literal", counting(128), concat(fromHex("7F"), counting(128))},
      {"literal cut", counting(129), concat(concat(fromHex("7F"), counting(128)), fromHex("00 80"))},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(encode(c.raw), c.coded) << c.name;
  }
}

TEST(RleDecode, RejectsMalformedOrMissizedInput) {
  struct Case {
    const char* name;
    Bytes coded;
    uint32_t expectedSize;
  };
  const Case cases[] = {
      {"empty input, nonzero size", {}, 1},
      {"repeat without value", fromHex("80"), 3},
      {"literal past the end", fromHex("05 41 42"), 6},
      {"literal past the end, small size", fromHex("05 41 42"), 2},
      {"literal one byte short", fromHex("80 43 02 41 42"), 6},
      {"repeat overshoots size", fromHex("81 41"), 3},
      {"output short of size", fromHex("00 41"), 2},
      {"trailing packet overshoots", fromHex("80 41 00 42"), 3},
      {"large size, short input", fromHex("80 41"), 64u << 20},
  };
  for (const Case& c : cases) {
    Bytes out;
    EXPECT_FALSE(rleDecode(c.coded, c.expectedSize, out)) << c.name;
    EXPECT_LE(out.size(), c.expectedSize) << c.name;
  }
}

TEST(RleDecode, AcceptsWellFormedInput) {
  Bytes out{1, 2, 3};  // stale contents must be replaced
  EXPECT_TRUE(rleDecode(Bytes{}, 0, out));
  EXPECT_TRUE(out.empty());
  // Packets the encoder never emits are still valid: a repeat of 3 split oddly.
  EXPECT_TRUE(rleDecode(fromHex("00 41 00 41 80 41"), 5, out));
  EXPECT_EQ(out, Bytes(5, 0x41));
}

// Random data with runs of every length up to 200, so repeats get cut at 130,
// pairs sit inside literals and literals hit the 128 limit.
Bytes mixedRuns(std::mt19937& rng, size_t length) {
  Bytes out;
  out.reserve(length);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> kind(0, 3);
  std::uniform_int_distribution<size_t> runLength(1, 200);
  std::uniform_int_distribution<size_t> shortRun(1, 4);
  while (out.size() < length) {
    const int k = kind(rng);
    const size_t n = k == 0 ? runLength(rng) : k == 1 ? shortRun(rng) : 1;
    // A tiny alphabet makes accidental runs and pairs common too.
    const uint8_t v = static_cast<uint8_t>(k == 3 ? byte(rng) & 3 : byte(rng));
    for (size_t i = 0; i < n && out.size() < length; ++i) out.push_back(v);
  }
  return out;
}

// Distinct neighbours everywhere (so no run of its own), with a run of
// `runLength` copies of 0xAA written at `at`: placed at every offset this
// puts run starts and ends on every position of a vector step and of the
// scalar tail.
Bytes runPlantedIn(size_t length, size_t at, size_t runLength) {
  Bytes out(length);
  for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(i % 7 + (i / 7) % 3 * 16);
  for (size_t i = at; i < at + runLength && i < length; ++i) out[i] = 0xAA;
  return out;
}

// The inputs every encoder is checked on.
std::vector<Bytes> encoderInputs() {
  std::mt19937 rng(12345);
  std::vector<Bytes> inputs;
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (size_t n : {383u, 384u, 385u, 1000u, 4096u, 65536u, 100003u}) lengths.push_back(n);
  for (size_t length : lengths) {
    for (int trial = 0; trial < 4; ++trial) {
      Bytes raw;
      if (trial == 0) {
        raw.resize(length);
        for (auto& b : raw) b = static_cast<uint8_t>(rng());
      } else {
        raw = mixedRuns(rng, length);
      }
      inputs.push_back(std::move(raw));
    }
  }
  // Runs and near-runs (pairs) at every position of blocks around the
  // vector widths (16 and 32 bytes, plus the two neighbours a step reads)
  // and of longer ones where literals hit 128 and runs hit 130.
  for (size_t length : {17u, 18u, 19u, 33u, 34u, 35u, 64u, 150u, 300u}) {
    for (size_t runLength : {2u, 3u, 4u, 17u, 33u, 129u, 130u, 131u, 132u, 133u, 260u, 261u}) {
      for (size_t at = 0; at < length; ++at) inputs.push_back(runPlantedIn(length, at, runLength));
    }
  }
  // Larger blocks, where a scan step can start anywhere relative to the data.
  for (size_t length : {1u << 20, (1u << 20) + 13}) {
    inputs.push_back(mixedRuns(rng, length));
    Bytes random(length);
    for (auto& b : random) b = static_cast<uint8_t>(rng());
    inputs.push_back(std::move(random));
  }
  return inputs;
}

// Guard bytes after a caller's buffer show a write past its end.
constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xE5;

bool guardIntact(const Bytes& buffer, size_t used) {
  for (size_t i = used; i < buffer.size(); ++i) {
    if (buffer[i] != kGuardByte) return false;
  }
  return true;
}

TEST(RleCodec, EveryEncoderMatchesGreedyRuleAndRoundTrips) {
  const std::vector<NamedRleEncoder> encoders = availableRleEncoders();
  std::printf("[          ] encoders:");
  for (const auto& e : encoders) std::printf(" %s", e.name);
  std::printf("\n");

  for (const Bytes& raw : encoderInputs()) {
    const size_t length = raw.size();
    const Bytes expected = referenceEncode(raw);
    ASSERT_LE(expected.size(), rleBound(length)) << "length " << length;

    // The public entry points use the best encoder.
    ASSERT_EQ(encode(raw), expected) << "length " << length;
    Bytes back;
    ASSERT_TRUE(rleDecode(expected, static_cast<uint32_t>(length), back)) << "length " << length;
    ASSERT_EQ(back, raw) << "length " << length;

    for (const NamedRleEncoder& e : encoders) {
      // Exactly enough room, then one byte too little: the result must be
      // exact in the first case and a clean refusal in the second, with no
      // write past the room given either way.
      Bytes out(expected.size() + kGuard, kGuardByte);
      const size_t n = e.encode(raw.data(), length, out.data(), expected.size());
      ASSERT_EQ(n, expected.size()) << e.name << " length " << length;
      ASSERT_TRUE(std::equal(expected.begin(), expected.end(), out.begin())) << e.name << " length " << length;
      ASSERT_TRUE(guardIntact(out, expected.size())) << e.name << " length " << length;
      if (!expected.empty()) {
        std::fill(out.begin(), out.end(), kGuardByte);
        ASSERT_EQ(e.encode(raw.data(), length, out.data(), expected.size() - 1), kRleTooLong)
            << e.name << " length " << length;
        ASSERT_TRUE(guardIntact(out, expected.size() - 1)) << e.name << " length " << length;
      }
    }
  }
}

TEST(RleEncodeIfSmaller, CodesExactlyWhenShorterAndNeverWritesPastTheBlock) {
  for (const Bytes& raw : encoderInputs()) {
    const size_t length = raw.size();
    const Bytes expected = referenceEncode(raw);
    Bytes out(length + kGuard, kGuardByte);
    size_t codedLength = 0;
    const bool smaller = rleEncodeIfSmaller(raw.data(), length, out.data(), codedLength);
    ASSERT_EQ(smaller, expected.size() < length) << "length " << length;
    if (smaller) {
      ASSERT_EQ(codedLength, expected.size()) << "length " << length;
      ASSERT_TRUE(std::equal(expected.begin(), expected.end(), out.begin())) << "length " << length;
    }
    ASSERT_TRUE(guardIntact(out, length)) << "length " << length;
  }
}

TEST(RleDecodeInto, FillsTheBufferExactlyAndNeverWritesOutsideIt) {
  std::mt19937 rng(99);
  struct Case {
    const char* name;
    Bytes coded;
    size_t size;
    bool ok;
  };
  std::vector<Case> cases = {
      {"empty", {}, 0, true},
      {"empty input, nonzero size", {}, 1, false},
      {"repeat without value", fromHex("80"), 3, false},
      {"literal past the end", fromHex("05 41 42"), 6, false},
      {"repeat overshoots size", fromHex("81 41"), 3, false},
      {"output short of size", fromHex("00 41"), 2, false},
      {"longest repeat, exact", fromHex("FF 41"), 130, true},
      {"longest repeat, one short", fromHex("FF 41"), 129, false},
      {"longest literal, exact", concat(fromHex("7F"), counting(128)), 128, true},
  };
  // Valid streams of every shape, and each one cut short and overlong, so the
  // piecewise copies meet both buffer ends at every offset.
  for (size_t length : {1u, 15u, 16u, 17u, 127u, 128u, 129u, 130u, 131u, 300u, 5000u}) {
    const Bytes raw = mixedRuns(rng, length);
    const Bytes coded = encode(raw);
    cases.push_back({"valid", coded, length, true});
    cases.push_back({"size one larger", coded, length + 1, false});
    cases.push_back({"size one smaller", coded, length - 1, false});
    cases.push_back({"last byte cut", Bytes(coded.begin(), coded.end() - 1), length, false});
  }
  for (const Case& c : cases) {
    Bytes out(c.size + kGuard, kGuardByte);
    EXPECT_EQ(rleDecodeInto(c.coded.data(), c.coded.size(), out.data(), c.size), c.ok) << c.name << " " << c.size;
    EXPECT_TRUE(guardIntact(out, c.size)) << c.name << " " << c.size;
    if (c.ok) {
      Bytes viaVector;
      ASSERT_TRUE(rleDecode(c.coded, static_cast<uint32_t>(c.size), viaVector)) << c.name;
      EXPECT_TRUE(std::equal(viaVector.begin(), viaVector.end(), out.begin())) << c.name << " " << c.size;
    }
  }
}

TEST(DecodeBlock, FollowsTheArchiveVersionsCodecRules) {
  const Bytes raw = concat(Bytes(10, 0x41), fromHex("01 02 03"));
  const Bytes coded = encode(raw);
  const uint32_t rawSize = static_cast<uint32_t>(raw.size());
  const uint32_t rle = static_cast<uint32_t>(BlockCodec::Rle);
  const uint32_t stored = static_cast<uint32_t>(BlockCodec::Stored);

  struct Case {
    const char* name;
    uint32_t version;
    uint32_t codec;
    Bytes bytes;
    bool ok;
  };
  const Case cases[] = {
      {"v3 rle", 3, rle, coded, true},
      {"v3 rle, bad stream", 3, rle, fromHex("80"), false},
      {"v3 stored", 3, stored, raw, true},
      {"v3 stored, too short", 3, stored, Bytes(raw.begin(), raw.end() - 1), false},
      {"v3 stored, too long", 3, stored, concat(raw, fromHex("00")), false},
      {"v3 unknown codec", 3, 7, coded, false},
      {"v2 ignores codec 1", 2, stored, coded, true},
      {"v2 ignores codec 7", 2, 7, coded, true},
      {"v2 raw bytes are not stored", 2, stored, raw, false},
  };
  for (const Case& c : cases) {
    Bytes out;
    const bool ok = decodeBlock(c.version, c.codec, c.bytes.data(), c.bytes.size(), rawSize, out);
    EXPECT_EQ(ok, c.ok) << c.name;
    if (ok) {
      EXPECT_EQ(out, raw) << c.name;
    }
  }
}

uint32_t crc32Bitwise(const uint8_t* data, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) ? 0xEDB88320u : 0u);
  }
  return ~crc;
}

TEST(Crc32, KnownValues) {
  const std::string check = "123456789";
  EXPECT_EQ(crc32(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0xCBF43926u);
  EXPECT_EQ(crc32(nullptr, 0), 0u);
}

TEST(Crc32, EveryKernelMatchesBitwiseDefinitionAtEveryLengthAndAlignment) {
  const std::vector<NamedCrcKernel> kernels = availableCrcKernels();
  std::printf("[          ] crc kernels:");
  for (const auto& k : kernels) std::printf(" %s", k.name);
  std::printf("\n");

  constexpr size_t kMaxLength = 4096;
  constexpr size_t kAlignments = 64;
  std::mt19937 rng(777);
  Bytes buffer(kMaxLength + kAlignments);
  for (auto& b : buffer) b = static_cast<uint8_t>(rng());

  for (size_t offset = 0; offset < kAlignments; ++offset) {
    const uint8_t* p = buffer.data() + offset;
    // The bitwise CRC of every prefix, in one pass.
    std::vector<uint32_t> expected(kMaxLength + 1);
    uint32_t state = 0xFFFFFFFFu;
    expected[0] = 0;
    for (size_t i = 0; i < kMaxLength; ++i) {
      state ^= p[i];
      for (int bit = 0; bit < 8; ++bit) state = (state >> 1) ^ ((state & 1u) ? 0xEDB88320u : 0u);
      expected[i + 1] = ~state;
    }
    // Plain compares in the loop: a million assertions would dominate the run.
    for (size_t length = 0; length <= kMaxLength; ++length) {
      if (crc32(p, length) != expected[length]) {
        FAIL() << "crc32 offset " << offset << " length " << length;
      }
      for (const NamedCrcKernel& k : kernels) {
        if (k.kernel(0, p, length) != expected[length]) {
          FAIL() << k.name << " offset " << offset << " length " << length;
        }
      }
    }
  }
}

TEST(Crc32, EveryKernelContinuesFromAnEarlierCrc) {
  std::mt19937 rng(31);
  Bytes data(100000);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  for (size_t length : {1u, 64u, 255u, 256u, 257u, 1000u, 100000u}) {
    const uint32_t whole = crc32Bitwise(data.data(), length);
    for (size_t split : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}, length / 2, length - 1, length}) {
      if (split > length) continue;
      for (const NamedCrcKernel& k : availableCrcKernels()) {
        const uint32_t first = k.kernel(0, data.data(), split);
        EXPECT_EQ(k.kernel(first, data.data() + split, length - split), whole)
            << k.name << " length " << length << " split " << split;
      }
    }
  }
}

}  // namespace
}  // namespace ablative
