#include "platform/reparse_data.h"

#include <algorithm>
#include <cctype>

#include "codecs/coding.h"
#include "platform/utf8.h"

namespace ablative {

namespace {

constexpr uint32_t kSymbolicLinkTag = 0xA000000C, kJunctionTag = 0xA0000003;
constexpr uint32_t kRelativeLink = 1;  // SYMLINK_FLAG_RELATIVE

// The UTF-16 name at [offset, offset + length) of `names`, as UTF-8.
bool nameAt(std::span<const uint8_t> names, size_t offset, size_t length, std::string& name) {
  if (length % 2 != 0 || offset > names.size() || length > names.size() - offset) return false;
  name.clear();
  for (size_t at = offset, end = offset + length; at < end; at += 2) {
    uint32_t unit = get16(&names[at]);
    const uint32_t next = at + 2 < end ? get16(&names[at + 2]) : 0;
    if (unit >= 0xD800 && unit < 0xDC00 && next >= 0xDC00 && next < 0xE000) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
      at += 2;
    }
    if (!appendUtf8(name, unit)) return false;  // a surrogate alone
  }
  return true;
}

bool isAbsoluteWindowsPath(const std::string& path) {
  const bool drive =
      path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' && path[2] == '\\';
  return drive || path.starts_with('\\');
}

}  // namespace

// Laid out as REPARSE_DATA_BUFFER: the tag, the data's length, two reserved
// bytes, then the offsets and lengths of the substitute and print names
// within the names that follow, a link's flags coming before those.
bool linkTargetOfReparseData(std::span<const uint8_t> data, std::string& target) {
  if (data.size() < 8) return false;
  const uint32_t tag = get32(&data[0]);
  const size_t length = get16(&data[4]);
  const size_t fields = tag == kSymbolicLinkTag ? 12 : tag == kJunctionTag ? 8 : 0;
  if (fields == 0 || length < fields || length > data.size() - 8) return false;
  const std::span<const uint8_t> names = data.subspan(8 + fields, length - fields);
  const auto field = [&data](size_t at) { return get16(&data[at]); };
  const bool relative = tag == kSymbolicLinkTag && (get32(&data[16]) & kRelativeLink) != 0;
  std::string name;
  if (!nameAt(names, field(12), field(14), name) || (name.empty() && !nameAt(names, field(8), field(10), name))) {
    return false;
  }
  if (!relative && name.starts_with("\\??\\")) {
    name.erase(0, 4);
    if (!isAbsoluteWindowsPath(name)) name.insert(0, "\\\\?\\");
  }
  if (name.empty() || (!relative && !isAbsoluteWindowsPath(name))) return false;
  std::replace(name.begin(), name.end(), '\\', '/');
  target = std::move(name);
  return true;
}

}  // namespace ablative
