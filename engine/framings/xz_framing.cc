#include "framings/xz_framing.h"

#include <lzma.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <future>
#include <memory>
#include <optional>

#include "framings/chunked_input.h"

namespace ablative {

namespace {

constexpr uint32_t kXzCoding = 95;  // as zip numbers its methods
constexpr uint8_t kMagic[] = {0xfd, '7', 'z', 'X', 'Z', 0};
constexpr size_t kPaddingGroup = 4;  // stream padding: zeros, this many at a time
constexpr size_t kOutputBytes = 256u << 10;
constexpr uint64_t kMostMemory = 1u << 30;  // xz -9 takes 65 MiB
// Blocks whose header states both sizes (xz -T0 writes them) and that decode
// to at most this decode on other threads, this many at a time, while the
// earlier ones' bytes are handed on in order: the pass then runs at the
// speed of every core, not one.
constexpr uint64_t kLargestBlockAhead = 64u << 20;
constexpr size_t kBlocksAhead = 2;
constexpr wchar_t kDataAfterEnd[] = L"Data after the end of the xz stream: at byte ";

Status damaged(const wchar_t* why, uint64_t at) {
  return failure(StatusKind::Failed, L"Xz data is damaged (" + (why + (L"): at byte " + std::to_wstring(at))));
}

// A read that found the file ended inside a part names the part as cut short.
Status endsEarlyAsDamaged(Status read, uint64_t at) {
  return read.kind == StatusKind::EndedEarly ? damaged(L"ends early", at) : read;
}

Status noMemory() { return failure(StatusKind::Failed, L"Not enough memory to decode"); }

// A block's header as liblzma reads it, with the filters it names, whose
// options liblzma allocates.
class BlockHeader {
 public:
  explicit BlockHeader(lzma_check check) {
    for (lzma_filter& filter : filters_) filter = {LZMA_VLI_UNKNOWN, nullptr};
    block.version = 1;
    block.check = check;
    block.filters = filters_;
  }
  ~BlockHeader() {
    for (lzma_filter& filter : filters_) free(filter.options);
  }
  BlockHeader(const BlockHeader&) = delete;
  BlockHeader& operator=(const BlockHeader&) = delete;

  // The header at `bytes`, `length` of them: LZMA_BUF_ERROR where they do
  // not hold it whole, else liblzma's verdict.
  lzma_ret read(const uint8_t* bytes, size_t length) {
    block.header_size = lzma_block_header_size_decode(bytes[0]);
    return length < block.header_size ? LZMA_BUF_ERROR : lzma_block_header_decode(&block, nullptr, bytes);
  }

  lzma_block block{};

 private:
  lzma_filter filters_[LZMA_FILTERS_MAX + 1];
};

struct Decoder {
  Decoder() = default;
  ~Decoder() { lzma_end(&stream); }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  lzma_stream stream = LZMA_STREAM_INIT;
};

using IndexHash =
    std::unique_ptr<lzma_index_hash, decltype([](lzma_index_hash* hash) { lzma_index_hash_end(hash, nullptr); })>;

// A block read whole and decoding on a thread of its own: its frame, and
// its bytes once decoded (none where it does not decode as its header says).
struct BlockAhead {
  size_t frame = 0;
  lzma_check check = LZMA_CHECK_NONE;
  std::future<std::optional<std::vector<uint8_t>>> decoded;
};

struct XzReader {
  ChunkedInput input;
  FramingPass& pass;
  Decoder decoder;
  uint64_t out = 0;  // bytes decoded, and those the blocks ahead will decode to
  std::deque<BlockAhead> ahead;
};

bool decode(std::span<const uint8_t> saved, std::span<const uint8_t> stored, std::span<uint8_t> out);

// Exactly `length` bytes into `bytes`, or EndedEarly.
Status take(ChunkedInput& input, uint8_t* bytes, size_t length) {
  if (Status got = input.ensure(length); !got.ok()) return got;
  std::copy_n(input.data(), length, bytes);
  input.advance(length);
  return {};
}

Status readStreamHeader(ChunkedInput& input, lzma_stream_flags& flags) {
  const uint64_t at = input.offset();
  uint8_t header[LZMA_STREAM_HEADER_SIZE];
  if (Status read = take(input, header, sizeof header); !read.ok()) return endsEarlyAsDamaged(read, at);
  if (lzma_stream_header_decode(&flags, header) != LZMA_OK) return damaged(L"invalid stream header", at);
  if (!lzma_check_is_supported(flags.check)) return damaged(L"unsupported check", at);
  return {};
}

// The frame of a block starting at the input's offset, and its point. A file
// that ends there gets one too: a consuming run cuts an archive where a unit
// starts.
Frame& startBlock(XzReader& reader, lzma_check check) {
  Frame& frame = reader.pass.frames.emplace_back();
  frame.offset = frame.dataStart = frame.dataEnd = reader.input.offset();
  frame.outStart = frame.outEnd = reader.out;
  if (reader.pass.onPoint) {
    const auto saved = static_cast<uint8_t>(check);
    reader.pass.onPoint({frame.offset, reader.out, reader.pass.frames.size() - 1, {&saved, 1}});
  }
  return frame;
}

// Past FramingPass::goOnAfter bytes of a block, a point every pointSpacing
// that decoding goes on to: liblzma cannot start inside a block.
void goneOnTo(XzReader& reader, uint64_t& next) {
  const FramingPass& pass = reader.pass;
  if (!pass.onPoint || pass.goOnAfter == 0 || reader.out < next) return;
  pass.onPoint({reader.input.offset(), reader.out, pass.frames.size() - 1, {}, true});
  next = reader.out + pass.pointSpacing;
}

// The data of a block whose header is read, its bytes handed on as they
// decode, up to its check.
Status decodeBlockData(XzReader& reader, lzma_block& block, uint64_t blockOffset) {
  lzma_stream& stream = reader.decoder.stream;
  if (const lzma_ret begun = lzma_block_decoder(&stream, &block); begun != LZMA_OK) {
    return begun == LZMA_MEM_ERROR ? noMemory() : damaged(L"unsupported filters", blockOffset);
  }
  ChunkedInput& input = reader.input;
  std::vector<uint8_t> output(kOutputBytes);
  bool outputFull = false;
  uint64_t nextPoint = reader.out + reader.pass.goOnAfter;
  for (lzma_ret ret = LZMA_OK; ret != LZMA_STREAM_END;) {
    if (input.available() == 0 && !outputFull) {
      if (Status filled = input.ensure(1); !filled.ok()) return endsEarlyAsDamaged(filled, blockOffset);
    }
    stream.next_in = input.data();
    stream.avail_in = input.available();
    stream.next_out = output.data();
    stream.avail_out = output.size();
    ret = lzma_code(&stream, LZMA_RUN);
    input.advance(input.available() - stream.avail_in);
    const size_t made = output.size() - stream.avail_out;
    outputFull = made == output.size();
    reader.out += made;
    if (made > 0) {
      if (Status taken = reader.pass.onBytes(output.data(), made); !taken.ok()) return taken;
    }
    if (ret == LZMA_MEM_ERROR) return noMemory();
    if (ret != LZMA_OK && ret != LZMA_STREAM_END) return damaged(L"invalid compressed data", blockOffset);
    if (ret == LZMA_OK) goneOnTo(reader, nextPoint);
  }
  return {};
}

// The blocks ahead but the last `kept`, in order: each one's point, then its bytes.
Status finishBlocksAhead(XzReader& reader, size_t kept = 0) {
  while (reader.ahead.size() > kept) {
    BlockAhead block = std::move(reader.ahead.front());
    reader.ahead.pop_front();
    const std::optional<std::vector<uint8_t>> bytes = block.decoded.get();
    const Frame& frame = reader.pass.frames[block.frame];
    if (!bytes) return damaged(L"invalid compressed data", frame.offset);
    if (reader.pass.onPoint) {
      const auto saved = static_cast<uint8_t>(block.check);
      reader.pass.onPoint({frame.offset, frame.outStart, block.frame, {&saved, 1}});
    }
    if (!bytes->empty()) {
      if (Status taken = reader.pass.onBytes(bytes->data(), bytes->size()); !taken.ok()) return taken;
    }
  }
  return {};
}

// A block whose header states its sizes, read whole and handed to a thread.
Status readBlockAhead(XzReader& reader, lzma_check check, lzma_block& block, lzma_index_hash* index) {
  ChunkedInput& input = reader.input;
  const uint64_t offset = input.offset();
  const lzma_vli total = lzma_block_total_size(&block);
  if (total == 0) return damaged(L"invalid block header", offset);
  if (Status read = input.ensure(total); !read.ok()) return endsEarlyAsDamaged(read, offset);
  std::vector<uint8_t> stored(input.data(), input.data() + total);
  input.advance(total);
  Frame& frame = reader.pass.frames.emplace_back();
  frame.offset = frame.dataStart = offset;
  frame.dataEnd = offset + total;
  frame.outStart = reader.out;
  reader.out += block.uncompressed_size;
  frame.outEnd = reader.out;
  if (lzma_index_hash_append(index, lzma_block_unpadded_size(&block), block.uncompressed_size) != LZMA_OK) {
    return damaged(L"invalid compressed data", offset);
  }
  if (Status finished = finishBlocksAhead(reader, kBlocksAhead - 1); !finished.ok()) return finished;
  const auto length = static_cast<size_t>(block.uncompressed_size);
  auto decoding = [stored = std::move(stored), check, length]() -> std::optional<std::vector<uint8_t>> {
    std::vector<uint8_t> out(length);
    const auto saved = static_cast<uint8_t>(check);
    if (!decode({&saved, 1}, stored, out)) return std::nullopt;
    return out;
  };
  reader.ahead.push_back({reader.pass.frames.size() - 1, check, std::async(std::launch::async, std::move(decoding))});
  return {};
}

// A block, its sizes added to those the index must hold.
Status readBlock(XzReader& reader, lzma_check check, lzma_index_hash* index) {
  ChunkedInput& input = reader.input;
  const uint64_t offset = input.offset();
  BlockHeader header(check);
  Status read = input.ensure(lzma_block_header_size_decode(input.data()[0]));
  if (read.kind != StatusKind::Ok && read.kind != StatusKind::EndedEarly) return read;
  switch (header.read(input.data(), input.available())) {
    case LZMA_OK: break;
    case LZMA_BUF_ERROR: return damaged(L"ends early", offset);
    case LZMA_OPTIONS_ERROR: return damaged(L"unsupported filters", offset);
    default: return damaged(L"invalid block header", offset);
  }
  // A header may name a dictionary of up to 4 GiB, which the decoder
  // allocates whole before it reads a byte of data.
  if (lzma_raw_decoder_memusage(header.block.filters) > kMostMemory) {
    return failure(StatusKind::Failed,
                   L"Xz block needs more than 1 GiB of memory to decode: at byte " + std::to_wstring(offset));
  }
  if (header.block.compressed_size != LZMA_VLI_UNKNOWN && header.block.uncompressed_size <= kLargestBlockAhead &&
      lzma_block_total_size(&header.block) <= 2 * kLargestBlockAhead) {
    return readBlockAhead(reader, check, header.block, index);
  }
  if (Status finished = finishBlocksAhead(reader); !finished.ok()) return finished;
  Frame& frame = startBlock(reader, check);
  input.advance(header.block.header_size);
  if (Status data = decodeBlockData(reader, header.block, frame.offset); !data.ok()) return data;
  frame.dataEnd = input.offset();
  frame.outEnd = reader.out;
  if (lzma_index_hash_append(index, lzma_block_unpadded_size(&header.block), header.block.uncompressed_size) !=
      LZMA_OK) {
    return damaged(L"invalid compressed data", frame.offset);
  }
  return {};
}

Status readIndex(ChunkedInput& input, lzma_index_hash* index) {
  const uint64_t at = input.offset();
  for (lzma_ret ret = LZMA_OK; ret != LZMA_STREAM_END;) {
    if (Status filled = input.ensure(1); !filled.ok()) return endsEarlyAsDamaged(filled, at);
    size_t used = 0;
    ret = lzma_index_hash_decode(index, input.data(), &used, input.available());
    input.advance(used);
    if (ret != LZMA_OK && ret != LZMA_STREAM_END) return damaged(L"index does not match the blocks", at);
  }
  return {};
}

Status readFooter(ChunkedInput& input, const lzma_stream_flags& header, lzma_index_hash* index) {
  const uint64_t at = input.offset();
  uint8_t bytes[LZMA_STREAM_HEADER_SIZE];
  if (Status read = take(input, bytes, sizeof bytes); !read.ok()) return endsEarlyAsDamaged(read, at);
  lzma_stream_flags footer;
  if (lzma_stream_footer_decode(&footer, bytes) != LZMA_OK || lzma_stream_flags_compare(&header, &footer) != LZMA_OK ||
      footer.backward_size != lzma_index_hash_size(index)) {
    return damaged(L"invalid stream footer", at);
  }
  return {};
}

// After a stream: another one (`another` true), or stream padding to the
// end, or other bytes, which `unaccounted` names.
Status whatFollows(ChunkedInput& input, std::wstring& unaccounted, bool& another) {
  another = false;
  for (;;) {
    Status read = input.ensure(sizeof kMagic);
    if (read.kind != StatusKind::Ok && read.kind != StatusKind::EndedEarly) return read;
    const uint8_t* bytes = input.data();
    const size_t length = input.available();
    if (length == 0) return {};
    if (length >= sizeof kMagic && std::equal(kMagic, kMagic + sizeof kMagic, bytes)) return another = true, Status{};
    if (length < kPaddingGroup || std::any_of(bytes, bytes + kPaddingGroup, [](uint8_t b) { return b != 0; })) {
      unaccounted = kDataAfterEnd + std::to_wstring(input.offset());
      return {};
    }
    input.advance(kPaddingGroup);
  }
}

// One stream and what follows it; `another` where a next stream starts.
Status readStream(XzReader& reader, bool& another) {
  lzma_stream_flags flags;
  if (Status header = readStreamHeader(reader.input, flags); !header.ok()) return header;
  const IndexHash index(lzma_index_hash_init(nullptr, nullptr));
  if (!index) return noMemory();
  for (;;) {
    Status filled = reader.input.ensure(1);
    if (filled.kind == StatusKind::EndedEarly) {
      if (Status finished = finishBlocksAhead(reader); !finished.ok()) return finished;
      return damaged(L"ends early", startBlock(reader, flags.check).offset);
    }
    if (!filled.ok()) return filled;
    if (reader.input.data()[0] == 0) break;  // the index's indicator, where a block header's size would be
    if (Status block = readBlock(reader, flags.check, index.get()); !block.ok()) {
      // A block ahead that fails is the fault: it lies before this one.
      Status before = finishBlocksAhead(reader);
      return before.ok() ? block : before;
    }
  }
  if (Status finished = finishBlocksAhead(reader); !finished.ok()) return finished;
  if (Status read = readIndex(reader.input, index.get()); !read.ok()) return read;
  if (Status read = readFooter(reader.input, flags, index.get()); !read.ok()) return read;
  return whatFollows(reader.input, reader.pass.unaccounted, another);
}

Status passOver(FileHandle& file, FramingPass& pass) {
  pass.frames.clear();
  pass.unaccounted.clear();
  uint64_t size = 0;
  if (!fileSize(file, size)) return failure(StatusKind::Failed, L"Unable to open archive file");
  XzReader reader{ChunkedInput(file, size), pass, {}, 0, {}};
  for (bool another = true; another;) {
    if (Status stream = readStream(reader, another); !stream.ok()) return stream;
  }
  return {};
}

bool recognises(std::span<const uint8_t> firstBytes) {
  return firstBytes.size() >= sizeof kMagic && std::equal(kMagic, kMagic + sizeof kMagic, firstBytes.begin());
}

bool pointReads(std::span<const uint8_t> saved) {
  return saved.size() == 1 && saved[0] <= LZMA_CHECK_ID_MAX &&
         lzma_check_is_supported(static_cast<lzma_check>(saved[0]));
}

// A whole block, header to check, into exactly `out`.
bool decode(std::span<const uint8_t> saved, std::span<const uint8_t> stored, std::span<uint8_t> out) {
  if (!pointReads(saved) || stored.empty()) return false;
  BlockHeader header(static_cast<lzma_check>(saved[0]));
  Decoder decoder;
  lzma_stream& stream = decoder.stream;
  if (header.read(stored.data(), stored.size()) != LZMA_OK || lzma_block_decoder(&stream, &header.block) != LZMA_OK) {
    return false;
  }
  stream.next_in = stored.data() + header.block.header_size;
  stream.avail_in = stored.size() - header.block.header_size;
  stream.next_out = out.data();
  stream.avail_out = out.size();
  // A byte past `out`, which only a block longer than wanted fills.
  uint8_t spare = 0;
  lzma_ret ret = LZMA_OK;
  while (ret == LZMA_OK && stream.total_out <= out.size()) {
    ret = lzma_code(&stream, LZMA_FINISH);
    if (stream.avail_out == 0) {
      stream.next_out = &spare;
      stream.avail_out = 1;
    }
  }
  return ret == LZMA_STREAM_END && stream.total_out == out.size() && stream.avail_in == 0;
}

// A block's decoder and the header it was made from, which liblzma reads
// until the block ends.
struct InOrder {
  explicit InOrder(lzma_check check) : header(check) {}
  BlockHeader header;
  Decoder decoder;
  bool started = false, ended = false;
};

// Reads the block's header from the first bytes it takes.
bool startInOrder(InOrder& block, std::span<const uint8_t>& stored) {
  if (stored.empty() || block.header.read(stored.data(), stored.size()) != LZMA_OK ||
      lzma_block_decoder(&block.decoder.stream, &block.header.block) != LZMA_OK) {
    return false;
  }
  stored = stored.subspan(block.header.block.header_size);
  return block.started = true;
}

bool decodeOn(InOrder& block, std::span<const uint8_t> stored, std::vector<uint8_t>& decoded) {
  if (block.ended || (!block.started && !startInOrder(block, stored))) return false;
  lzma_stream& stream = block.decoder.stream;
  stream.next_in = stored.data();
  stream.avail_in = stored.size();
  for (;;) {
    const size_t before = decoded.size();
    decoded.resize(before + kOutputBytes);
    stream.next_out = decoded.data() + before;
    stream.avail_out = kOutputBytes;
    const lzma_ret ret = lzma_code(&stream, LZMA_RUN);
    decoded.resize(before + kOutputBytes - stream.avail_out);
    if (ret == LZMA_STREAM_END) return block.ended = true, stream.avail_in == 0;
    if (ret != LZMA_OK) return false;
    if (stream.avail_in == 0 && stream.avail_out > 0) return true;
  }
}

StreamDecoder decodeInOrder(std::span<const uint8_t> saved) {
  if (!pointReads(saved)) return nullptr;
  auto block = std::make_shared<InOrder>(static_cast<lzma_check>(saved[0]));
  return [block](std::span<const uint8_t> stored, std::vector<uint8_t>& decoded) {
    return decodeOn(*block, stored, decoded);
  };
}

}  // namespace

const Framing& xzFraming() {
  static const Framing framing{
      .name = L"xz",
      .coding = kXzCoding,
      .recognises = recognises,
      .pass = passOver,
      .pointReads = pointReads,
      .decode = decode,
      .decodeToPoint = nullptr,  // it finds where a stretch ends by itself
      .roomBefore = 0,
      .decodeInOrder = decodeInOrder,
      .texts = {.frame = L"xz block at byte ",
                .endsEarly = L"Xz data is damaged (ends early): at byte ",
                .invalidData = L"Xz data is damaged (invalid compressed data): at byte ",
                .unsplittable = L"Xz stream cannot be split into pieces small enough to extract: at byte ",
                .fileNoun = L"xz file",
                .decompressor = L"unxz"}};
  return framing;
}

}  // namespace ablative
