#include "json.h"

#include <cstdio>

#include "platform/utf8.h"

namespace zarvik {

std::string jsonString(const std::wstring& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = static_cast<uint32_t>(text[i]);
    // Windows text is UTF-16: a surrogate pair is one character.
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(text[++i]) - 0xDC00);
    }
    if (cp == '"' || cp == '\\') {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (cp < 0x20 || (cp >= 0xD800 && cp <= 0xDFFF)) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(cp));
      out += escaped;
    } else if (!ablative::appendUtf8(out, cp)) {
      ablative::appendUtf8(out, 0xFFFD);  // past U+10FFFF: the replacement character
    }
  }
  return out + "\"";
}

void JsonObject::name(const char* member) {
  if (!members_.empty()) members_ += ',';
  members_.append(1, '"').append(member).append("\":");
}

JsonObject& JsonObject::add(const char* member, const std::wstring& text) {
  name(member);
  members_ += jsonString(text);
  return *this;
}

JsonObject& JsonObject::add(const char* member, const char* text) {
  name(member);
  members_.append(1, '"').append(text).append(1, '"');
  return *this;
}

JsonObject& JsonObject::add(const char* member, uint64_t number) {
  name(member);
  members_ += std::to_string(number);
  return *this;
}

JsonObject& JsonObject::add(const char* member, bool value) {
  name(member);
  members_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::add(const char* member, const std::vector<std::wstring>& texts) {
  name(member);
  members_ += "[";
  for (size_t i = 0; i < texts.size(); ++i) members_.append(i == 0 ? "" : ",").append(jsonString(texts[i]));
  members_ += "]";
  return *this;
}

}  // namespace zarvik
