// The block codecs and the checksum: the exact run-length form, malformed input, and every encoder and CRC kernel
// this CPU runs against a plain reference; Zstandard frames, the same on every thread and build, and those refused.
#define ZSTD_STATIC_LINKING_ONLY
#include <gtest/gtest.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>

#include "codecs/codec.h"
#include "codecs/codec_kernels.h"
#include "codecs/crc32.h"
#include "codecs/crc32_kernels.h"
#include "codecs/zstd_block.h"
#include "framings/gzip_format.h"
#include "framings/whole_inflate.h"
#include "framings/zstd_blocks.h"
#include "containers/zvka_format.h"

namespace ablative {
namespace {

using Bytes = std::vector<uint8_t>;

// Hex bytes; "41*5" is five 0x41, "#128" the bytes 0 to 127.
Bytes bytes(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  for (std::string token; in >> token;) {
    const size_t star = token.find('*'), count = token[0] == '#' ? std::stoul(token.substr(1)) : 0;
    for (size_t i = 0; i < count; ++i) out.push_back(static_cast<uint8_t>(i));
    const size_t times = count != 0 ? 0 : star == token.npos ? 1 : std::stoul(token.substr(star + 1));
    out.insert(out.end(), times, static_cast<uint8_t>(count != 0 ? 0 : std::stoul(token, nullptr, 16)));
  }
  return out;
}

// The greedy rule written as plainly as possible.
Bytes referenceEncode(const Bytes& raw) {
  const auto runAt = [&](size_t i) {
    size_t r = 1;
    while (r < 130 && i + r < raw.size() && raw[i + r] == raw[i]) ++r;
    return r;
  };
  Bytes out;
  for (size_t i = 0, start = 0; i < raw.size();) {
    if (const size_t r = runAt(i); r >= 3) {
      out.insert(out.end(), {static_cast<uint8_t>(0x80 | (r - 3)), raw[i]});
      i += r;
      continue;
    }
    for (start = i++; i < raw.size() && i - start < 128 && runAt(i) < 3;) ++i;
    out.push_back(static_cast<uint8_t>(i - start - 1));
    out.insert(out.end(), raw.begin() + start, raw.begin() + i);
  }
  return out;
}

// A run-length stream decodes only when well formed and of exactly the raw size; version 3 also stores blocks as
// they stand, version 2 codes every block whatever its codec field says. Version 4 (and 5) adds Zstandard: exactly one frame
// that states the raw size and decodes to it. `abc` is a hand-made frame of one raw block, "abc", that states its size
// (single segment); `unsized` states none (a 1 KiB window instead).
TEST(DecodeBlock, FollowsTheCodecAndTheArchiveVersion) {
  const uint32_t rle = uint32_t(BlockCodec::Rle), raw = uint32_t(BlockCodec::Stored), zstd = uint32_t(BlockCodec::Zstd);
  const std::string abc = "28 B5 2F FD 20 03 19 00 00 61 62 63", unsized = "28 B5 2F FD 00 00 19 00 00 61 62 63";
  // clang-format off
  const std::tuple<uint32_t, uint32_t, std::string, uint32_t, const char*> cases[] = {  // ..., raw size, decoded
      {3, rle, "", 0, ""}, {3, rle, "00 41 00 41 80 41", 5, "41*5"}, {3, rle, "7F #128 FF 41", 258, "#128 41*130"},
      {3, rle, "", 1, nullptr}, {3, rle, "80", 3, nullptr}, {3, rle, "05 41 42", 6, nullptr},
      {3, rle, "05 41 42", 2, nullptr}, {3, rle, "80 43 02 41 42", 6, nullptr}, {3, rle, "81 41", 3, nullptr},
      {3, rle, "00 41", 2, nullptr}, {3, rle, "80 41 00 42", 3, nullptr}, {3, rle, "FF 41", 129, nullptr},
      {3, rle, "80 41", 64u << 20, nullptr}, {3, raw, "41 42", 2, "41 42"}, {3, raw, "41 42", 3, nullptr},
      {3, raw, "41 42 43", 2, nullptr}, {3, 7, "80 41", 3, nullptr}, {2, raw, "80 41", 3, "41*3"},
      {2, 7, "80 41", 3, "41*3"}, {2, raw, "41 42", 2, nullptr}, {4, rle, "80 41", 3, "41*3"},
      {4, raw, "41 42", 2, "41 42"}, {4, 2, "80 41", 3, nullptr}, {4, 3, "80 41", 3, nullptr},
      {5, rle, "80 41", 3, "41*3"}, {6, rle, "80 41", 3, nullptr}, {5, zstd, abc, 3, "61 62 63"}, {4, zstd, abc, 3, "61 62 63"}, {4, zstd, abc, 4, nullptr}, {4, zstd, abc, 2, nullptr},
      {4, zstd, abc.substr(0, abc.size() - 3), 3, nullptr} /* cut */, {4, zstd, abc + " " + abc, 3, nullptr},
      {4, zstd, abc + " 00", 3, nullptr}, {4, zstd, unsized, 3, nullptr}, {4, zstd, "28 B5 2F FD 20 05 19 00 00 61 62 63", 5, nullptr},
      {4, zstd, "50 2A 4D 18 00 00 00 00", 0, nullptr} /* skippable */, {4, zstd, "", 0, nullptr}};
  // clang-format on
  for (const auto& [version, codec, in, size, decoded] : cases) {
    Bytes out{1, 2, 3};  // stale contents are replaced
    const bool ok = decodeBlock(version, codec, bytes(in).data(), bytes(in).size(), size, out);
    EXPECT_EQ(ok ? std::optional(out) : std::nullopt, decoded ? std::optional(bytes(decoded)) : std::nullopt)
        << version << " " << codec << " " << in << " " << size;
  }
}

// Every encoder writes its bytes when given exactly their room, refuses one byte less, and never writes past the room
// (into 0xE5 guard bytes); the public entry points agree, and decoding restores the input. Inputs: random and run-rich
// blocks (runs of every length to 200 over a small alphabet, so repeats get cut at 130, pairs sit inside literals and
// literals hit 128) of every length to 300 and some larger; and a run planted at every position of blocks around the
// vector widths (16 and 32 bytes, and two beyond) and the packet limits.
TEST(Rle, EveryEncoderMatchesTheReference) {
  std::vector<Bytes> inputs;
  std::mt19937 rng(12345);
  std::vector<size_t> lengths = {383, 384, 385, 1000, 4096, 65536, 100003, 1 << 20, (1 << 20) + 13};
  for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (size_t length : lengths) {
    for (unsigned trial = 0; trial < 3; ++trial) {
      for (Bytes& raw = inputs.emplace_back(); raw.size() < length;) {
        const unsigned kind = trial == 0 ? 2 : rng() % 4, value = rng() % 256;
        const size_t n = kind == 0 ? 1 + rng() % 200 : kind == 1 ? 1 + rng() % 4 : 1;
        raw.insert(raw.end(), std::min(n, length - raw.size()), static_cast<uint8_t>(kind == 3 ? value & 3 : value));
      }
    }
  }
  for (size_t length : {17u, 18u, 19u, 33u, 34u, 35u, 64u, 150u, 300u}) {
    for (size_t run : {2u, 3u, 4u, 17u, 33u, 129u, 130u, 131u, 132u, 133u, 260u, 261u}) {
      for (size_t at = 0; at < length; ++at) {
        Bytes& raw = inputs.emplace_back(length);
        for (size_t i = 0; i < length; ++i) raw[i] = i >= at && i < at + run ? 0xAA : i % 7 + (i / 7) % 3 * 16;
      }
    }
  }
  const auto guardIntact = [](const Bytes& buffer, size_t used) {
    return std::all_of(buffer.begin() + used, buffer.end(), [](uint8_t b) { return b == 0xE5; });
  };
  const std::vector<NamedRleEncoder> encoders = availableRleEncoders();
  for (const Bytes& raw : inputs) {
    const size_t length = raw.size();
    const Bytes expected = referenceEncode(raw);
    ASSERT_LE(expected.size(), rleBound(length));
    ASSERT_EQ(rleEncode(raw.data(), length), expected) << "length " << length;
    Bytes out(length + 64, 0xE5);
    ASSERT_TRUE(rleDecode(expected, uint32_t(length), out) && out == raw) << "length " << length;
    out.assign(length + 64, 0xE5);
    size_t coded = 0;
    const bool smaller = rleEncodeIfSmaller(raw.data(), length, out.data(), coded);
    ASSERT_EQ(smaller, expected.size() < length) << "length " << length;
    ASSERT_TRUE(guardIntact(out, length) && (!smaller || Bytes(out.begin(), out.begin() + coded) == expected));
    for (const NamedRleEncoder& e : encoders) {
      for (size_t room : {expected.size(), expected.size() - 1}) {
        if (room == SIZE_MAX) continue;
        out.assign(expected.size() + 64, 0xE5);
        const size_t n = e.encode(raw.data(), length, out.data(), room);
        ASSERT_TRUE(guardIntact(out, room) && n == (room == expected.size() ? room : kRleTooLong) &&
                    (n != room || std::equal(expected.begin(), expected.end(), out.begin())))
            << e.name << " length " << length << " room " << room;
      }
    }
  }
}

// Every kernel, and crc32() itself, against the bitwise definition at every length to 4096 and alignment to 64,
// whole and continued from a first third.
TEST(Crc32, EveryKernelMatchesTheBitwiseDefinition) {
  const std::vector<NamedCrcKernel> kernels = availableCrcKernels();
  std::mt19937 rng(777);
  Bytes buffer(4096 + 64);
  for (auto& b : buffer) b = static_cast<uint8_t>(rng());
  for (const uint8_t* p = buffer.data(); p < buffer.data() + 64; ++p) {
    uint32_t state = 0xFFFFFFFFu;  // the bitwise CRC of p[0, length), not yet complemented
    for (size_t length = 0; length <= 4096; ++length) {
      bool same = crc32(p, length) == ~state;  // plain compares: a million assertions would dominate the run
      for (const NamedCrcKernel& k : kernels) {
        const uint32_t third = k.kernel(0, p, length / 3);
        same &= k.kernel(0, p, length) == ~state && k.kernel(third, p + length / 3, length - length / 3) == ~state;
      }
      if (!same) FAIL() << "offset " << p - buffer.data() << " length " << length;
      state ^= length < 4096 ? p[length] : 0;
      for (int bit = 0; bit < 8; ++bit) state = (state >> 1) ^ ((state & 1u) ? 0xEDB88320u : 0u);
    }
  }
}

bool zstdDecodes(const Bytes& stored, const Bytes& raw) {
  Bytes out(raw.size());
  return zstdDecodeInto(stored.data(), stored.size(), out.data(), raw.size()) && out == raw;
}

// Frames the same from any thread, and pinned: the Windows build (under Wine) must
// code this release's frames too.
TEST(ZstdBlock, RoundTripsTheSameFramesEverywhere) {
  std::mt19937 random(7);  // its raw output is the same everywhere, so the inputs are too
  Bytes noise(20000), mixed;
  for (uint8_t& byte : noise) byte = static_cast<uint8_t>(random());
  for (int line = 0; mixed.size() < 40000; ++line) {
    const std::string row = "row " + std::to_string(line % 97) + ": the quick brown fox\n";
    mixed.insert(mixed.end(), row.begin(), row.end());
  }
  mixed.resize(40000);
  const Bytes text(mixed.begin(), mixed.begin() + 5000);
  mixed.insert(mixed.end(), noise.begin(), noise.end());
  uint32_t allFrames = 0;
  for (const Bytes& raw : {text, Bytes(100000, 0), mixed}) {
    for (int level : {1, 3, 19}) {
      Bytes frame, again;
      ASSERT_TRUE(zstdEncodeIfSmaller(raw.data(), raw.size(), level, frame) && frame.size() < raw.size());
      EXPECT_TRUE(zstdDecodes(frame, raw)) << raw.size() << " bytes at level " << level;
      std::thread([&] { zstdEncodeIfSmaller(raw.data(), raw.size(), level, again); }).join();
      EXPECT_EQ(again, frame) << "another thread codes it differently";
      allFrames = crc32(allFrames, frame.data(), frame.size());
    }
  }
  EXPECT_EQ(allFrames, 0x96E1505Au);
}

// Started again at every block boundary from the tables saved there and the window behind it, the decoder gives the
// rest of the frame as decoding it whole does: the pieces of a tar.zst rely on it, on both builds. Every 50th byte of a
// repeating text changed keeps the repeat offsets in use across blocks.
TEST(ZstdBlocks, DecodingStartsAgainAtEveryBlockBoundary) {
  std::mt19937 random(11);
  Bytes period(1000), raw;
  for (uint8_t& byte : period) byte = static_cast<uint8_t>(random());
  while (raw.size() < (1500 << 10)) raw.insert(raw.end(), period.begin(), period.end());
  for (size_t i = 0; i < raw.size(); i += 50) raw[i] = static_cast<uint8_t>(random());
  constexpr size_t kWindow = 1 << 17;
  Bytes frame(ZSTD_compressBound(raw.size()));
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, 17);
  frame.resize(ZSTD_compress2(context, frame.data(), frame.size(), raw.data(), raw.size()));
  ZSTD_freeCCtx(context);
  ZSTD_frameHeader header;
  ASSERT_EQ(ZSTD_getFrameHeader(&header, frame.data(), frame.size()), 0u);
  // Decodes the blocks from `in` on into `out`; false where one fails.
  const auto decodeFrom = [&](ZstdBlocks& blocks, size_t in, Bytes& out, const auto& atBoundary) {
    for (size_t written = 0;;) {
      const ZstdBlockHeader block = readBlockHeader(frame.data() + in);
      const size_t decoded = blocks.decode(block, frame.data() + in + 3, out.data() + written, out.size() - written);
      if (decoded == SIZE_MAX) return false;
      in += 3 + block.contentBytes(), written += decoded;
      if (block.last) return written == out.size();
      atBoundary(in, written);
    }
  };
  ZstdBlocks whole;
  Bytes decoded(raw.size());
  struct Boundary {
    size_t in, out;
    Bytes tables;
  };
  std::vector<Boundary> boundaries;
  ASSERT_TRUE(whole.start());
  ASSERT_TRUE(decodeFrom(whole, header.headerSize, decoded, [&](size_t in, size_t out) {
    boundaries.push_back({in, out, {}});
    ASSERT_TRUE(whole.saveTables(boundaries.back().tables));
  }));
  ASSERT_EQ(decoded, raw);
  ASSERT_GE(boundaries.size(), 10u);
  for (const Boundary& boundary : boundaries) {
    const size_t history = std::min(kWindow, boundary.out);
    ZstdBlocks again;
    Bytes rest(raw.size() - boundary.out);
    const std::span<uint8_t> room = again.historyRoom(history);
    std::copy_n(raw.begin() + static_cast<ptrdiff_t>(boundary.out - history), history, room.begin());
    ASSERT_TRUE(again.resume(boundary.tables));
    EXPECT_TRUE(decodeFrom(again, boundary.in, rest, [](size_t, size_t) {}) &&
                std::equal(rest.begin(), rest.end(), raw.begin() + static_cast<ptrdiff_t>(boundary.out)))
        << "from byte " << boundary.in;
  }
}

// A stretch between two points decodes alone, at whatever bit its blocks start and whatever blocks it holds: text,
// random bytes that deflate stores, and the empty stored blocks of a full flush, as parallel gzip tools write.
TEST(Inflate, EveryStretchBetweenPointsDecodesAlone) {
  std::mt19937 random(5);
  const std::vector<std::string> words{"the",   "quick", "brown", "fox",   "jumps",  "over",    "a",
                                       "lazy",  "dog",   "while", "seven", "zebras", "quietly", "eat",
                                       "mixed", "grain", "at",    "dusk",  "\n"};
  Bytes raw;
  for (int part = 0; raw.size() < (3 << 20); ++part) {
    const size_t end = raw.size() + 20000 + random() % 60000;
    const bool stored = part % 5 == 4 && raw.size() < (1 << 20);
    while (raw.size() < end) {
      if (stored) {
        raw.push_back(static_cast<uint8_t>(random()));
      } else {
        const std::string& word = words[random() % words.size()];
        raw.insert(raw.end(), word.begin(), word.end());
        raw.push_back(' ');
      }
    }
  }
  z_stream deflating{};
  ASSERT_EQ(deflateInit2(&deflating, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes stream(deflateBound(&deflating, raw.size()) + raw.size() / 1000);
  deflating.next_out = stream.data();
  deflating.avail_out = static_cast<uInt>(stream.size());
  for (size_t at = 0; at < raw.size(); at += 100000) {
    deflating.next_in = raw.data() + at;
    deflating.avail_in = static_cast<uInt>(std::min<size_t>(100000, raw.size() - at));
    const int flush = at + 100000 >= raw.size() ? Z_FINISH : at < (1 << 20) ? Z_FULL_FLUSH : Z_NO_FLUSH;
    ASSERT_NE(deflate(&deflating, flush), Z_STREAM_ERROR);
  }
  stream.resize(deflating.total_out);
  deflateEnd(&deflating);

  std::vector<InflatePoint> points(1);
  RawInflate inflate;
  ASSERT_TRUE(inflate.begin());
  inflate.recordPoints(64 << 10, [&](const InflatePoint& point) { points.push_back(point); });
  Bytes decoded(raw.size());
  const uint8_t* next = stream.data();
  size_t left = stream.size();
  for (RawInflate::Step step = RawInflate::Step::Progress; step == RawInflate::Step::Progress;) {
    step = inflate.step(next, left, decoded.data() + inflate.at.out, decoded.size() - inflate.at.out);
    ASSERT_NE(step, RawInflate::Step::Invalid);
    inflate.recordPointIfDue();
  }
  ASSERT_EQ(decoded, raw);
  std::set<int> bits;
  for (const InflatePoint& point : points) bits.insert(point.bits);
  ASSERT_GE(bits.size(), 6u) << "points at too few bit positions to try";
  for (size_t k = 0; k < points.size(); ++k) {
    const InflatePoint* from = k > 0 ? &points[k] : nullptr;
    const InflatePoint* to = k + 1 < points.size() ? &points[k + 1] : nullptr;
    const uint64_t in = points[k].inOffset, out = points[k].outOffset;
    const std::span<const uint8_t> stored(stream.data() + in, (to ? to->inOffset : stream.size()) - in);
    Bytes room(kInflateRoom + (to ? to->outOffset : raw.size()) - out);
    const std::span<uint8_t> into(room.data() + kInflateRoom, room.size() - kInflateRoom);
    EXPECT_TRUE(inflateFrom(from, to, stored, into) &&
                std::equal(into.begin(), into.end(), raw.begin() + static_cast<ptrdiff_t>(out)))
        << "from the point at byte " << in << ", bit " << points[k].bits;
    // libdeflate decodes each stretch alone.
    if (to == nullptr) continue;
    std::fill(into.begin(), into.end(), 0);
    EXPECT_TRUE(inflateStretch(stretchBetween(from, to, stored), into) &&
                std::equal(into.begin(), into.end(), raw.begin() + static_cast<ptrdiff_t>(out)))
        << "libdeflate from the point at byte " << in << ", bit " << points[k].bits;
  }
}

}  // namespace
}  // namespace ablative
