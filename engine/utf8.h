// UTF-8 encoding and strict decoding of single code points: the codec of the
// platforms whose wchar_t holds whole code points, and of the tool's JSON.
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

}  // namespace ablative
