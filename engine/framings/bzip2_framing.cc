#include "framings/bzip2_framing.h"

#include <bzlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <deque>
#include <future>

#include "codecs/crc32.h"
#include "framings/chunked_input.h"

namespace ablative {

namespace {

constexpr uint32_t kBzip2Coding = 12;  // as zip numbers its methods
constexpr uint8_t kMagic[] = {'B', 'Z', 'h'};
constexpr size_t kHeaderBytes = sizeof kMagic + 1;  // then the block size, '1' to '9' hundred thousand bytes
constexpr uint64_t kBlockMagic = 0x314159265359, kEndMagic = 0x177245385090;
constexpr int kMagicBits = 48, kCrcBits = 32, kMarkBits = kMagicBits + kCrcBits;
constexpr size_t kMagicSpan = 7;  // bytes a magic may touch
// More than any block takes: 900,000 symbols and its end of at most 20 bits
// each, behind tables of under 30 KB.
constexpr size_t kLargestBlock = 4u << 20;
constexpr size_t kOutputBytes = 256u << 10;
constexpr uint8_t kLargestLevel = '9';  // a unit decodes with it whatever its stream's: the pass checked the blocks
constexpr wchar_t kDataAfterEnd[] = L"Data after the end of the bzip2 stream: at byte ";
// Blocks decode on other threads, this many at a time, while the earlier
// ones' bytes are handed on in order: the pass then runs at the speed of
// every core, not one.
constexpr size_t kBlocksAhead = 2;

using OnBytes = std::function<Status(const uint8_t* bytes, size_t length)>;

Status damaged(const wchar_t* why, uint64_t streamOffset) {
  return failure(StatusKind::Failed,
                 L"Bzip2 data is damaged (" + (why + (L"): at byte " + std::to_wstring(streamOffset))));
}

Status endsEarlyAsDamaged(Status read, uint64_t streamOffset) {
  return read.kind == StatusKind::EndedEarly ? damaged(L"ends early", streamOffset) : read;
}

Status noMemory() { return failure(StatusKind::Failed, L"Not enough memory to decode"); }

// The `count` bits (at most 57) from bit `at` of the `length` bytes, the
// first bit highest; zeros past their end.
uint64_t bitsAt(const uint8_t* bytes, size_t length, uint64_t at, int count) {
  uint64_t word = 0;
  for (size_t i = at / 8; i < at / 8 + 8; ++i) word = word << 8 | (i < length ? bytes[i] : 0);
  return (word << (at % 8)) >> (64 - count);
}

// Bits packed into bytes, the first bit highest.
class BitPacker {
 public:
  void put(uint64_t value, int count) {  // count at most 32
    held_ = held_ << count | value;
    heldBits_ += count;
    for (; heldBits_ >= 8; heldBits_ -= 8) bytes.push_back(static_cast<uint8_t>(held_ >> (heldBits_ - 8)));
  }
  // Bits [from, to) of the `length` bytes.
  void copy(const uint8_t* from, size_t length, uint64_t at, uint64_t to) {
    for (; at + 32 <= to; at += 32) put(bitsAt(from, length, at, 32), 32);
    if (at < to) put(bitsAt(from, length, at, static_cast<int>(to - at)), static_cast<int>(to - at));
  }
  // The last byte begun, its bits not put zeros.
  void flush() {
    if (heldBits_ > 0) put(0, 8 - heldBits_);
  }

  std::vector<uint8_t> bytes;

 private:
  uint64_t held_ = 0;
  int heldBits_ = 0;
};

// A stream's header: its magic and block size digit.
BitPacker streamHeader(uint8_t level) {
  BitPacker packer;
  for (const uint8_t byte : kMagic) packer.put(byte, 8);
  packer.put(level, 8);
  return packer;
}

class Bunzip {
 public:
  Bunzip() : begun_(BZ2_bzDecompressInit(&stream, 0, 0) == BZ_OK) {}
  ~Bunzip() {
    if (begun_) BZ2_bzDecompressEnd(&stream);
  }
  Bunzip(const Bunzip&) = delete;
  Bunzip& operator=(const Bunzip&) = delete;
  bool begun() const { return begun_; }

  // Decodes what it was given until it can go no further: libbz2's last code.
  int pump() {
    for (;;) {
      const unsigned in = stream.avail_in, room = stream.avail_out;
      const int code = BZ2_bzDecompress(&stream);
      if (code != BZ_OK || (stream.avail_in == in && stream.avail_out == room)) return code;
    }
  }

  bz_stream stream{};

 private:
  const bool begun_;
};

// Decodes bits [from, to) of the `length` bytes, one whole block whose CRC
// is `crc`, as a stream of that block alone, handing its bytes to `onBytes`
// where there is one. Fails with onBytes's failure, for lack of memory, or,
// with no message, as DamagedBlock where the bits are not one whole block
// that decodes to what its CRC says.
Status decodeBlock(uint8_t level, const uint8_t* bytes, size_t length, uint64_t from, uint64_t to, uint32_t crc,
                   const OnBytes& onBytes) {
  BitPacker packer = streamHeader(level);
  packer.copy(bytes, length, from, to);
  packer.put(kEndMagic >> 16, 32);
  packer.put(kEndMagic & 0xffff, 16);
  packer.put(crc, kCrcBits);
  packer.flush();
  Bunzip bunzip;
  if (!bunzip.begun()) return noMemory();
  bz_stream& stream = bunzip.stream;
  stream.next_in = reinterpret_cast<char*>(packer.bytes.data());
  stream.avail_in = static_cast<unsigned>(packer.bytes.size());
  std::vector<uint8_t> output(kOutputBytes);
  for (;;) {
    stream.next_out = reinterpret_cast<char*>(output.data());
    stream.avail_out = static_cast<unsigned>(output.size());
    const int code = BZ2_bzDecompress(&stream);
    const size_t made = output.size() - stream.avail_out;
    if (made > 0 && onBytes) {
      if (Status taken = onBytes(output.data(), made); !taken.ok()) return taken;
    }
    if (code == BZ_STREAM_END) return {};
    if (code == BZ_MEM_ERROR) return noMemory();
    // With room left, libbz2 stops only for input: the stream made here has none more.
    if (code != BZ_OK || made < output.size()) return failure(StatusKind::DamagedBlock, L"");
  }
}

// Whether a magic may start in the byte before `byte`, which then holds 8
// of its bits: most bytes do not, and are passed over at once.
bool mayFollowMagicStart(uint8_t byte) {
  static const std::array<bool, 256> table = [] {
    std::array<bool, 256> seconds{};
    for (const uint64_t magic : {kBlockMagic, kEndMagic}) {
      for (int shift = 0; shift < 8; ++shift) seconds[(magic >> (32 + shift)) & 0xff] = true;
    }
    return seconds;
  }();
  return table[byte];
}

// The first bit at or after `from` of the `length` bytes where a block's or
// a stream end's magic starts, among those whose bytes are all there; else
// UINT64_MAX.
uint64_t findMagic(const uint8_t* bytes, size_t length, uint64_t from) {
  for (size_t i = from / 8; i + kMagicSpan <= length; ++i) {
    if (!mayFollowMagicStart(bytes[i + 1])) continue;
    for (uint64_t at = std::max<uint64_t>(from, 8 * i); at < 8 * i + 8; ++at) {
      const uint64_t bits = bitsAt(bytes, length, at, kMagicBits);
      if (bits == kBlockMagic || bits == kEndMagic) return at;
    }
  }
  return UINT64_MAX;
}

// Where a block starts, as a point there keeps it: the first whole byte
// after its first bit, and the bits of the byte before that are its own.
struct BlockStart {
  uint64_t in = 0;
  uint8_t saved[2] = {};  // how many bits, then those bits
};

// A block read whole and decoding on a thread of its own.
struct BlockAhead {
  struct Decoded {
    Status status;
    std::vector<uint8_t> bytes;
  };
  BlockStart start;
  uint32_t crc = 0;
  std::future<Decoded> decoded;
};

struct Bzip2Reader {
  ChunkedInput input;
  FramingPass& pass;
  uint64_t out = 0;  // bytes decoded, of the blocks handed on
  std::deque<BlockAhead> ahead;
};

// A stream being read, and what its blocks come to so far.
struct StreamRead {
  size_t frame = 0;
  uint64_t offset = 0;
  uint8_t level = 0;
  uint32_t combinedCrc = 0;
  uint64_t sincePoint = 0;  // bytes decoded since its last point
};

// A block starting at bit `bit` of the input as it is now.
BlockStart startAt(const ChunkedInput& input, uint64_t bit) {
  const auto bits = static_cast<uint8_t>((8 - bit % 8) % 8);
  return {input.offset() + (bit + 7) / 8,
          {bits, static_cast<uint8_t>(bits > 0 ? input.data()[bit / 8] & ((1u << bits) - 1) : 0)}};
}

// A point where a block starts.
void pointAt(Bzip2Reader& reader, StreamRead& stream, const BlockStart& start) {
  stream.sincePoint = 0;
  if (!reader.pass.onPoint) return;
  reader.pass.onPoint({start.in, reader.out, stream.frame,
                       start.saved[0] > 0 ? std::span<const uint8_t>(start.saved) : std::span<const uint8_t>()});
}

// A point where a block starts, if one is due there.
void pointIfDue(Bzip2Reader& reader, StreamRead& stream, const BlockStart& start) {
  if (stream.sincePoint > 0 && stream.sincePoint >= reader.pass.pointSpacing) pointAt(reader, stream, start);
}

// A block's bytes, once decoded, after its point, and its CRC into the stream's.
Status handOn(Bzip2Reader& reader, StreamRead& stream, const BlockStart& start, uint32_t crc,
              const std::function<Status(const OnBytes&)>& decode) {
  pointIfDue(reader, stream, start);
  const OnBytes onBytes = [&](const uint8_t* bytes, size_t length) {
    reader.out += length;
    stream.sincePoint += length;
    return reader.pass.onBytes(bytes, length);
  };
  Status decoded = decode(onBytes);
  if (decoded.kind == StatusKind::DamagedBlock) return damaged(L"invalid compressed data", stream.offset);
  stream.combinedCrc = (stream.combinedCrc << 1 | stream.combinedCrc >> 31) ^ crc;
  return decoded;
}

// The block at bits [from, to) of the input, whose CRC is `crc`, decoded and handed on.
Status takeBlock(Bzip2Reader& reader, StreamRead& stream, uint64_t from, uint64_t to, uint32_t crc) {
  return handOn(reader, stream, startAt(reader.input, from), crc, [&](const OnBytes& onBytes) {
    return decodeBlock(stream.level, reader.input.data(), reader.input.available(), from, to, crc, onBytes);
  });
}

// The blocks ahead but the last `kept`, in order.
Status finishBlocksAhead(Bzip2Reader& reader, StreamRead& stream, size_t kept = 0) {
  while (reader.ahead.size() > kept) {
    BlockAhead block = std::move(reader.ahead.front());
    reader.ahead.pop_front();
    BlockAhead::Decoded decoded = block.decoded.get();
    Status handed = handOn(reader, stream, block.start, block.crc, [&](const OnBytes& onBytes) {
      if (decoded.status.ok() && !decoded.bytes.empty()) return onBytes(decoded.bytes.data(), decoded.bytes.size());
      return decoded.status;
    });
    if (!handed.ok()) return handed;
  }
  return {};
}

// The block at bits [from, to) of the input, copied and decoded on a thread of its own.
Status readBlockAhead(Bzip2Reader& reader, StreamRead& stream, uint64_t from, uint64_t to, uint32_t crc) {
  if (Status finished = finishBlocksAhead(reader, stream, kBlocksAhead - 1); !finished.ok()) return finished;
  const uint64_t firstByte = from / 8;
  std::vector<uint8_t> stored(reader.input.data() + firstByte, reader.input.data() + (to + 7) / 8);
  auto decoding = [stored = std::move(stored), level = stream.level, from = from - 8 * firstByte,
                   to = to - 8 * firstByte, crc] {
    BlockAhead::Decoded decoded;
    decoded.status = decodeBlock(level, stored.data(), stored.size(), from, to, crc, [&](const uint8_t* bytes, size_t n) {
      decoded.bytes.insert(decoded.bytes.end(), bytes, bytes + n);
      return Status{};
    });
    return decoded;
  };
  reader.ahead.push_back({startAt(reader.input, from), crc, std::async(std::launch::async, std::move(decoding))});
  return {};
}

// Where the block at bit `from` ends: where the next magic starts. Fails as
// EndedEarly where the file ends first, and as DamagedBlock past the most a
// block takes.
Status findBlockEnd(ChunkedInput& input, uint64_t from, uint64_t& end) {
  for (uint64_t at = from + kMarkBits;;) {
    if ((end = findMagic(input.data(), input.available(), at)) != UINT64_MAX) return {};
    if (input.available() - from / 8 > kLargestBlock) return failure(StatusKind::DamagedBlock, L"");
    at = std::max<uint64_t>(at, 8 * (input.available() - std::min(input.available(), kMagicSpan - 1)));
    if (Status more = input.ensure(input.available() + 1); !more.ok()) return more;
  }
}

// The file ends inside the stream, in the block at bit `from`. A consuming
// run cuts an archive where a unit starts, at a block's start, whose magic's
// first bits the byte before may hold: where the block decodes whole up to
// such a place, it is handed on, with the point there if one is due, for the
// source to find the cut.
Status readCutBlock(Bzip2Reader& reader, StreamRead& stream, uint64_t from, uint32_t crc) {
  if (Status finished = finishBlocksAhead(reader, stream); !finished.ok()) return finished;
  const uint64_t bits = 8 * reader.input.available();
  for (int k = 0; k < 8 && bits - k > from + kMarkBits; ++k) {
    const uint64_t end = bits - k;
    if (k > 0 && bitsAt(reader.input.data(), reader.input.available(), end, k) != kBlockMagic >> (kMagicBits - k)) {
      continue;
    }
    if (!decodeBlock(stream.level, reader.input.data(), reader.input.available(), from, end, crc, {}).ok()) continue;
    if (Status taken = takeBlock(reader, stream, from, end, crc); !taken.ok()) return taken;
    pointIfDue(reader, stream, startAt(reader.input, end));
    break;
  }
  return damaged(L"ends early", stream.offset);
}

// The stream's blocks, from its first, and its end, the blocks decoding
// ahead handed on before it.
Status readBlocksAhead(Bzip2Reader& reader, StreamRead& stream) {
  ChunkedInput& input = reader.input;
  for (uint64_t bit = 0;;) {
    if (Status read = input.ensure((bit + kMarkBits + 7) / 8); !read.ok()) {
      return endsEarlyAsDamaged(read, stream.offset);
    }
    const uint64_t magic = bitsAt(input.data(), input.available(), bit, kMagicBits);
    const auto crc = static_cast<uint32_t>(bitsAt(input.data(), input.available(), bit + kMagicBits, kCrcBits));
    if (magic == kEndMagic) {
      if (Status finished = finishBlocksAhead(reader, stream); !finished.ok()) return finished;
      if (crc != stream.combinedCrc) {
        return failure(StatusKind::Failed,
                       L"Checksum verification failed: bzip2 stream at byte " + std::to_wstring(stream.offset));
      }
      Frame& frame = reader.pass.frames[stream.frame];
      frame.dataEnd = input.offset() + (bit + 7) / 8;
      frame.outEnd = reader.out;
      input.advance((bit + kMarkBits + 7) / 8);
      return {};
    }
    if (magic != kBlockMagic) return damaged(L"invalid compressed data", stream.offset);
    uint64_t end = 0;
    Status found = findBlockEnd(input, bit, end);
    if (found.kind == StatusKind::EndedEarly) return readCutBlock(reader, stream, bit, crc);
    if (found.kind == StatusKind::DamagedBlock) return damaged(L"invalid compressed data", stream.offset);
    if (!found.ok()) return found;
    if (Status taken = readBlockAhead(reader, stream, bit, end, crc); !taken.ok()) return taken;
    input.advance(end / 8);
    bit = end % 8;
  }
}

// A block ahead that fails is the first fault: it lies before what stopped the reading.
Status readBlocks(Bzip2Reader& reader, StreamRead& stream) {
  Status read = readBlocksAhead(reader, stream);
  Status before = finishBlocksAhead(reader, stream);
  return before.ok() ? read : before;
}

// One stream and what follows it; `another` where a next stream may start.
Status readStream(Bzip2Reader& reader, bool& another) {
  ChunkedInput& input = reader.input;
  StreamRead stream{.frame = reader.pass.frames.size(), .offset = input.offset()};
  Status read = input.ensure(kHeaderBytes);
  if (read.kind != StatusKind::Ok && read.kind != StatusKind::EndedEarly) return read;
  if (input.available() < sizeof kMagic || !std::equal(kMagic, kMagic + sizeof kMagic, input.data())) {
    reader.pass.unaccounted = kDataAfterEnd + std::to_wstring(stream.offset);
    return another = false, Status{};
  }
  if (!read.ok()) return damaged(L"ends early", stream.offset);
  stream.level = input.data()[sizeof kMagic];
  if (stream.level < '1' || stream.level > '9') return damaged(L"invalid block size", stream.offset);
  Frame& frame = reader.pass.frames.emplace_back();
  frame.offset = stream.offset;
  frame.headerCrc = crc32(input.data(), kHeaderBytes);
  frame.dataStart = frame.dataEnd = stream.offset + kHeaderBytes;
  frame.outStart = frame.outEnd = reader.out;
  pointAt(reader, stream, startAt(input, 8 * kHeaderBytes));
  input.advance(kHeaderBytes);
  if (Status blocks = readBlocks(reader, stream); !blocks.ok()) return blocks;
  return whatFollowsStream(input, kMagic[0], kDataAfterEnd, reader.pass.unaccounted, another);
}

Status passOver(FileHandle& file, FramingPass& pass) {
  pass.frames.clear();
  pass.unaccounted.clear();
  uint64_t size = 0;
  if (!fileSize(file, size)) return failure(StatusKind::Failed, L"Unable to open archive file");
  Bzip2Reader reader{ChunkedInput(file, size), pass, 0, {}};
  for (bool another = true; another;) {
    if (Status stream = readStream(reader, another); !stream.ok()) return stream;
  }
  return {};
}

bool recognises(std::span<const uint8_t> firstBytes) {
  return firstBytes.size() >= kHeaderBytes && std::equal(kMagic, kMagic + sizeof kMagic, firstBytes.begin()) &&
         firstBytes[sizeof kMagic] >= '1' && firstBytes[sizeof kMagic] <= '9';
}

bool pointReads(std::span<const uint8_t> saved) {
  return saved.size() == 2 && saved[0] > 0 && saved[0] < 8 && saved[1] >> saved[0] == 0;
}

// `stored` from a point: its blocks, and perhaps the first bits of the next
// block's magic or the stream end's in its last byte. They decode as a stream
// of those blocks that never reaches its end: the bits that follow the last
// block are too few for libbz2 to read as a magic, as long as the last byte,
// padded, is given only where the blocks have not ended before it.
bool decode(std::span<const uint8_t> saved, std::span<const uint8_t> stored, std::span<uint8_t> out) {
  if ((!saved.empty() && !pointReads(saved)) || stored.size() >= UINT_MAX - kHeaderBytes || out.size() >= UINT_MAX) {
    return false;
  }
  BitPacker packer = streamHeader(kLargestLevel);
  if (!saved.empty()) packer.put(saved[1], saved[0]);
  packer.copy(stored.data(), stored.size(), 0, 8 * stored.size());
  const size_t whole = packer.bytes.size();
  packer.flush();
  Bunzip bunzip;
  bz_stream& stream = bunzip.stream;
  stream.next_in = reinterpret_cast<char*>(packer.bytes.data());
  stream.avail_in = static_cast<unsigned>(whole);
  stream.next_out = reinterpret_cast<char*>(out.data());
  stream.avail_out = static_cast<unsigned>(out.size());
  int code = bunzip.begun() ? bunzip.pump() : BZ_MEM_ERROR;
  if (code == BZ_OK && stream.avail_out > 0 && whole < packer.bytes.size()) {
    ++stream.avail_in;
    code = bunzip.pump();
  }
  // A byte past `out`, which only blocks longer than wanted fill; with room
  // for it, libbz2 checks the last block's CRC once that block is out.
  char spare = 0;
  if (code == BZ_OK && stream.avail_out == 0) {
    stream.next_out = &spare;
    stream.avail_out = 1;
    code = bunzip.pump();
  }
  return code == BZ_OK && stream.next_out == &spare;
}

}  // namespace

const Framing& bzip2Framing() {
  static const Framing framing{
      .name = L"bz2",
      .coding = kBzip2Coding,
      .recognises = recognises,
      .pass = passOver,
      .pointReads = pointReads,
      .decode = decode,
      .decodeToPoint = nullptr,  // it finds where a stretch ends by itself
      .roomBefore = 0,
      .decodeInOrder = nullptr,  // every piece starts at a point
      .texts = {.frame = L"bzip2 stream at byte ",
                .endsEarly = L"Bzip2 data is damaged (ends early): at byte ",
                .invalidData = L"Bzip2 data is damaged (invalid compressed data): at byte ",
                .unsplittable = L"Bzip2 stream cannot be split into pieces small enough to extract: at byte ",
                .fileNoun = L"bzip2 file",
                .decompressor = L"bunzip2"}};
  return framing;
}

}  // namespace ablative
