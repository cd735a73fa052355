#include "containers/zip_fields.h"

#include <algorithm>
#include <ctime>

#include "codecs/coding.h"
#include "codecs/crc32.h"
#include "containers/zip_format.h"
#include "platform/utf8.h"

namespace ablative {

namespace {

constexpr uint16_t kUtf8NameFlag = 1 << 11;
constexpr uint16_t kUnicodePathExtra = 0x7075;
constexpr uint16_t kExtendedTimestampExtra = 0x5455;
constexpr uint16_t kNtfsExtra = 0x000a;

const uint8_t* bytesOf(std::string_view text) { return reinterpret_cast<const uint8_t*>(text.data()); }

// Code page 437 from 0x80 on; below it is ASCII.
// clang-format off
constexpr uint16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};
// clang-format on

std::string fromCp437(std::string_view raw) {
  std::string utf8;
  for (unsigned char byte : raw) appendUtf8(utf8, byte < 0x80 ? byte : kCp437High[byte - 0x80]);
  return utf8;
}

// Version 1, the CRC-32 of the raw name it stands for, then the UTF-8 name.
std::optional<std::string> unicodePath(std::string_view rawName, std::string_view extra) {
  std::optional<std::string_view> field = findZipExtra(extra, kUnicodePathExtra);
  if (!field || field->size() < 5 || (*field)[0] != 1) return std::nullopt;
  if (get32(bytesOf(*field) + 1) != crc32(bytesOf(rawName), rawName.size())) return std::nullopt;
  return std::string(field->substr(5));
}

// A flags byte, then the modification time (bit 0) as signed seconds since 1970.
std::optional<int64_t> extendedTimestampNs(std::string_view extra) {
  std::optional<std::string_view> field = findZipExtra(extra, kExtendedTimestampExtra);
  if (!field || field->size() < 5 || ((*field)[0] & 1) == 0) return std::nullopt;
  return int64_t{static_cast<int32_t>(get32(bytesOf(*field) + 1))} * 1'000'000'000;
}

// Four reserved bytes, then tagged attributes; tag 1 holds the modification,
// access and creation times in 100 ns units since 1601.
std::optional<int64_t> ntfsTimeNs(std::string_view extra) {
  std::optional<std::string_view> field = findZipExtra(extra, kNtfsExtra);
  if (!field || field->size() < 4) return std::nullopt;
  std::optional<std::string_view> times = findZipExtra(field->substr(4), 1);
  if (!times || times->size() < 8) return std::nullopt;
  constexpr int64_t k1601To1970 = 116'444'736'000'000'000;
  constexpr int64_t kLimit = INT64_MAX / 100;  // what nanoseconds can hold
  uint64_t ticks = get64(bytesOf(*times));
  if (ticks > static_cast<uint64_t>(kLimit + k1601To1970)) return std::nullopt;
  int64_t since1970 = static_cast<int64_t>(ticks) - k1601To1970;
  if (since1970 < -kLimit) return std::nullopt;
  return since1970 * 100;
}

}  // namespace

std::optional<std::string_view> findZipExtra(std::string_view extra, uint16_t id) {
  while (extra.size() >= 4) {
    const uint16_t fieldId = get16(bytesOf(extra));
    const size_t length = get16(bytesOf(extra) + 2);
    if (extra.size() - 4 < length) return std::nullopt;
    if (fieldId == id) return extra.substr(4, length);
    extra = extra.substr(4 + length);
  }
  return std::nullopt;
}

namespace {

std::string decodedName(std::string_view rawName, uint16_t flags, std::string_view extra, uint8_t madeBy) {
  if (flags & kUtf8NameFlag) return std::string(rawName);
  if (std::optional<std::string> unicode = unicodePath(rawName, extra)) return *unicode;
  if (madeBy == kZipMadeOnUnix) return std::string(rawName);
  return fromCp437(rawName);
}

}  // namespace

std::string decodeZipName(std::string_view rawName, uint16_t flags, std::string_view extra, uint8_t madeBy) {
  std::string name = decodedName(rawName, flags, extra, madeBy);
  if (madeBy == kZipMadeOnDos || madeBy == kZipMadeOnNtfs || madeBy == kZipMadeOnVfat) {
    std::replace(name.begin(), name.end(), '\\', '/');
  }
  return name;
}

int64_t zipModifiedNs(std::string_view extra, uint16_t dosDate, uint16_t dosTime) {
  if (std::optional<int64_t> ns = extendedTimestampNs(extra)) return *ns;
  if (std::optional<int64_t> ns = ntfsTimeNs(extra)) return *ns;
  return dosTimeToUnixSeconds(dosDate, dosTime) * 1'000'000'000;
}

int64_t dosTimeToUnixSeconds(uint16_t date, uint16_t time) {
  std::tm local{};
  local.tm_year = 80 + (date >> 9);
  local.tm_mon = ((date >> 5) & 15) - 1;
  local.tm_mday = date & 31;
  local.tm_hour = time >> 11;
  local.tm_min = (time >> 5) & 63;
  local.tm_sec = (time & 31) * 2;
  local.tm_isdst = -1;  // the rules in force on that date decide
  return static_cast<int64_t>(std::mktime(&local));
}

}  // namespace ablative
