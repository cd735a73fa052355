#include "framings/zstd_framing.h"

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <utility>

#include "ablative.h"
#include "codecs/coding.h"
#include "codecs/record_bytes.h"
#include "codecs/xxhash64.h"
#include "codecs/zstd_block.h"
#include "framings/chunked_input.h"
#include "framings/zstd_blocks.h"

namespace ablative {

namespace {

constexpr uint32_t kZstdCoding = 93;  // as zip numbers the method
constexpr uint64_t kLargestWindow = 128u << 20;
constexpr uint64_t kWindowsPerPoint = 16;
constexpr uint64_t kWidestSpacing = 64u << 20;
// Decoded bytes the pass keeps beyond a window before starting again behind it.
constexpr size_t kDecodeRoom = 4u << 20;
constexpr size_t kSkipStep = 4u << 20;
constexpr uint32_t kSkippableMagic = 0x184D2A50, kSkippableMask = 0xFFFFFFF0;

const wchar_t* const kFrameText = L"Zstandard frame at byte ";

Status damaged(const wchar_t* why, uint64_t frameOffset) {
  return failure(StatusKind::Failed,
                 L"Zstandard data is damaged (" + (why + (L"): at byte " + std::to_wstring(frameOffset))));
}

bool startsFrame(const uint8_t* bytes) {
  const uint32_t magic = get32(bytes);
  return magic == ZSTD_MAGICNUMBER || (magic & kSkippableMask) == kSkippableMagic;
}

// The file read in chunks, a block's bytes at a time.
class Input {
 public:
  Input(FileHandle& file, uint64_t size) : chunks_(file, size), size_(size) {}

  uint64_t offset() const { return chunks_.offset(); }
  uint64_t left() const { return size_ - offset(); }
  // The next `length` bytes, in one piece; EndedEarly where the file holds fewer.
  Status need(size_t length, const uint8_t*& bytes) {
    Status got = chunks_.ensure(length);
    bytes = chunks_.data();
    return got;
  }
  void advance(size_t length) { chunks_.advance(length); }

 private:
  ChunkedInput chunks_;
  uint64_t size_;
};

// A point as saved: the history's and the tables' lengths, which of the two
// are compressed (each as one Zstandard frame), the tables' stored length,
// then the tables and the history as stored.
constexpr uint8_t kTablesCompressed = 1, kHistoryCompressed = 2;
constexpr size_t kPointHead = 13;

void packPoint(const std::vector<uint8_t>& tables, std::span<const uint8_t> history, std::vector<uint8_t>& saved) {
  std::vector<uint8_t> packedTables, packedHistory;
  const bool tablesPacked = zstdEncodeIfSmaller(tables.data(), tables.size(), 1, packedTables);
  const bool historyPacked = zstdEncodeIfSmaller(history.data(), history.size(), 1, packedHistory);
  const std::span<const uint8_t> storedTables = tablesPacked ? std::span<const uint8_t>(packedTables) : tables;
  const std::span<const uint8_t> storedHistory = historyPacked ? std::span<const uint8_t>(packedHistory) : history;
  RecordWriter out;
  out.u32(static_cast<uint32_t>(history.size()));
  out.u32(static_cast<uint32_t>(tables.size()));
  out.u8((tablesPacked ? kTablesCompressed : 0) | (historyPacked ? kHistoryCompressed : 0));
  out.u32(static_cast<uint32_t>(storedTables.size()));
  out.raw(storedTables.data(), storedTables.size());
  out.raw(storedHistory.data(), storedHistory.size());
  saved = std::move(out.bytes());
}

bool unpackInto(std::span<const uint8_t> stored, bool compressed, std::span<uint8_t> out) {
  if (compressed) return zstdDecodeInto(stored.data(), stored.size(), out.data(), out.size());
  if (stored.size() != out.size()) return false;
  std::copy(stored.begin(), stored.end(), out.begin());
  return true;
}

// A saved point's lengths and flags, where they hold together.
struct PointHead {
  uint64_t historyLength = 0, tablesLength = 0, storedTables = 0;
  uint8_t flags = 0;
};

bool readPointHead(std::span<const uint8_t> saved, PointHead& head) {
  RecordReader in(saved.data(), saved.size());
  head.historyLength = in.u32();
  head.tablesLength = in.u32();
  head.flags = in.u8();
  head.storedTables = in.u32();
  return in.ok() && head.flags <= (kTablesCompressed | kHistoryCompressed) && head.historyLength <= kLargestWindow &&
         head.tablesLength <= kZstdBlockMax && head.storedTables <= saved.size() - kPointHead;
}

// A saved point's history into `blocks`' window, and its tables.
bool unpackPoint(std::span<const uint8_t> saved, ZstdBlocks& blocks, std::vector<uint8_t>& tables) {
  PointHead head;
  if (!readPointHead(saved, head)) return false;
  tables.resize(head.tablesLength);
  const std::span<const uint8_t> rest = saved.subspan(kPointHead);
  return unpackInto(rest.first(head.storedTables), head.flags & kTablesCompressed, tables) &&
         unpackInto(rest.subspan(head.storedTables), head.flags & kHistoryCompressed,
                    blocks.historyRoom(head.historyLength));
}

// One frame decoded in order: its blocks into a buffer a window and some
// room long, started again behind the last window's bytes whenever the room
// is used up and at every point, so that decoding from a point meets exactly
// what the pass met.
class FrameReader {
 public:
  FrameReader(Input& input, FramingPass& pass, uint64_t& out) : in_(input), pass_(pass), out_(out) {}

  Status read() {
    const uint64_t offset = in_.offset();
    ZSTD_frameHeader header;
    if (Status got = readHeader(offset, header); !got.ok()) return got;
    pass_.frames.push_back({.offset = offset, .dataStart = offset, .outStart = out_});
    if (header.frameType == ZSTD_skippableFrame) return skip(header);
    if (header.dictID != 0) return damaged(L"needs a dictionary", offset);
    if (header.windowSize > kLargestWindow) return damaged(L"window over 128 MiB", offset);
    in_.advance(header.headerSize);
    window_ = static_cast<size_t>(std::min<uint64_t>(header.windowSize, header.frameContentSize));
    buffer_.resize(window_ + kDecodeRoom);
    if (!blocks_.start()) return failure(StatusKind::Failed, L"Not enough memory to decode");
    if (pass_.onPoint) pass_.onPoint({offset, out_, pass_.frames.size() - 1, {}});
    if (Status decoded = readBlocks(offset); !decoded.ok()) return decoded;
    if (Status ended = readEnd(header, offset); !ended.ok()) return ended;
    pass_.frames.back().dataEnd = in_.offset();
    pass_.frames.back().outEnd = out_;
    return {};
  }

 private:
  Status readHeader(uint64_t offset, ZSTD_frameHeader& header) {
    const uint8_t* bytes = nullptr;
    const auto length = static_cast<size_t>(std::min<uint64_t>(ZSTD_FRAMEHEADERSIZE_MAX, in_.left()));
    if (Status got = in_.need(length, bytes); !got.ok()) return got;
    const size_t result = ZSTD_getFrameHeader(&header, bytes, length);
    if (ZSTD_isError(result)) return damaged(L"invalid frame header", offset);
    return result == 0 ? Status{} : damaged(L"ends early", offset);
  }

  Status skip(const ZSTD_frameHeader& header) {
    Frame& frame = pass_.frames.back();
    const uint64_t length = ZSTD_SKIPPABLEHEADERSIZE + header.frameContentSize;
    if (length > in_.left()) return damaged(L"ends early", frame.offset);
    for (uint64_t left = length; left > 0;) {
      const auto step = static_cast<size_t>(std::min<uint64_t>(left, kSkipStep));
      const uint8_t* bytes = nullptr;
      if (Status got = in_.need(step, bytes); !got.ok()) return got;
      in_.advance(step);
      left -= step;
    }
    frame.dataEnd = in_.offset();
    frame.outEnd = out_;
    return {};
  }

  // Where the file ends inside the frame, the frame is cut short.
  Status need(size_t length, const uint8_t*& bytes, uint64_t offset) {
    Status got = in_.need(length, bytes);
    return got.kind == StatusKind::EndedEarly ? damaged(L"ends early", offset) : got;
  }

  Status readBlocks(uint64_t offset) {
    const uint64_t spacing =
        std::max(pass_.pointSpacing, std::min<uint64_t>(kWindowsPerPoint * window_, kWidestSpacing));
    for (uint64_t lastPoint = out_;;) {
      const uint8_t* bytes = nullptr;
      if (Status got = need(3, bytes, offset); !got.ok()) return got;
      const ZstdBlockHeader block = readBlockHeader(bytes);
      in_.advance(3);
      if (Status got = need(block.contentBytes(), bytes, offset); !got.ok()) return got;
      if (used_ + kZstdBlockMax > buffer_.size() && !restart()) return damaged(L"invalid block data", offset);
      const size_t decoded = blocks_.decode(block, bytes, buffer_.data() + used_, buffer_.size() - used_);
      if (decoded == SIZE_MAX) return damaged(L"invalid block data", offset);
      in_.advance(block.contentBytes());
      sum_.update(buffer_.data() + used_, decoded);
      if (Status taken = pass_.onBytes(buffer_.data() + used_, decoded); !taken.ok()) return taken;
      used_ += decoded;
      out_ += decoded;
      if (block.last) return {};
      if (pass_.onPoint && out_ - lastPoint >= spacing) {
        if (!restart()) return damaged(L"invalid block data", offset);
        packPoint(tables_, blocks_.history(), saved_);
        pass_.onPoint({in_.offset(), out_, pass_.frames.size() - 1, saved_});
        lastPoint = out_;
      }
    }
  }

  // The checksum and the length the header states, where it states them.
  Status readEnd(const ZSTD_frameHeader& header, uint64_t offset) {
    const uint64_t decoded = out_ - pass_.frames.back().outStart;
    if (header.frameContentSize != ZSTD_CONTENTSIZE_UNKNOWN && header.frameContentSize != decoded) {
      return damaged(L"wrong length", offset);
    }
    if (!header.checksumFlag) return {};
    const uint8_t* bytes = nullptr;
    if (Status got = need(4, bytes, offset); !got.ok()) return got;
    in_.advance(4);
    if (get32(bytes) == static_cast<uint32_t>(sum_.digest())) return {};
    return failure(StatusKind::Failed, L"Checksum verification failed: " + (kFrameText + std::to_wstring(offset)));
  }

  // Starts the library again from the tables in force and the last window
  // of bytes decoded, as decoding from a point would.
  bool restart() {
    const size_t used = std::exchange(used_, 0);
    return blocks_.restartBehind({buffer_.data(), used}, window_, tables_);
  }

  Input& in_;
  FramingPass& pass_;
  uint64_t& out_;
  ZstdBlocks blocks_;
  Xxh64 sum_;
  size_t window_ = 0;
  std::vector<uint8_t> buffer_;
  size_t used_ = 0;
  std::vector<uint8_t> tables_, saved_;
};

Status passOver(FileHandle& file, FramingPass& pass) {
  uint64_t size = 0;
  if (!fileSize(file, size)) return failure(StatusKind::Failed, L"Unable to open archive file");
  Input in(file, size);
  uint64_t out = 0;
  while (in.left() > 0) {
    const uint8_t* bytes = nullptr;
    if (in.left() < 4 || !in.need(4, bytes).ok() || !startsFrame(bytes)) {
      if (pass.frames.empty()) return damaged(L"ends early", 0);
      pass.unaccounted = L"Data after the end of the Zstandard stream: at byte " + std::to_wstring(in.offset());
      return {};
    }
    FrameReader frame(in, pass, out);
    if (Status read = frame.read(); !read.ok()) return read;
  }
  // Nothing marks a stream's end: a consuming run that cut the file where a
  // frame starts left it ending there, which only the tar inside tells. So
  // the end is a point too, of an empty frame, where no unit starts.
  if (pass.onPoint) {
    pass.frames.push_back({.offset = size, .dataStart = size, .dataEnd = size, .outStart = out, .outEnd = out});
    pass.onPoint({size, out, pass.frames.size() - 1, {}});
  }
  return {};
}

// Its bytes came back whole (their CRC-32 is checked as they are read): the
// head says how they part, and decoding checks the rest, so a window is not
// decompressed once more for each unit only to be told it reads.
bool pointReads(std::span<const uint8_t> saved) {
  PointHead head;
  return readPointHead(saved, head);
}

// Decodes blocks from the start of `stored` into all of `out`: a unit ends
// at a point, between two blocks, or with its frame, where only the frame's
// checksum may follow its last block.
bool decodeBlocks(ZstdBlocks& blocks, std::span<const uint8_t> stored, std::span<uint8_t> out) {
  size_t at = 0, written = 0;
  while (at < stored.size()) {
    if (stored.size() - at < 3) return false;
    const ZstdBlockHeader block = readBlockHeader(stored.data() + at);
    at += 3;
    if (stored.size() - at < block.contentBytes()) return false;
    const size_t decoded = blocks.decode(block, stored.data() + at, out.data() + written, out.size() - written);
    if (decoded == SIZE_MAX) return false;
    at += block.contentBytes();
    written += decoded;
    if (block.last) return written == out.size() && (stored.size() - at == 0 || stored.size() - at == 4);
  }
  return written == out.size();
}

bool decode(std::span<const uint8_t> saved, std::span<const uint8_t> stored, std::span<uint8_t> out) {
  ZstdBlocks blocks;
  if (saved.empty()) {
    ZSTD_frameHeader header;
    if (ZSTD_getFrameHeader(&header, stored.data(), stored.size()) != 0 || header.frameType != ZSTD_frame ||
        header.dictID != 0 || header.headerSize > stored.size() || !blocks.start()) {
      return false;
    }
    return decodeBlocks(blocks, stored.subspan(header.headerSize), out);
  }
  std::vector<uint8_t> tables;
  return unpackPoint(saved, blocks, tables) && blocks.resume(tables) && decodeBlocks(blocks, stored, out);
}

// A frame first, or a skippable frame right before one, as pzstd writes them.
bool looksLikeZstd(std::span<const uint8_t> firstBytes) {
  if (firstBytes.size() < 8) return false;
  const uint32_t magic = get32(firstBytes.data());
  if ((magic & kSkippableMask) != kSkippableMagic) return magic == ZSTD_MAGICNUMBER;
  const uint64_t next = 8 + uint64_t{get32(firstBytes.data() + 4)};
  return next + 4 <= firstBytes.size() && get32(firstBytes.data() + next) == ZSTD_MAGICNUMBER;
}

}  // namespace

const Framing& zstdFraming() {
  static const Framing framing{
      .name = L"zst",
      .coding = kZstdCoding,
      .recognises = looksLikeZstd,
      .pass = passOver,
      .pointReads = pointReads,
      .decode = decode,
      .decodeToPoint = nullptr,  // it finds where a stretch ends by itself
      .roomBefore = 0,
      .decodeInOrder = nullptr,  // every piece starts at a point
      .texts = {.frame = kFrameText,
                .endsEarly = L"Zstandard data is damaged (ends early): at byte ",
                .invalidData = L"Zstandard data is damaged (invalid block data): at byte ",
                .unsplittable = L"Zstandard frame cannot be split into pieces small enough to extract: at byte ",
                .fileNoun = L"Zstandard file",
                .decompressor = L"unzstd"}};
  return framing;
}

}  // namespace ablative
