#include "framings/gzip_format.h"

#include <algorithm>

#include "codecs/coding.h"
#include "codecs/crc32.h"
#include "framings/chunked_input.h"
#include "framings/whole_inflate.h"

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
constexpr size_t kOutputBytes = 256u << 10;  // decoded at a time
constexpr wchar_t kDataAfterEnd[] = L"Data after the end of the gzip stream: at byte ";

Status damaged(const wchar_t* why, uint64_t memberOffset) {
  return failure(StatusKind::Failed,
                 L"Gzip data is damaged (" + (why + (L"): at byte " + std::to_wstring(memberOffset))));
}

// A read that found the file ended inside a member names the member as cut short.
Status endsEarlyAsDamaged(Status read, uint64_t memberOffset) {
  return read.kind == StatusKind::EndedEarly ? damaged(L"ends early", memberOffset) : read;
}

// Reads a member's header byte by byte, summing what it reads. Each read
// fails as EndedEarly where the file ends inside the header.
struct HeaderReader {
  ChunkedInput& input;
  uint32_t crc = 0;

  Status byte(uint8_t& value) {
    if (Status filled = input.ensure(1); !filled.ok()) return filled;
    value = *input.data();
    crc = crc32(crc, input.data(), 1);
    input.advance(1);
    return {};
  }
  Status skip(uint64_t length) {
    Status read;
    for (uint8_t ignored; length > 0 && read.ok(); --length) read = byte(ignored);
    return read;
  }
  Status skipText() {
    Status read;
    for (uint8_t value = 1; value != 0 && read.ok();) read = byte(value);
    return read;
  }
  Status u16(uint16_t& value) {
    uint8_t bytes[2] = {};
    Status read = byte(bytes[0]);
    if (read.ok()) read = byte(bytes[1]);
    if (read.ok()) value = get16(bytes);
    return read;
  }
};

// The optional fields a header's flags announce, up to its own CRC.
Status skipOptionalFields(HeaderReader& header, uint8_t flags) {
  uint16_t extraLength = 0;
  Status read;
  if (flags & kExtraFlag) read = header.u16(extraLength);
  if (read.ok() && (flags & kExtraFlag)) read = header.skip(extraLength);
  if (read.ok() && (flags & kNameFlag)) read = header.skipText();
  if (read.ok() && (flags & kCommentFlag)) read = header.skipText();
  return read;
}

// The rest of a header whose fixed part is read.
Status readHeaderFields(HeaderReader& header, const uint8_t (&fixed)[kFixedHeader], Frame& member) {
  const uint8_t flags = fixed[3];
  if (fixed[2] != kDeflate) return damaged(L"not deflate", member.offset);
  if (flags & kReservedFlags) return damaged(L"reserved flags", member.offset);
  Status read = skipOptionalFields(header, flags);
  const uint32_t crcBefore = header.crc;
  uint16_t headerCrc = 0;
  if (read.ok() && (flags & kHeaderCrcFlag)) read = header.u16(headerCrc);
  if (!read.ok()) return endsEarlyAsDamaged(read, member.offset);
  if ((flags & kHeaderCrcFlag) && headerCrc != (crcBefore & 0xffff)) {
    return damaged(L"header checksum mismatch", member.offset);
  }
  member.headerCrc = header.crc;
  member.dataStart = header.input.offset();
  return {};
}

// A member's header into `member`, or, where the bytes start no member
// (left unread), `isMember` false.
Status readHeader(ChunkedInput& input, Frame& member, bool& isMember) {
  HeaderReader header{input};
  uint8_t fixed[kFixedHeader];
  isMember = false;
  for (size_t i = 0; i < kFixedHeader; ++i) {
    Status read = header.byte(fixed[i]);
    if (read.kind == StatusKind::EndedEarly && i < sizeof kMagic) return {};
    if (!read.ok()) return endsEarlyAsDamaged(read, member.offset);
    if (i < sizeof kMagic && fixed[i] != kMagic[i]) return {};
  }
  isMember = true;
  return readHeaderFields(header, fixed, member);
}

// The member's deflate data, its bytes handed on and its points recorded.
Status inflateMember(ChunkedInput& input, RawInflate& inflate, GzipPass& pass) {
  Frame& member = pass.members.back();
  inflate.at.in = member.dataStart;
  if (!inflate.restart()) return failure(StatusKind::Failed, L"Not enough memory to decode");
  if (pass.onPoint) {
    InflatePoint start;
    start.inOffset = member.dataStart;
    start.outOffset = member.outStart;
    pass.onPoint(start);
  }
  std::vector<uint8_t> output(kOutputBytes);
  for (;;) {
    if (Status filled = input.ensure(1); !filled.ok()) return endsEarlyAsDamaged(filled, member.offset);
    const uint8_t* next = input.data();
    size_t left = input.available();
    const uint64_t outBefore = inflate.at.out;
    const RawInflate::Step step = inflate.step(next, left, output.data(), output.size());
    input.advance(input.available() - left);
    const size_t made = inflate.at.out - outBefore;
    if (made > 0) {
      if (Status taken = pass.onBytes(output.data(), made); !taken.ok()) return taken;
    }
    if (step == RawInflate::Step::Invalid) return damaged(L"invalid deflate data", member.offset);
    if (step == RawInflate::Step::Ended) break;
    inflate.recordPointIfDue();
  }
  member.dataEnd = input.offset();
  member.outEnd = inflate.at.out;
  return {};
}

Status readTrailer(ChunkedInput& input, const RawInflate& inflate, const Frame& member) {
  HeaderReader trailer{input};
  uint8_t bytes[8];
  for (uint8_t& value : bytes) {
    if (Status read = trailer.byte(value); !read.ok()) return endsEarlyAsDamaged(read, member.offset);
  }
  if (get32(bytes) != inflate.at.crc) {
    return failure(StatusKind::Failed,
                   L"Checksum verification failed: gzip member at byte " + std::to_wstring(member.offset));
  }
  if (get32(bytes + 4) != static_cast<uint32_t>(member.outEnd - member.outStart)) {
    return damaged(L"wrong length", member.offset);
  }
  return {};
}

// One member and what follows it; `another` where a next member may start.
Status readMember(ChunkedInput& input, RawInflate& inflate, GzipPass& pass, bool& another) {
  Frame& member = pass.members.emplace_back();
  member.offset = input.offset();
  member.outStart = inflate.at.out;
  bool isMember = false;
  if (Status header = readHeader(input, member, isMember); !header.ok() || !isMember) {
    if (header.ok()) {
      pass.unaccounted = kDataAfterEnd + std::to_wstring(member.offset);
      pass.members.pop_back();
    }
    return another = false, header;
  }
  if (Status inflated = inflateMember(input, inflate, pass); !inflated.ok()) return inflated;
  if (Status trailer = readTrailer(input, inflate, member); !trailer.ok()) return trailer;
  return whatFollowsStream(input, kMagic[0], kDataAfterEnd, pass.unaccounted, another);
}

}  // namespace

Status readGzip(FileHandle& file, GzipPass& pass) {
  pass.members.clear();
  pass.unaccounted.clear();
  uint64_t size = 0;
  if (!fileSize(file, size)) return failure(StatusKind::Failed, L"Unable to open archive file");
  ChunkedInput input(file, size);
  RawInflate inflate;
  if (!inflate.begin()) return failure(StatusKind::Failed, L"Not enough memory to decode");
  inflate.recordPoints(pass.pointSpacing, pass.onPoint);
  for (bool another = true; another;) {
    if (Status member = readMember(input, inflate, pass, another); !member.ok()) return member;
  }
  return {};
}

namespace {

// With libdeflate, which inflates about twice as fast as zlib but cannot stop
// inside a stream by itself: a whole member, or a stretch that ends at `to` or
// with the member.
bool inflateFast(const InflatePoint* from, const InflatePoint* to, std::span<const uint8_t> stored,
                 std::span<uint8_t> out) {
  size_t consumed = 0, produced = 0;
  if (from == nullptr && to == nullptr) return inflateWhole(stored, out, consumed, produced) && produced == out.size();
  return inflateStretch(stretchBetween(from, to, stored), out);
}

}  // namespace

bool inflateFrom(const InflatePoint* from, const InflatePoint* to, std::span<const uint8_t> stored,
                 std::span<uint8_t> out) {
  // zlib decodes what libdeflate does not, damaged data included, to tell it as before.
  if (inflateFast(from, to, stored, out)) return true;
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
