#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "codec.h"
#include "crc32.h"

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

TEST(RleCodec, MatchesGreedyRuleRoundTripsAndStaysWithinBound) {
  std::mt19937 rng(12345);
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
      const Bytes coded = encode(raw);
      ASSERT_EQ(coded, referenceEncode(raw)) << "length " << length << " trial " << trial;
      EXPECT_LE(coded.size(), length + (length + 127) / 128) << "length " << length;
      Bytes back;
      ASSERT_TRUE(rleDecode(coded, static_cast<uint32_t>(length), back)) << "length " << length;
      ASSERT_EQ(back, raw) << "length " << length << " trial " << trial;
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

TEST(Crc32, MatchesBitwiseReferenceAtEveryLengthAndAlignment) {
  std::mt19937 rng(777);
  Bytes buffer(1024 + 16);
  for (auto& b : buffer) b = static_cast<uint8_t>(rng());
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t length = 0; length <= 1024; ++length) {
      const uint8_t* p = buffer.data() + offset;
      ASSERT_EQ(crc32(p, length), crc32Bitwise(p, length)) << "offset " << offset << " length " << length;
    }
  }
}

}  // namespace
}  // namespace ablative
