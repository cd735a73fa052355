// Decoding one zip entry's data: stored bytes are copied; deflated ones are
// inflated at once where the entry's data and room for all it decodes to are
// at hand, else (and wherever that fails) through zlib's raw inflate in
// steps; either way the result is held to the recorded size and CRC-32.
#include <algorithm>

#include "codecs/crc32.h"
#include "containers/zip_format.h"
#include "framings/inflate_points.h"
#include "framings/whole_inflate.h"
#include "platform/utf8.h"

namespace ablative {

namespace {

constexpr uint16_t kEncryptedFlag = 1 << 0;
constexpr uint16_t kStrongEncryptionFlag = 1 << 6;
constexpr uint16_t kAesMethod = 99;

std::wstring methodName(uint16_t method) {
  switch (method) {
    case 9: return L"Deflate64";
    case 12: return L"bzip2";
    case 14: return L"LZMA";
    case 93: return L"Zstandard";
    case 95: return L"XZ";
    default: return std::to_wstring(method);
  }
}

}  // namespace

Status checkZipEntryDecodable(const ZipEntry& entry) {
  const std::wstring name = nameFromBytes(entry.name);
  if ((entry.flags & (kEncryptedFlag | kStrongEncryptionFlag)) || entry.method == kAesMethod) {
    return failure(StatusKind::Failed, L"Encrypted entry, which this program cannot extract: " + name);
  }
  if (entry.method != kZipStored && entry.method != kZipDeflated) {
    return failure(StatusKind::Failed, L"Unsupported compression method (" + methodName(entry.method) + L"): " + name);
  }
  if (entry.method == kZipStored && entry.compressedSize != entry.uncompressedSize) {
    return failure(StatusKind::Failed, L"Stored entry whose compressed and uncompressed sizes differ: " + name);
  }
  return {};
}

struct ZipDecoder::State {
  std::wstring name;
  uint16_t method = 0;
  uint32_t expectedCrc = 0;
  uint64_t compressedSize = 0;
  uint64_t uncompressedSize = 0;
  RawInflate inflate;      // its cursor counts stored entries too
  bool inflating = false;  // the stream is initialised
  bool ended = false;      // the deflate stream's last block is decoded
  bool finished = false;   // every byte decoded and checked

  Status damaged(const wchar_t* reason) const {
    return failure(StatusKind::DamagedBlock, L"Zip entry data is damaged (" + (reason + (L"): " + name)));
  }
};

namespace {

using State = ZipDecoder::State;
using Step = RawInflate::Step;

Status finish(State& s) {
  const InflateCursor& at = s.inflate.at;
  if (at.out < s.uncompressedSize) return s.damaged(L"ends early");
  if (at.in < s.compressedSize) return s.damaged(L"data after its end");
  if (at.crc != s.expectedCrc) return failure(StatusKind::DamagedBlock, L"Checksum verification failed: " + s.name);
  s.finished = true;
  return {};
}

Status inflateSome(State& s, const uint8_t* input, size_t inputLength, uint8_t* output, size_t outputCapacity,
                   size_t& produced) {
  size_t inputLeft = inputLength;
  for (;;) {
    InflateCursor& at = s.inflate.at;
    const size_t room = std::min<uint64_t>(outputCapacity - produced, s.uncompressedSize - at.out);
    if (room == 0 && at.out < s.uncompressedSize) return {};  // the output is full
    const uint64_t outBefore = at.out;
    const Step step = s.inflate.step(input, inputLeft, output + produced, room);
    produced += at.out - outBefore;
    switch (step) {
      case Step::TooLong: return s.damaged(L"longer than recorded");
      case Step::Invalid: return s.damaged(L"invalid deflate data");
      case Step::Ended: s.ended = true; return finish(s);
      case Step::Stalled:  // the stream wants input: output room is lacking only past the recorded size
        return at.in == s.compressedSize ? s.damaged(L"ends early") : Status{};
      case Step::Progress: s.inflate.recordPointIfDue(); break;
    }
  }
}

// An entry whose data and room are here whole, decoded from its start at
// once: libdeflate reads no byte past its compressed size, and makes none past
// its recorded size. Where its stream does not end within them, false, the
// decoder left at the start for zlib to go over it and name the damage;
// where it ends, finish holds it to both sizes.
bool inflatedWhole(State& s, const uint8_t* input, size_t inputLength, uint8_t* output, size_t outputCapacity) {
  InflateCursor& at = s.inflate.at;
  if (at.in != 0 || at.out != 0 || s.inflate.recordsPoints() || inputLength < s.compressedSize ||
      outputCapacity < s.uncompressedSize) {
    return false;
  }
  size_t consumed = 0, produced = 0;
  if (!inflateWhole({input, inputLength}, {output, static_cast<size_t>(s.uncompressedSize)}, consumed, produced)) {
    return false;
  }
  at = {consumed, produced, crc32(output, produced)};
  return s.ended = true;
}

Status copyStored(State& s, const uint8_t* input, size_t inputLength, uint8_t* output, size_t outputCapacity,
                  size_t& produced) {
  InflateCursor& at = s.inflate.at;
  produced = std::min<uint64_t>({inputLength, outputCapacity, s.uncompressedSize - at.out});
  std::copy_n(input, produced, output);
  at.in += produced;
  at.out += produced;
  at.crc = crc32(at.crc, output, produced);
  if (at.out < s.uncompressedSize && at.in < s.compressedSize) return {};
  return finish(s);
}

}  // namespace

ZipDecoder::ZipDecoder(const ZipEntry& entry) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.name = nameFromBytes(entry.name);
  s.method = entry.method;
  s.expectedCrc = entry.crc;
  s.compressedSize = entry.compressedSize;
  s.uncompressedSize = entry.uncompressedSize;
  if (s.method == kZipDeflated) s.inflating = s.inflate.begin();
}

ZipDecoder::~ZipDecoder() = default;

bool ZipDecoder::resumeAt(const InflatePoint& point) {
  State& s = *state_;
  if (point.inOffset > s.compressedSize || point.outOffset > s.uncompressedSize) return false;
  if (s.method == kZipStored) {
    if (point.inOffset != point.outOffset) return false;
    s.inflate.at = {point.inOffset, point.outOffset, point.crc};
  } else if (!s.inflate.resumeAt(point)) {
    return false;
  }
  s.ended = s.finished = false;
  return true;
}

void ZipDecoder::recordPoints(uint64_t spacing, std::function<void(const InflatePoint&)> onPoint) {
  state_->inflate.recordPoints(spacing, std::move(onPoint));
}

Status ZipDecoder::decode(const uint8_t* input, size_t inputLength, uint8_t* output, size_t outputCapacity,
                          size_t& consumed, size_t& produced) {
  State& s = *state_;
  consumed = produced = 0;
  if (s.method == kZipDeflated && !s.inflating) {
    return failure(StatusKind::DamagedBlock, L"Not enough memory to decode: " + s.name);
  }
  // Some writers store an empty file as deflated without a single byte.
  if (s.ended || (s.method == kZipDeflated && s.compressedSize == 0 && s.uncompressedSize == 0)) return finish(s);
  const uint64_t inBefore = s.inflate.at.in;
  inputLength = std::min<uint64_t>(inputLength, s.compressedSize - inBefore);
  Status result;
  if (s.method == kZipStored) {
    result = copyStored(s, input, inputLength, output, outputCapacity, produced);
  } else if (inflatedWhole(s, input, inputLength, output, outputCapacity)) {
    produced = s.inflate.at.out;
    result = finish(s);
  } else {
    result = inflateSome(s, input, inputLength, output, outputCapacity, produced);
  }
  consumed = s.inflate.at.in - inBefore;
  return result;
}

bool ZipDecoder::finished() const { return state_->finished; }
uint64_t ZipDecoder::inOffset() const { return state_->inflate.at.in; }
uint64_t ZipDecoder::outOffset() const { return state_->inflate.at.out; }

}  // namespace ablative
