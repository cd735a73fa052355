#include "platform/utf8.h"

namespace ablative {

namespace {
constexpr bool kUtf16 = sizeof(wchar_t) == 2;
constexpr uint32_t kEscapedByte = 0xDC00;  // plus the byte, 0x80 to 0xFF

bool isCharacter(uint32_t cp) { return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF); }
bool isEscapedByte(uint32_t cp) { return cp >= kEscapedByte + 0x80 && cp <= kEscapedByte + 0xFF; }
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

bool isValidUtf8(std::string_view text) {
  uint32_t cp = 0;
  for (size_t at = 0; at < text.size();) {
    if (!nextCodePoint(text, at, cp)) return false;
  }
  return true;
}

std::wstring nameFromBytes(std::string_view bytes) {
  std::wstring text;
  text.reserve(bytes.size());
  for (size_t at = 0; at < bytes.size();) {
    uint32_t cp = 0;
    if (!nextCodePoint(bytes, at, cp)) cp = kEscapedByte + static_cast<unsigned char>(bytes[at++]);
    if (kUtf16 && cp > 0xFFFF) {
      text += static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
      cp = 0xDC00 + ((cp - 0x10000) & 0x3FF);
    }
    text += static_cast<wchar_t>(cp);
  }
  return text;
}

bool nameBytes(std::wstring_view text, std::string& bytes) {
  bytes.clear();
  bytes.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    auto cp = static_cast<uint32_t>(text[i]);
    if (kUtf16 && cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(text[++i]) - 0xDC00);
    }
    if (isEscapedByte(cp)) {
      bytes += static_cast<char>(cp - kEscapedByte);
    } else if (!appendUtf8(bytes, cp)) {
      return false;
    }
  }
  return true;
}

}  // namespace ablative
