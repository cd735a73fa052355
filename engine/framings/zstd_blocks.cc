#include "framings/zstd_blocks.h"

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <cstring>

#include "codecs/coding.h"
#include "codecs/record_bytes.h"

namespace ablative {

namespace {

// The leading fields of the library's decoding context: where the tables in
// force lie (the context's own, or the library's predefined ones), then the
// context's own tables and repeat offsets.
struct SeqCell {
  uint16_t nextState;
  uint8_t extraBits;
  uint8_t stateBits;
  uint32_t base;
};
constexpr uint32_t kLiteralLengthLog = 9, kOffsetLog = 8, kMatchLengthLog = 9;
constexpr size_t kHuffmanCells = 1 + (1 << 12);
struct EntropyTables {
  SeqCell literalLengths[1 + (1 << kLiteralLengthLog)];
  SeqCell offsets[1 + (1 << kOffsetLog)];
  SeqCell matchLengths[1 + (1 << kMatchLengthLog)];
  uint32_t huffman[kHuffmanCells];
  uint32_t repeats[3];
};
struct ContextHead {
  const SeqCell* literalLengths;
  const SeqCell* matchLengths;
  const SeqCell* offsets;
  const uint32_t* huffman;
  EntropyTables entropy;
};

// A dictionary's entropy section, any valid one: resume() loads it only so
// that the library takes tables as in force, then writes the saved ones over
// it. Its repeat offsets (1, 4, 8) need 8 bytes of history.
constexpr uint8_t kDictionaryTables[] = {
    0x37, 0xa4, 0x30, 0xec, 0x3f, 0x9d, 0x38, 0x22, 0x19, 0x10, 0xe8, 0x2a, 0xc3, 0x01, 0x00, 0x00, 0x00, 0x00, 0x40,
    0x4a, 0x29, 0xc9, 0x94, 0x92, 0x4c, 0x32, 0xa5, 0x34, 0x00, 0x80, 0xd0, 0x81, 0x45, 0x48, 0x33, 0x00, 0x00, 0x20,
    0x98, 0xa8, 0xa0, 0x70, 0xca, 0x1b, 0x00, 0x00, 0x24, 0x60, 0x76, 0x56, 0x84, 0x10, 0x42, 0x08, 0x21, 0x84, 0x10,
    0x42, 0x08, 0x21, 0x84, 0x10, 0x42, 0x08, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x49, 0x92, 0x24, 0x1d,
    0x44, 0x80, 0x00, 0x01, 0x02, 0x03, 0x01, 0x02, 0x03, 0x01, 0x02, 0x01, 0x82, 0x02, 0x01, 0x82, 0x02, 0x83, 0x02,
    0x83, 0x03, 0x86, 0x03, 0x06, 0x86, 0x88, 0x31, 0xc1, 0x2d, 0xbc, 0x24, 0xe9, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00,
    0x00, 0x00, 0x08, 0x00, 0x00, 0x00};
constexpr size_t kLeastHistory = 8;

// A sequence table's first cell holds its log (and a flag) instead of a symbol.
uint32_t logOf(const SeqCell& first) {
  uint32_t words[2];
  std::memcpy(words, &first, sizeof words);
  return words[1];
}

void saveSeqTable(const SeqCell* table, uint32_t maxLog, RecordWriter& out, bool& ok) {
  const uint32_t log = logOf(table[0]);
  ok = ok && log <= maxLog;
  if (!ok) return;
  const uint32_t cells = 1 + (1u << log);
  out.u32(cells);
  for (uint32_t i = 0; i < cells; ++i) {
    out.u32(uint32_t{table[i].nextState} | uint32_t{table[i].extraBits} << 16 | uint32_t{table[i].stateBits} << 24);
    out.u32(table[i].base);
  }
}

bool loadSeqTable(RecordReader& in, uint32_t maxLog, SeqCell* table) {
  const uint32_t cells = in.u32();
  if (!in.ok() || cells < 2 || cells > 1 + (1u << maxLog)) return false;
  for (uint32_t i = 0; i < cells; ++i) {
    const uint32_t packed = in.u32();
    table[i] = {static_cast<uint16_t>(packed), static_cast<uint8_t>(packed >> 16), static_cast<uint8_t>(packed >> 24),
                in.u32()};
  }
  return in.ok() && cells == 1 + (1u << logOf(table[0]));
}

}  // namespace

struct ZstdBlocks::Context {
  ZSTD_DCtx* library = ZSTD_createDCtx();
  ~Context() { ZSTD_freeDCtx(library); }
  ContextHead& head() const { return *reinterpret_cast<ContextHead*>(library); }
};

ZstdBlockHeader readBlockHeader(const uint8_t* bytes) {
  const uint32_t word = uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16;
  return {(word & 1) != 0, static_cast<ZstdBlockType>(word >> 1 & 3), word >> 3};
}

ZstdBlocks::ZstdBlocks() : context_(std::make_unique<Context>()) {}
ZstdBlocks::~ZstdBlocks() = default;

bool ZstdBlocks::start() {
  if (context_->library == nullptr || ZSTD_isError(ZSTD_decompressBegin(context_->library))) return false;
  // A fresh context points at its own tables and starts with the format's
  // repeat offsets: the fields are where this code reads them.
  const ContextHead& head = context_->head();
  return head.literalLengths == head.entropy.literalLengths && head.matchLengths == head.entropy.matchLengths &&
         head.offsets == head.entropy.offsets && head.huffman == head.entropy.huffman &&
         head.entropy.repeats[0] == 1 && head.entropy.repeats[1] == 4 && head.entropy.repeats[2] == 8;
}

bool ZstdBlocks::saveTables(std::vector<uint8_t>& out) const {
  const ContextHead& head = context_->head();
  RecordWriter tables;
  bool ok = true;
  saveSeqTable(head.literalLengths, kLiteralLengthLog, tables, ok);
  saveSeqTable(head.offsets, kOffsetLog, tables, ok);
  saveSeqTable(head.matchLengths, kMatchLengthLog, tables, ok);
  for (size_t i = 0; i < kHuffmanCells; ++i) tables.u32(head.huffman[i]);
  for (const uint32_t repeat : head.entropy.repeats) tables.u32(repeat);
  if (ok) out.insert(out.end(), tables.bytes().begin(), tables.bytes().end());
  return ok;
}

std::span<uint8_t> ZstdBlocks::historyRoom(size_t length) {
  dictionary_.assign(std::begin(kDictionaryTables), std::end(kDictionaryTables));
  dictionary_.resize(sizeof kDictionaryTables + length);
  return std::span<uint8_t>(dictionary_).subspan(sizeof kDictionaryTables);
}

std::span<const uint8_t> ZstdBlocks::history() const {
  if (dictionary_.size() < sizeof kDictionaryTables) return {};
  return std::span<const uint8_t>(dictionary_).subspan(sizeof kDictionaryTables);
}

bool ZstdBlocks::resume(std::span<const uint8_t> tables) {
  if (history().size() < kLeastHistory || !start() ||
      ZSTD_isError(ZSTD_decompressBegin_usingDict(context_->library, dictionary_.data(), dictionary_.size()))) {
    return false;
  }
  EntropyTables& entropy = context_->head().entropy;
  RecordReader in(tables.data(), tables.size());
  if (!loadSeqTable(in, kLiteralLengthLog, entropy.literalLengths) ||
      !loadSeqTable(in, kOffsetLog, entropy.offsets) || !loadSeqTable(in, kMatchLengthLog, entropy.matchLengths)) {
    return false;
  }
  for (uint32_t& cell : entropy.huffman) cell = in.u32();
  for (uint32_t& repeat : entropy.repeats) repeat = in.u32();
  return in.atEnd();
}

bool ZstdBlocks::restartBehind(std::span<const uint8_t> recent, size_t window, std::vector<uint8_t>& tables) {
  tables.clear();
  if (!saveTables(tables)) return false;
  const size_t fromRecent = std::min(recent.size(), window);
  const size_t fromBefore = std::min(history().size(), window - fromRecent);
  if (fromBefore > 0) {
    // The older bytes kept move to the window's start, in place.
    const size_t keptFrom = dictionary_.size() - fromBefore;
    std::memmove(dictionary_.data() + sizeof kDictionaryTables, dictionary_.data() + keptFrom, fromBefore);
    dictionary_.resize(sizeof kDictionaryTables + fromBefore);
  } else {
    dictionary_.assign(std::begin(kDictionaryTables), std::end(kDictionaryTables));
  }
  dictionary_.insert(dictionary_.end(), recent.end() - static_cast<ptrdiff_t>(fromRecent), recent.end());
  return resume(tables);
}

size_t ZstdBlocks::decode(const ZstdBlockHeader& header, const uint8_t* content, uint8_t* out, size_t room) {
  if (header.size > kZstdBlockMax) return SIZE_MAX;
  if (header.type == ZstdBlockType::Compressed) {
    const size_t decoded = ZSTD_decompressBlock(context_->library, out, room, content, header.size);
    return ZSTD_isError(decoded) ? SIZE_MAX : decoded;
  }
  if (header.type == ZstdBlockType::Reserved || header.size > room) return SIZE_MAX;
  if (header.size == 0) return 0;  // nothing to add to the window, wherever `out` lies
  if (header.type == ZstdBlockType::Raw) {
    std::memcpy(out, content, header.size);
  } else {
    std::memset(out, content[0], header.size);
  }
  ZSTD_insertBlock(context_->library, out, header.size);
  return header.size;
}

}  // namespace ablative
