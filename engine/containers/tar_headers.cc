// Tar headers: ustar, pax and GNU headers read block by block into member
// records.
#include <algorithm>
#include <charconv>
#include <string_view>

#include "containers/tar_format.h"
#include "platform/utf8.h"

namespace ablative {

namespace {

// Where the fields of a ustar header lie, and the GNU fields that reuse the
// space ustar gives to the prefix.
struct Field {
  size_t at, length;
};
constexpr Field kName{0, 100}, kMode{100, 8}, kUid{108, 8}, kGid{116, 8}, kSize{124, 12}, kTime{136, 12},
    kChecksum{148, 8}, kLinkName{157, 100}, kPrefix{345, 155}, kGnuRealSize{483, 12};
constexpr size_t kTypeFlag = 156, kMagic = 257;
constexpr size_t kGnuSparse = 386, kGnuIsExtended = 482, kGnuHeaderEntries = 4;
constexpr size_t kExtensionEntries = 21, kExtensionIsExtended = 504, kSparseEntrySize = 24;
constexpr std::string_view kUstarMagic{"ustar\00000", 8};  // "ustar", a NUL, version "00"
constexpr std::string_view kGnuMagic{"ustar  \0", 8};
constexpr uint64_t kLargestSize = uint64_t{1} << 62;
constexpr int64_t kLargestSeconds = INT64_MAX / 1000000000;

constexpr wchar_t kChecksumMismatch[] = L"Tar header checksum mismatch: ";
constexpr wchar_t kInvalidHeader[] = L"Invalid tar header: ";
constexpr wchar_t kInvalidSparseMap[] = L"Invalid sparse map: ";
constexpr wchar_t kTooLarge[] = L"Tar extended header too large: ";

using Block = std::span<const uint8_t, kTarBlockSize>;

std::wstring atByte(uint64_t offset) { return L"at byte " + std::to_wstring(offset); }
std::wstring nameOrOffset(const std::string& path, uint64_t offset) {
  return path.empty() ? atByte(offset) : nameFromBytes(path);
}

uint64_t roundUpToBlock(uint64_t size) { return (size + kTarBlockSize - 1) / kTarBlockSize * kTarBlockSize; }

std::string_view bytesOf(Block block, Field field) {
  return {reinterpret_cast<const char*>(block.data()) + field.at, field.length};
}

// A text field: up to its first NUL, or the whole field.
std::string textOf(Block block, Field field) {
  std::string_view bytes = bytesOf(block, field);
  return std::string(bytes.substr(0, bytes.find('\0')));
}

bool isZeroBlock(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

bool hasUstarMagic(Block block) { return bytesOf(block, {kMagic, 8}) == kUstarMagic; }
bool hasGnuMagic(Block block) { return bytesOf(block, {kMagic, 8}) == kGnuMagic; }

// The header's own name: ustar joins its prefix (old GNU headers keep other
// fields in that space).
std::string headerName(Block block) {
  std::string name = textOf(block, kName);
  std::string prefix = hasUstarMagic(block) ? textOf(block, kPrefix) : std::string();
  return prefix.empty() ? name : prefix + "/" + name;
}

// Octal digits after optional spaces, ended by a space, a NUL or the field's
// end; a field with no digits is zero (old tars leave fields empty).
bool readOctal(std::string_view field, uint64_t& value) {
  size_t at = field.find_first_not_of(' ');
  value = 0;
  for (; at < field.size() && field[at] >= '0' && field[at] <= '7'; ++at) {
    if (value > (UINT64_MAX >> 3)) return false;
    value = value << 3 | static_cast<uint64_t>(field[at] - '0');
  }
  return at >= field.size() || field[at] == ' ' || field[at] == '\0';
}

// A numeric field: octal, or GNU base-256 (first byte 0x80 for a positive
// value, 0xFF for a negative one in two's complement).
bool readNumber(Block block, Field field, int64_t& value) {
  std::string_view bytes = bytesOf(block, field);
  const uint8_t lead = static_cast<uint8_t>(bytes[0]);
  if (lead != 0x80 && lead != 0xFF) {
    uint64_t octal = 0;
    if (!readOctal(bytes, octal) || octal > static_cast<uint64_t>(INT64_MAX)) return false;
    value = static_cast<int64_t>(octal);
    return true;
  }
  const bool negative = lead == 0xFF;
  uint64_t magnitude = negative ? UINT64_MAX : 0;  // the lead byte, sign-extended
  for (size_t i = 1; i < bytes.size(); ++i) {
    if ((magnitude >> 56) != (negative ? 0xFF : 0)) return false;
    magnitude = magnitude << 8 | static_cast<uint8_t>(bytes[i]);
  }
  value = static_cast<int64_t>(magnitude);
  return negative == (value < 0);
}

// A size: not negative, and small enough that offsets past it cannot wrap.
bool readSize(Block block, Field field, uint64_t& size) {
  int64_t value = 0;
  if (!readNumber(block, field, value) || value < 0 || static_cast<uint64_t>(value) > kLargestSize) return false;
  size = static_cast<uint64_t>(value);
  return true;
}

// The header's checksum holds: the sum of its bytes with the checksum field
// counted as spaces, unsigned, or signed as some old tars summed it.
bool checksumHolds(Block block) {
  uint64_t recorded = 0;
  if (!readOctal(bytesOf(block, kChecksum), recorded)) return false;
  int64_t unsignedSum = 0, signedSum = 0;
  for (size_t i = 0; i < kTarBlockSize; ++i) {
    const bool inField = i >= kChecksum.at && i < kChecksum.at + kChecksum.length;
    const uint8_t byte = inField ? ' ' : block[i];
    unsignedSum += byte;
    signedSum += static_cast<int8_t>(byte);
  }
  return static_cast<int64_t>(recorded) == unsignedSum || static_cast<int64_t>(recorded) == signedSum;
}

bool parseDecimal(std::string_view text, uint64_t& value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value <= kLargestSize;
}

// A pax time: seconds with an optional sign and fraction, kept to the nanosecond.
bool parsePaxTime(std::string_view text, int64_t& ns) {
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  const size_t dot = text.find('.');
  uint64_t seconds = 0, fraction = 0;
  // Below the largest whole second, so that the fraction cannot carry past it.
  if (!parseDecimal(text.substr(0, dot), seconds) || seconds >= static_cast<uint64_t>(kLargestSeconds)) return false;
  if (dot != std::string_view::npos) {
    std::string_view digits = text.substr(dot + 1);
    if (digits.find_first_not_of("0123456789") != std::string_view::npos) return false;
    std::string nine(digits.substr(0, 9));
    nine.resize(9, '0');
    parseDecimal(nine, fraction);
  }
  const int64_t magnitude = static_cast<int64_t>(seconds) * 1000000000 + static_cast<int64_t>(fraction);
  ns = negative ? -magnitude : magnitude;
  return true;
}

// "offset,length,offset,length,..." as GNU sparse format 0.1 writes it.
bool parseSparseList(std::string_view text, std::vector<TarDataRange>& ranges) {
  std::vector<uint64_t> numbers;
  for (size_t at = 0; at <= text.size();) {
    const size_t comma = std::min(text.find(',', at), text.size());
    uint64_t number = 0;
    if (!parseDecimal(text.substr(at, comma - at), number)) return false;
    numbers.push_back(number);
    at = comma + 1;
  }
  if (numbers.size() % 2 != 0) return false;
  ranges.clear();
  for (size_t i = 0; i < numbers.size(); i += 2) ranges.push_back({numbers[i], numbers[i + 1]});
  return true;
}

// Keeps a sparse member's ranges when they are in order, apart, inside the
// file and add up to the stored data. The empty ones (GNU tar ends its maps
// with one at the file's end) are dropped, but for one at the end of a file
// that is all holes, so that every sparse member has ranges.
bool checkSparseRanges(std::vector<TarDataRange>& ranges, uint64_t realSize, uint64_t storedSize) {
  uint64_t end = 0, total = 0;
  for (const TarDataRange& range : ranges) {
    if (range.fileOffset < end || range.fileOffset > realSize || range.length > realSize - range.fileOffset) {
      return false;
    }
    end = range.fileOffset + range.length;
    total += range.length;
  }
  std::erase_if(ranges, [](const TarDataRange& range) { return range.length == 0; });
  if (ranges.empty()) ranges.push_back({realSize, 0});
  return total == storedSize;
}

// One pax record: "LENGTH KEY=VALUE\n", LENGTH counting the whole record.
// Unknown keys, and uid, gid, uname and gname, are read and ignored.
bool applyPaxRecord(std::string_view key, std::string_view value, auto& into) {
  uint64_t number = 0;
  if (key == "path") return into.path = std::string(value), true;
  if (key == "linkpath") return into.linkTarget = std::string(value), true;
  if (key == "size") return parseDecimal(value, number) && (into.size = number, true);
  if (key == "mtime") {
    int64_t ns = 0;
    return parsePaxTime(value, ns) && (into.modifiedNs = ns, true);
  }
  if (key == "GNU.sparse.size" || key == "GNU.sparse.realsize") {
    return parseDecimal(value, number) && (into.sparseRealSize = number, true);
  }
  if (key == "GNU.sparse.major") return parseDecimal(value, number) && (into.sparseMajor = number, true);
  if (key == "GNU.sparse.name") return into.sparseName = std::string(value), true;
  if (key == "GNU.sparse.map") return parseSparseList(value, into.sparseRanges);
  if (key == "GNU.sparse.offset") {
    if (into.sparseOffsetUnpaired || !parseDecimal(value, number)) return false;
    into.sparseRanges.push_back({number, 0});
    return into.sparseOffsetUnpaired = true;
  }
  if (key == "GNU.sparse.numbytes") {
    if (!into.sparseOffsetUnpaired || !parseDecimal(value, number)) return false;
    into.sparseRanges.back().length = number;
    into.sparseOffsetUnpaired = false;
    return true;
  }
  return true;
}

// An empty value removes the key's earlier value, as pax defines.
void clearPaxKey(std::string_view key, auto& into) {
  if (key == "path") into.path.reset();
  if (key == "linkpath") into.linkTarget.reset();
  if (key == "size") into.size.reset();
  if (key == "mtime") into.modifiedNs.reset();
}

bool parsePaxRecords(std::string_view body, auto& into) {
  while (!body.empty()) {
    const size_t space = body.find(' ');
    uint64_t length = 0;
    if (space == std::string_view::npos || !parseDecimal(body.substr(0, space), length) || length > body.size() ||
        length <= space + 1 || body[length - 1] != '\n') {
      return false;
    }
    std::string_view record = body.substr(space + 1, length - space - 2);
    const size_t equals = record.find('=');
    if (equals == std::string_view::npos || equals == 0) return false;
    std::string_view key = record.substr(0, equals), value = record.substr(equals + 1);
    if (value.empty()) {
      clearPaxKey(key, into);
      into.cleared.emplace_back(key);
    } else if (!applyPaxRecord(key, value, into)) {
      return false;
    }
    body.remove_prefix(length);
  }
  return !into.sparseOffsetUnpaired;
}

// The global values that apply to a member: those its own header did not clear.
auto applyingGlobals(auto global, const auto& local) {
  for (const std::string& key : local.cleared) clearPaxKey(key, global);
  return global;
}

}  // namespace

uint64_t tarNextHeader(const TarMember& member) { return member.dataOffset + roundUpToBlock(member.storedSize); }

std::wstring tarMemberName(const TarMember& member) { return nameOrOffset(member.path, member.headerOffset); }

bool TarHeaderParser::insideHeader() const { return expect_ != Expect::Header || memberBegun_; }

TarStep TarHeaderParser::take(Block block, uint64_t offset) {
  if (offset != next_) return fail(kInvalidHeader + atByte(offset));
  next_ = offset + kTarBlockSize;
  switch (expect_) {
    case Expect::Header: return takeHeader(block, offset);
    case Expect::ExtendedBody: return takeExtendedBody(block);
    case Expect::SparseExtension: return takeSparseExtension(block);
    case Expect::SparseMap: return takeSparseMap(block);
  }
  return TarStep::Failed;
}

TarStep TarHeaderParser::takeHeader(Block block, uint64_t offset) {
  if (isZeroBlock(block)) {
    // Extended headers must lead to a member.
    if (memberBegun_) return fail(kInvalidHeader + atByte(offset));
    if (zeroBlockSeen_) return TarStep::End;
    zeroBlockSeen_ = true;
    return TarStep::NextBlock;
  }
  if (zeroBlockSeen_) return TarStep::End;
  if (!checksumHolds(block)) return fail(kChecksumMismatch + nameOrOffset(headerName(block), offset));
  const char type = static_cast<char>(block[kTypeFlag]);
  if (!memberBegun_ && type != 'g') {
    member_ = TarMember();
    member_.headerOffset = offset;
  }
  // 'X': Solaris tar's name for a per-member pax header, read as GNU tar does;
  // 'A': its access control list for the member, whose body is passed over.
  if (type == 'x' || type == 'X' || type == 'A' || type == 'g' || type == 'L' || type == 'K') {
    if (!readSize(block, kSize, bodyLeft_)) return fail(kInvalidHeader + atByte(offset));
    if (bodyLeft_ > kTarLargestExtendedHeader) return fail(kTooLarge + atByte(offset));
    bodyType_ = type == 'X' ? 'x' : type;
    bodyOffset_ = offset;
    body_.clear();
    memberBegun_ = memberBegun_ || type != 'g';
    expect_ = Expect::ExtendedBody;
    return bodyLeft_ > 0 ? TarStep::NextBlock : takeExtendedBody(block);
  }
  // A volume label names the archive, not a member.
  if (type == 'V') {
    uint64_t size = 0;
    if (!readSize(block, kSize, size) || size != 0 || memberBegun_) {
      return fail(kInvalidHeader + atByte(offset));
    }
    return TarStep::NextBlock;
  }
  return startMember(block, offset);
}

TarStep TarHeaderParser::startMember(Block block, uint64_t offset) {
  const char type = static_cast<char>(block[kTypeFlag]);
  const Overrides& local = local_;
  const Overrides global = applyingGlobals(global_, local_);
  member_.path =
      local.sparseName.value_or(local.path.value_or(global.path.value_or(longName_.value_or(headerName(block)))));
  member_.typeFlag = type;
  const bool slashEnded = !member_.path.empty() && member_.path.back() == '/';
  while (member_.path.size() > 1 && member_.path.back() == '/') member_.path.pop_back();
  // A multi-volume continuation is the rest of a file begun in another archive.
  if (type == 'M') return failMember(kInvalidHeader);
  switch (type) {
    case '0':
    case '\0':
    case '7':
    case 'S':
      // Old tars marked folders by a trailing slash alone.
      member_.kind = slashEnded && type != 'S' ? TarMemberKind::Folder : TarMemberKind::File;
      break;
    case '5':
    case 'D': member_.kind = TarMemberKind::Folder; break;  // D: a GNU folder with a listing as its data
    case '2': member_.kind = TarMemberKind::SymbolicLink; break;
    case '1': member_.kind = TarMemberKind::HardLink; break;
    case '3':
    case '4':
    case '6': member_.kind = TarMemberKind::Special; break;
    // Other types (vendor extensions) are extracted as regular files, as GNU tar does.
    default: member_.kind = TarMemberKind::File; break;
  }
  if (member_.kind == TarMemberKind::SymbolicLink || member_.kind == TarMemberKind::HardLink) {
    member_.linkTarget =
        local.linkTarget.value_or(global.linkTarget.value_or(longLink_.value_or(textOf(block, kLinkName))));
  }
  int64_t mode = 0, seconds = 0;
  if (!readNumber(block, kMode, mode) || !readNumber(block, kTime, seconds) ||
      !readSize(block, kSize, member_.storedSize) || seconds > kLargestSeconds || seconds < -kLargestSeconds) {
    return failMember(kInvalidHeader);
  }
  member_.mode = static_cast<uint32_t>(mode) & 07777;
  member_.modifiedNs = local.modifiedNs.value_or(global.modifiedNs.value_or(seconds * 1000000000));
  const bool holdsData = member_.kind == TarMemberKind::File || type == 'D';
  member_.storedSize = holdsData ? local.size.value_or(global.size.value_or(member_.storedSize)) : 0;
  member_.size = member_.storedSize;
  member_.dataOffset = offset + kTarBlockSize;
  memberBegun_ = true;
  if (type == 'S') {
    if (!readSize(block, kGnuRealSize, member_.size)) return failMember(kInvalidHeader);
    for (size_t i = 0; i < kGnuHeaderEntries; ++i) {
      const size_t at = kGnuSparse + i * kSparseEntrySize;
      TarDataRange range;
      if (block[at + 12] == 0) break;
      if (!readSize(block, {at, 12}, range.fileOffset) || !readSize(block, {at + 12, 12}, range.length)) {
        return failMember(kInvalidHeader);
      }
      member_.ranges.push_back(range);
    }
    if (block[kGnuIsExtended] == 0) return finishMember();
    sparseBlocks_ = 0;
    expect_ = Expect::SparseExtension;
    return TarStep::NextBlock;
  }
  if (local.sparseMajor && *local.sparseMajor != 1) return failMember(kInvalidHeader);
  if (local.sparseMajor) {
    mapText_.clear();
    mapParsed_ = 0;
    mapNumbers_.clear();
    expect_ = Expect::SparseMap;
    return member_.storedSize == 0 ? failMember(kInvalidSparseMap) : TarStep::NextBlock;
  }
  if (local.sparseRealSize || !local.sparseRanges.empty()) member_.ranges = local.sparseRanges;
  return finishMember();
}

TarStep TarHeaderParser::takeExtendedBody(Block block) {
  const uint64_t piece = std::min<uint64_t>(bodyLeft_, kTarBlockSize);
  body_.append(reinterpret_cast<const char*>(block.data()), piece);
  bodyLeft_ -= piece;
  if (bodyLeft_ > 0) return TarStep::NextBlock;
  expect_ = Expect::Header;
  switch (bodyType_) {
    case 'x':
      if (!parsePaxRecords(body_, local_)) return fail(kInvalidHeader + atByte(bodyOffset_));
      break;
    case 'g': {
      Overrides global = global_;
      if (!parsePaxRecords(body_, global)) return fail(kInvalidHeader + atByte(bodyOffset_));
      global_ = Overrides();  // sparse keys are per member
      global_.path = global.path;
      global_.linkTarget = global.linkTarget;
      global_.size = global.size;
      global_.modifiedNs = global.modifiedNs;
      break;
    }
    case 'L': longName_ = body_.substr(0, body_.find('\0')); break;
    case 'K': longLink_ = body_.substr(0, body_.find('\0')); break;
  }
  return TarStep::NextBlock;
}

TarStep TarHeaderParser::takeSparseExtension(Block block) {
  if (++sparseBlocks_ * kTarBlockSize > kTarLargestExtendedHeader) return failMember(kTooLarge);
  for (size_t i = 0; i < kExtensionEntries; ++i) {
    const size_t at = i * kSparseEntrySize;
    TarDataRange range;
    if (block[at + 12] == 0) break;
    if (!readSize(block, {at, 12}, range.fileOffset) || !readSize(block, {at + 12, 12}, range.length)) {
      return failMember(kInvalidHeader);
    }
    member_.ranges.push_back(range);
  }
  member_.dataOffset += kTarBlockSize;
  if (block[kExtensionIsExtended] != 0) return TarStep::NextBlock;
  return finishMember();
}

// The map of GNU sparse format 1.0 opens the data: a count, then each range's
// offset and length, one decimal number a line, padded to a whole block.
TarStep TarHeaderParser::takeSparseMap(Block block) {
  mapText_.append(reinterpret_cast<const char*>(block.data()), kTarBlockSize);
  if (mapText_.size() > kTarLargestExtendedHeader) return failMember(kTooLarge);
  for (size_t end; (end = mapText_.find('\n', mapParsed_)) != std::string::npos; mapParsed_ = end + 1) {
    uint64_t number = 0;
    if (!parseDecimal(std::string_view(mapText_).substr(mapParsed_, end - mapParsed_), number)) {
      return failMember(kInvalidSparseMap);
    }
    mapNumbers_.push_back(number);
    if (mapNumbers_.size() == 2 * mapNumbers_[0] + 1) {
      if (mapText_.size() > member_.storedSize) return failMember(kInvalidSparseMap);
      for (size_t i = 1; i < mapNumbers_.size(); i += 2) member_.ranges.push_back({mapNumbers_[i], mapNumbers_[i + 1]});
      member_.dataOffset += mapText_.size();
      member_.storedSize -= mapText_.size();
      return finishMember();
    }
  }
  if (mapText_.size() >= member_.storedSize) return failMember(kInvalidSparseMap);
  return TarStep::NextBlock;
}

TarStep TarHeaderParser::finishMember() {
  const bool sparse =
      member_.typeFlag == 'S' || local_.sparseMajor || local_.sparseRealSize || !local_.sparseRanges.empty();
  if (sparse) {
    // Only regular files are stored sparse, and a pax one must say how long it is.
    if (member_.typeFlag != 'S') member_.size = local_.sparseRealSize.value_or(0);
    const bool sized = member_.typeFlag == 'S' || local_.sparseRealSize;
    if (member_.kind != TarMemberKind::File || !sized ||
        !checkSparseRanges(member_.ranges, member_.size, member_.storedSize)) {
      return failMember(kInvalidSparseMap);
    }
  }
  local_ = {};
  longName_.reset();
  longLink_.reset();
  memberBegun_ = false;
  expect_ = Expect::Header;
  next_ = tarNextHeader(member_);
  return TarStep::Member;
}

TarStep TarHeaderParser::fail(std::wstring message) {
  failed_ = failure(StatusKind::Failed, std::move(message));
  return TarStep::Failed;
}

TarStep TarHeaderParser::failMember(const wchar_t* message) {
  return fail(message + tarMemberName(member_));
}

bool looksLikeTar(std::span<const uint8_t> firstBytes) {
  if (firstBytes.size() < kTarBlockSize) return false;
  const Block block = firstBytes.first<kTarBlockSize>();
  if (isZeroBlock(block) || !checksumHolds(block)) return false;
  if (hasUstarMagic(block) || hasGnuMagic(block)) return true;
  // An old (v7) header: a name, and numbers in octal.
  uint64_t number = 0;
  for (Field field : {kMode, kUid, kGid, kSize, kTime}) {
    if (!readOctal(bytesOf(block, field), number)) return false;
  }
  return block[0] != 0;
}

}  // namespace ablative
