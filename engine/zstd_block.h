// Zstandard, one frame a block. (Stand-in until the library's build lands.)
#pragma once

#include <cstddef>
#include <cstdint>

namespace ablative {

// `out` has room for `size` - 1 bytes.
bool zstdEncodeIfSmaller(const uint8_t* raw, size_t size, int level, uint8_t* out, size_t& codedLength);
bool zstdDecodeInto(const uint8_t* stored, size_t storedSize, uint8_t* out, size_t rawSize);

}  // namespace ablative
