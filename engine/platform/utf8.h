// UTF-8 encoding and strict decoding of single code points: the codec of the
// platforms whose wchar_t holds whole code points, and of the tool's JSON;
// and names as bytes, which need not be UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ablative {

// Appends the UTF-8 bytes of `cp`. Surrogates and values past U+10FFFF are
// not characters: false, with nothing appended.
bool appendUtf8(std::string& out, uint32_t cp);

// Decodes the code point that starts at `utf8[at]`, `at` within `utf8`, and
// moves `at` past it.
// Strict: an overlong form, a surrogate, a value past U+10FFFF or a truncated
// sequence is false, with `at` unchanged.
bool nextCodePoint(std::string_view utf8, size_t& at, uint32_t& cp);

bool isValidUtf8(std::string_view text);

// A name's bytes as text, losing nothing: UTF-8 where they are UTF-8, and
// each other byte as the lone surrogate U+DC80 to U+DCFF (0x80 to 0xFF), as
// Linux names, which are any bytes, come through. Characters past U+FFFF are
// surrogate pairs where wchar_t holds 16 bits.
std::wstring nameFromBytes(std::string_view bytes);

// The bytes nameFromBytes made `text` from; false where `text` holds a
// surrogate it never makes (no name of bytes holds it).
bool nameBytes(std::wstring_view text, std::string& bytes);

}  // namespace ablative
