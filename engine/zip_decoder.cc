// Decoding one zip entry's data: stored bytes are copied, deflated ones go
// through zlib's raw inflate; either way the result is held to the recorded
// size and CRC-32.
#include <zlib.h>

#include <algorithm>
#include <climits>

#include "crc32.h"
#include "path_safety.h"
#include "zip_format.h"

namespace ablative {

namespace {

constexpr uint16_t kEncryptedFlag = 1 << 0;
constexpr uint16_t kStrongEncryptionFlag = 1 << 6;
constexpr uint16_t kAesMethod = 99;
constexpr int kRawDeflate = -15;  // window bits: 32 KiB, no zlib header
// A deflate stream whose reading stopped mid-block; zlib reports them on data_type.
constexpr int kUnusedBitsMask = 7;
constexpr int kLastBlock = 64;
constexpr int kAtBlockBoundary = 128;

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

// zlib counts in unsigned int; larger pieces are taken in several calls.
uInt zlibLength(uint64_t length) { return static_cast<uInt>(std::min<uint64_t>(length, UINT_MAX)); }

}  // namespace

bool checkZipEntryDecodable(const ZipEntry& entry, std::wstring& errorText) {
  const std::wstring name = displayPath(entry.name);
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
  uint64_t in = 0;
  uint64_t out = 0;
  uint32_t crc = 0;
  z_stream stream{};
  bool inflating = false;  // the stream is initialised
  bool ended = false;      // the deflate stream's last block is decoded
  uint8_t lastInputByte = 0;
  uint64_t pointSpacing = 0;
  uint64_t nextPointAt = 0;
  std::function<void(const InflatePoint&)> onPoint;
  std::unique_ptr<InflatePoint> point;  // reused: each is 32 KiB

  ZipDecodeResult damaged(const wchar_t* reason, std::wstring& errorText) const {
    errorText = L"Zip entry data is damaged (" + (reason + (L"): " + name));
    return ZipDecodeResult::Damaged;
  }
};

namespace {

using State = ZipDecoder::State;

void takeOutput(State& s, const uint8_t* bytes, size_t length) {
  s.crc = crc32(s.crc, bytes, length);
  s.out += length;
}

void recordPoint(State& s) {
  InflatePoint& point = *s.point;
  const int bits = s.stream.data_type & kUnusedBitsMask;
  point.inOffset = s.in;
  point.outOffset = s.out;
  point.bits = bits;
  point.bitsValue = bits == 0 ? 0 : static_cast<uint8_t>(s.lastInputByte >> (8 - bits));
  point.crc = s.crc;
  uInt length = sizeof point.window;
  inflateGetDictionary(&s.stream, point.window, &length);
  point.windowLength = length;
  s.onPoint(point);
  s.nextPointAt = s.out + s.pointSpacing;
}

bool atPointWanted(const State& s) {
  const int type = s.stream.data_type;
  return s.onPoint && (type & kAtBlockBoundary) && !(type & kLastBlock) && s.out >= s.nextPointAt;
}

// One inflate call into `output`, or, once the recorded size is reached, into
// a spare byte that only a stream too long would fill.
enum class Step { Progress, Stalled, Ended, TooLong, Invalid };

Step inflateStep(State& s, const uint8_t*& input, size_t& inputLeft, uint8_t* output, size_t room) {
  z_stream& z = s.stream;
  uint8_t spare = 0;
  const bool probing = room == 0;
  z.next_in = const_cast<Bytef*>(input);
  z.avail_in = zlibLength(inputLeft);
  z.next_out = probing ? &spare : output;
  z.avail_out = probing ? 1 : zlibLength(room);
  const int result = inflate(&z, s.onPoint ? Z_BLOCK : Z_NO_FLUSH);
  const size_t taken = z.next_in - input, made = z.next_out - (probing ? &spare : output);
  if (taken > 0) s.lastInputByte = input[taken - 1];
  input += taken;
  inputLeft -= taken;
  s.in += taken;
  if (probing && made > 0) return Step::TooLong;
  if (!probing) takeOutput(s, output, made);
  if (result == Z_STREAM_END) return Step::Ended;
  if (result != Z_OK && result != Z_BUF_ERROR) return Step::Invalid;
  return taken + made > 0 ? Step::Progress : Step::Stalled;
}

ZipDecodeResult finish(State& s, std::wstring& errorText) {
  if (s.out < s.uncompressedSize) return s.damaged(L"ends early", errorText);
  if (s.in < s.compressedSize) return s.damaged(L"data after its end", errorText);
  if (s.crc != s.expectedCrc) {
    errorText = L"Checksum verification failed: " + s.name;
    return ZipDecodeResult::Damaged;
  }
  return ZipDecodeResult::Finished;
}

ZipDecodeResult inflateSome(State& s, const uint8_t* input, size_t inputLength, uint8_t* output, size_t outputCapacity,
                            size_t& produced, std::wstring& errorText) {
  size_t inputLeft = inputLength;
  for (;;) {
    const size_t room = std::min<uint64_t>(outputCapacity - produced, s.uncompressedSize - s.out);
    if (room == 0 && s.out < s.uncompressedSize) return ZipDecodeResult::More;  // the output is full
    const uint64_t outBefore = s.out;
    const Step step = inflateStep(s, input, inputLeft, output + produced, room);
    produced += s.out - outBefore;
    switch (step) {
      case Step::TooLong: return s.damaged(L"longer than recorded", errorText);
      case Step::Invalid: return s.damaged(L"invalid deflate data", errorText);
      case Step::Ended: s.ended = true; return finish(s, errorText);
      case Step::Stalled:  // the stream wants input: output room is lacking only past the recorded size
        return s.in == s.compressedSize ? s.damaged(L"ends early", errorText) : ZipDecodeResult::More;
      case Step::Progress:
        if (atPointWanted(s)) recordPoint(s);
        break;
    }
  }
}

ZipDecodeResult copyStored(State& s, const uint8_t* input, size_t inputLength, uint8_t* output, size_t outputCapacity,
                           size_t& produced, std::wstring& errorText) {
  produced = std::min<uint64_t>({inputLength, outputCapacity, s.uncompressedSize - s.out});
  std::copy_n(input, produced, output);
  s.in += produced;
  takeOutput(s, output, produced);
  if (s.out < s.uncompressedSize && s.in < s.compressedSize) return ZipDecodeResult::More;
  return finish(s, errorText);
}

}  // namespace

ZipDecoder::ZipDecoder(const ZipEntry& entry) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.name = displayPath(entry.name);
  s.method = entry.method;
  s.expectedCrc = entry.crc;
  s.compressedSize = entry.compressedSize;
  s.uncompressedSize = entry.uncompressedSize;
  if (s.method == kZipDeflated) s.inflating = inflateInit2(&s.stream, kRawDeflate) == Z_OK;
}

ZipDecoder::~ZipDecoder() {
  if (state_->inflating) inflateEnd(&state_->stream);
}

bool ZipDecoder::resumeAt(const InflatePoint& point) {
  State& s = *state_;
  if (point.inOffset > s.compressedSize || point.outOffset > s.uncompressedSize || point.bits < 0 ||
      point.bits > kUnusedBitsMask || point.windowLength > sizeof point.window) {
    return false;
  }
  if (s.method == kZipStored && point.inOffset != point.outOffset) return false;
  if (s.method == kZipDeflated &&
      (!s.inflating || inflateReset(&s.stream) != Z_OK ||
       (point.bits > 0 && inflatePrime(&s.stream, point.bits, point.bitsValue) != Z_OK) ||
       (point.windowLength > 0 && inflateSetDictionary(&s.stream, point.window, point.windowLength) != Z_OK))) {
    return false;
  }
  s.in = point.inOffset;
  s.out = point.outOffset;
  s.crc = point.crc;
  s.ended = false;
  s.nextPointAt = s.out + s.pointSpacing;
  return true;
}

void ZipDecoder::recordPoints(uint64_t spacing, std::function<void(const InflatePoint&)> onPoint) {
  State& s = *state_;
  s.pointSpacing = spacing;
  s.nextPointAt = s.out + spacing;
  s.onPoint = std::move(onPoint);
  if (s.onPoint && !s.point) s.point = std::make_unique<InflatePoint>();
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
  const uint64_t inBefore = s.in;
  inputLength = std::min<uint64_t>(inputLength, s.compressedSize - s.in);
  const ZipDecodeResult result = s.method == kZipStored
                                     ? copyStored(s, input, inputLength, output, outputCapacity, produced, errorText)
                                     : inflateSome(s, input, inputLength, output, outputCapacity, produced, errorText);
  consumed = s.in - inBefore;
  return result;
}

uint64_t ZipDecoder::inOffset() const { return state_->in; }
uint64_t ZipDecoder::outOffset() const { return state_->out; }

}  // namespace ablative
