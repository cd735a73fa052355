// Decoding one zip entry's data: stored bytes are copied, deflated ones go
// through zlib's raw inflate; either way the result is held to the recorded
// size and CRC-32.
#include <algorithm>

#include "codecs/crc32.h"
#include "containers/zip_format.h"
#include "framings/inflate_points.h"
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

bool checkZipEntryDecodable(const ZipEntry& entry, std::wstring& errorText) {
  const std::wstring name = nameFromBytes(entry.name);
  if ((entry.flags & (kEncryptedFlag | kStrongEncryptionFlag)) || entry.method == kAesMethod) {
    errorText = L"Encrypted entry, which this program cannot extract: " + name;
  } else if (entry.method != kZipStored && entry.method != kZipDeflated) {
    errorText = L"Unsupported compression method (" + methodName(entry.method) + L"): " + name;
  } else if (entry.method == kZipStored && entry.compressedSize != entry.uncompressedSize) {
    errorText = L"Stored entry whose compressed and uncompressed sizes differ: " + name;
  } else {
    return true;
  }
  return false;
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

  ZipDecodeResult damaged(const wchar_t* reason, std::wstring& errorText) const {
    errorText = L"Zip entry data is damaged (" + (reason + (L"): " + name));
    return ZipDecodeResult::Damaged;
  }
};

namespace {

using State = ZipDecoder::State;
using Step = RawInflate::Step;

ZipDecodeResult finish(State& s, std::wstring& errorText) {
  const InflateCursor& at = s.inflate.at;
  if (at.out < s.uncompressedSize) return s.damaged(L"ends early", errorText);
  if (at.in < s.compressedSize) return s.damaged(L"data after its end", errorText);
  if (at.crc != s.expectedCrc) {
    errorText = L"Checksum verification failed: " + s.name;
    return ZipDecodeResult::Damaged;
  }
  return ZipDecodeResult::Finished;
}

ZipDecodeResult inflateSome(State& s, const uint8_t* input, size_t inputLength, uint8_t* output, size_t outputCapacity,
                            size_t& produced, std::wstring& errorText) {
  size_t inputLeft = inputLength;
  for (;;) {
    InflateCursor& at = s.inflate.at;
    const size_t room = std::min<uint64_t>(outputCapacity - produced, s.uncompressedSize - at.out);
    if (room == 0 && at.out < s.uncompressedSize) return ZipDecodeResult::More;  // the output is full
    const uint64_t outBefore = at.out;
    const Step step = s.inflate.step(input, inputLeft, output + produced, room);
    produced += at.out - outBefore;
    switch (step) {
      case Step::TooLong: return s.damaged(L"longer than recorded", errorText);
      case Step::Invalid: return s.damaged(L"invalid deflate data", errorText);
      case Step::Ended: s.ended = true; return finish(s, errorText);
      case Step::Stalled:  // the stream wants input: output room is lacking only past the recorded size
        return at.in == s.compressedSize ? s.damaged(L"ends early", errorText) : ZipDecodeResult::More;
      case Step::Progress: s.inflate.recordPointIfDue(); break;
    }
  }
}

ZipDecodeResult copyStored(State& s, const uint8_t* input, size_t inputLength, uint8_t* output, size_t outputCapacity,
                           size_t& produced, std::wstring& errorText) {
  InflateCursor& at = s.inflate.at;
  produced = std::min<uint64_t>({inputLength, outputCapacity, s.uncompressedSize - at.out});
  std::copy_n(input, produced, output);
  at.in += produced;
  at.out += produced;
  at.crc = crc32(at.crc, output, produced);
  if (at.out < s.uncompressedSize && at.in < s.compressedSize) return ZipDecodeResult::More;
  return finish(s, errorText);
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
  s.ended = false;
  return true;
}

void ZipDecoder::recordPoints(uint64_t spacing, std::function<void(const InflatePoint&)> onPoint) {
  state_->inflate.recordPoints(spacing, std::move(onPoint));
}

ZipDecodeResult ZipDecoder::decode(const uint8_t* input, size_t inputLength, uint8_t* output, size_t outputCapacity,
                                   size_t& consumed, size_t& produced, std::wstring& errorText) {
  State& s = *state_;
  consumed = produced = 0;
  if (s.method == kZipDeflated && !s.inflating) {
    errorText = L"Not enough memory to decode: " + s.name;
    return ZipDecodeResult::Damaged;
  }
  // Some writers store an empty file as deflated without a single byte.
  if (s.ended || (s.method == kZipDeflated && s.compressedSize == 0 && s.uncompressedSize == 0)) {
    return finish(s, errorText);
  }
  const uint64_t inBefore = s.inflate.at.in;
  inputLength = std::min<uint64_t>(inputLength, s.compressedSize - inBefore);
  const ZipDecodeResult result = s.method == kZipStored
                                     ? copyStored(s, input, inputLength, output, outputCapacity, produced, errorText)
                                     : inflateSome(s, input, inputLength, output, outputCapacity, produced, errorText);
  consumed = s.inflate.at.in - inBefore;
  return result;
}

uint64_t ZipDecoder::inOffset() const { return state_->inflate.at.in; }
uint64_t ZipDecoder::outOffset() const { return state_->inflate.at.out; }

}  // namespace ablative
