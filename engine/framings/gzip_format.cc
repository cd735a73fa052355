#include "framings/gzip_format.h"

#include <algorithm>

#include "codecs/coding.h"
#include "codecs/crc32.h"
#include "failure.h"
#include "files/block_io.h"

namespace ablative {

namespace {

constexpr uint8_t kMagic[] = {0x1f, 0x8b};
constexpr uint8_t kDeflate = 8;
constexpr uint8_t kHeaderCrcFlag = 1 << 1;
constexpr uint8_t kExtraFlag = 1 << 2;
constexpr uint8_t kNameFlag = 1 << 3;
constexpr uint8_t kCommentFlag = 1 << 4;
constexpr uint8_t kReservedFlags = 0xe0;
constexpr size_t kFixedHeader = 10;
constexpr uint32_t kChunkBytes = 1 << 20;    // read at a time
constexpr size_t kOutputBytes = 256u << 10;  // decoded at a time
constexpr wchar_t kDataAfterEnd[] = L"Data after the end of the gzip stream: at byte ";

bool damaged(std::wstring& errorText, const wchar_t* why, uint64_t memberOffset) {
  return fail(errorText, L"Gzip data is damaged (" + (why + (L"): at byte " + std::to_wstring(memberOffset))));
}

// The file read in chunks, a byte or a run at a time.
class Input {
 public:
  Input(FileHandle& file, uint64_t size) : file_(file), size_(size) {}

  uint64_t offset() const { return chunkStart_ + at_; }
  bool atEnd() const { return offset() == size_; }
  // Makes the next bytes available; false at the end or on a read error
  // (`errorText` set then).
  bool fill(std::wstring& errorText) {
    if (at_ < chunk_.size()) return true;
    if (atEnd()) return false;
    chunkStart_ += chunk_.size();
    at_ = 0;
    const auto length = static_cast<uint32_t>(std::min<uint64_t>(kChunkBytes, size_ - chunkStart_));
    if (readArchiveBlock(file_, chunkStart_, length, chunk_, errorText)) return true;
    if (errorText.empty()) errorText = L"Unable to read archive file";  // the file shrank
    chunk_.clear();
    return false;
  }
  const uint8_t* data() const { return chunk_.data() + at_; }
  size_t available() const { return chunk_.size() - at_; }
  void advance(size_t length) { at_ += length; }

 private:
  FileHandle& file_;
  uint64_t size_;
  std::vector<uint8_t> chunk_;
  uint64_t chunkStart_ = 0;
  size_t at_ = 0;
};

// Reads a member's header byte by byte, summing what it reads.
struct HeaderReader {
  Input& input;
  uint64_t memberOffset;
  std::wstring& errorText;
  uint32_t crc = 0;
  bool cut = false;  // the file ended inside the header

  bool byte(uint8_t& value) {
    if (!input.fill(errorText)) {
      cut = errorText.empty();
      return false;
    }
    value = *input.data();
    crc = crc32(crc, input.data(), 1);
    input.advance(1);
    return true;
  }
  bool skip(uint64_t length) {
    for (uint8_t ignored; length > 0; --length) {
      if (!byte(ignored)) return false;
    }
    return true;
  }
  bool skipText() {
    for (uint8_t value = 1; value != 0;) {
      if (!byte(value)) return false;
    }
    return true;
  }
  bool u16(uint16_t& value) {
    uint8_t bytes[2];
    if (!byte(bytes[0]) || !byte(bytes[1])) return false;
    value = get16(bytes);
    return true;
  }
};

// The rest of a header whose fixed part is read.
bool readHeaderFields(HeaderReader& header, const uint8_t (&fixed)[kFixedHeader], Frame& member) {
  std::wstring& errorText = header.errorText;
  Input& input = header.input;
  const uint8_t flags = fixed[3];
  if (fixed[2] != kDeflate) return damaged(errorText, L"not deflate", member.offset);
  if (flags & kReservedFlags) return damaged(errorText, L"reserved flags", member.offset);
  uint16_t extraLength = 0;
  const bool read = (!(flags & kExtraFlag) || (header.u16(extraLength) && header.skip(extraLength))) &&
                    (!(flags & kNameFlag) || header.skipText()) && (!(flags & kCommentFlag) || header.skipText());
  const uint32_t crcBefore = header.crc;
  uint16_t headerCrc = 0;
  if (!read || ((flags & kHeaderCrcFlag) && !header.u16(headerCrc))) {
    return header.cut ? damaged(errorText, L"ends early", member.offset) : false;
  }
  if ((flags & kHeaderCrcFlag) && headerCrc != (crcBefore & 0xffff)) {
    return damaged(errorText, L"header checksum mismatch", member.offset);
  }
  member.headerCrc = header.crc;
  member.dataStart = input.offset();
  return true;
}

// Read: a member's header; NoMember: bytes that start no member, left unread.
enum class Header { Read, NoMember, Failed };

Header readHeader(Input& input, Frame& member, std::wstring& errorText) {
  HeaderReader header{input, member.offset, errorText};
  uint8_t fixed[kFixedHeader];
  for (size_t i = 0; i < kFixedHeader; ++i) {
    if (!header.byte(fixed[i])) {
      if (!header.cut) return Header::Failed;
      return i < sizeof kMagic ? Header::NoMember : (damaged(errorText, L"ends early", member.offset), Header::Failed);
    }
    if (i < sizeof kMagic && fixed[i] != kMagic[i]) return Header::NoMember;
  }
  return readHeaderFields(header, fixed, member) ? Header::Read : Header::Failed;
}

// The member's deflate data, its bytes handed on and its points recorded.
bool inflateMember(Input& input, RawInflate& inflate, GzipPass& pass, std::wstring& errorText) {
  Frame& member = pass.members.back();
  inflate.at.in = member.dataStart;
  if (!inflate.restart()) return fail(errorText, L"Not enough memory to decode");
  if (pass.onPoint) {
    InflatePoint start;
    start.inOffset = member.dataStart;
    start.outOffset = member.outStart;
    pass.onPoint(start);
  }
  std::vector<uint8_t> output(kOutputBytes);
  for (;;) {
    if (!input.fill(errorText)) {
      return errorText.empty() ? damaged(errorText, L"ends early", member.offset) : false;
    }
    const uint8_t* next = input.data();
    size_t left = input.available();
    const uint64_t outBefore = inflate.at.out;
    const RawInflate::Step step = inflate.step(next, left, output.data(), output.size());
    input.advance(input.available() - left);
    const size_t made = inflate.at.out - outBefore;
    if (made > 0 && !pass.onBytes(output.data(), made, errorText)) return false;
    if (step == RawInflate::Step::Invalid) return damaged(errorText, L"invalid deflate data", member.offset);
    if (step == RawInflate::Step::Ended) break;
    inflate.recordPointIfDue();
  }
  member.dataEnd = input.offset();
  member.outEnd = inflate.at.out;
  return true;
}

bool readTrailer(Input& input, const RawInflate& inflate, const Frame& member, std::wstring& errorText) {
  HeaderReader trailer{input, member.offset, errorText};
  uint8_t bytes[8];
  for (uint8_t& value : bytes) {
    if (!trailer.byte(value)) return trailer.cut ? damaged(errorText, L"ends early", member.offset) : false;
  }
  if (get32(bytes) != inflate.at.crc) {
    return fail(errorText, L"Checksum verification failed: gzip member at byte " + std::to_wstring(member.offset));
  }
  if (get32(bytes + 4) != static_cast<uint32_t>(member.outEnd - member.outStart)) {
    return damaged(errorText, L"wrong length", member.offset);
  }
  return true;
}

// After a member: another one, or only zeros to the end, or other bytes,
// which `unaccounted` names.
enum class After { Member, End, Failed };

After whatFollows(Input& input, std::wstring& unaccounted, std::wstring& errorText) {
  while (input.fill(errorText)) {
    const uint8_t* bytes = input.data();
    const size_t length = input.available();
    if (bytes[0] == kMagic[0]) return After::Member;  // or data after the end, as its header tells
    const size_t zeros = std::find_if(bytes, bytes + length, [](uint8_t b) { return b != 0; }) - bytes;
    if (zeros < length) {
      unaccounted = kDataAfterEnd + std::to_wstring(input.offset() + zeros);
      return After::End;
    }
    input.advance(length);
  }
  return errorText.empty() ? After::End : After::Failed;
}

}  // namespace

bool readGzip(FileHandle& file, GzipPass& pass, std::wstring& errorText) {
  errorText.clear();
  pass.members.clear();
  pass.unaccounted.clear();
  uint64_t size = 0;
  if (!fileSize(file, size)) return fail(errorText, L"Unable to open archive file");
  Input input(file, size);
  RawInflate inflate;
  if (!inflate.begin()) return fail(errorText, L"Not enough memory to decode");
  inflate.recordPoints(pass.pointSpacing, pass.onPoint);
  for (;;) {
    Frame& member = pass.members.emplace_back();
    member.offset = input.offset();
    member.outStart = inflate.at.out;
    switch (readHeader(input, member, errorText)) {
      case Header::Read: break;
      case Header::NoMember:
        pass.unaccounted = kDataAfterEnd + std::to_wstring(member.offset);
        pass.members.pop_back();
        return true;
      case Header::Failed: return false;
    }
    if (!inflateMember(input, inflate, pass, errorText) || !readTrailer(input, inflate, member, errorText)) {
      return false;
    }
    switch (whatFollows(input, pass.unaccounted, errorText)) {
      case After::Member: break;
      case After::End: return true;
      case After::Failed: return false;
    }
  }
}

bool inflateFrom(const InflatePoint* from, std::span<const uint8_t> stored, std::span<uint8_t> out) {
  RawInflate inflate;
  if (!inflate.begin() || (from != nullptr && !inflate.resumeAt(*from))) return false;
  const uint64_t outStart = inflate.at.out;
  const uint8_t* next = stored.data();
  size_t left = stored.size();
  for (uint64_t made = 0; made < out.size(); made = inflate.at.out - outStart) {
    const RawInflate::Step step = inflate.step(next, left, out.data() + made, out.size() - made);
    if (step == RawInflate::Step::Invalid || step == RawInflate::Step::Stalled ||
        (step == RawInflate::Step::Ended && inflate.at.out - outStart < out.size())) {
      return false;
    }
  }
  return true;
}

bool looksLikeGzip(std::span<const uint8_t> firstBytes) {
  return firstBytes.size() >= 2 && firstBytes[0] == kMagic[0] && firstBytes[1] == kMagic[1];
}

}  // namespace ablative
