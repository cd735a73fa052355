#include "utf8.h"

namespace ablative {

namespace {
bool isCharacter(uint32_t cp) { return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF); }
}  // namespace

bool appendUtf8(std::string& out, uint32_t cp) {
  if (!isCharacter(cp)) return false;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return true;
}

bool nextCodePoint(std::string_view utf8, size_t& at, uint32_t& cp) {
  auto lead = static_cast<unsigned char>(utf8[at]);
  int extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : -1;
  if (extra < 0 || utf8.size() - at <= static_cast<size_t>(extra)) return false;
  uint32_t value = extra == 0 ? lead : lead & (0x3F >> extra);
  for (int k = 1; k <= extra; ++k) {
    auto next = static_cast<unsigned char>(utf8[at + k]);
    if ((next & 0xC0) != 0x80) return false;
    value = (value << 6) | (next & 0x3F);
  }
  static constexpr uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  if (value < kSmallest[extra] || !isCharacter(value)) return false;
  cp = value;
  at += extra + 1;
  return true;
}

}  // namespace ablative
