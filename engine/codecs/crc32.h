// The archive's checksum: CRC-32 with the reflected polynomial 0xEDB88320,
// preset 0xFFFFFFFF and the result complemented. crc32("123456789") is
// 0xCBF43926; crc32 of nothing is 0.
//
// Any alignment and length are fine; the result does not depend on the host's
// byte order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ablative {

uint32_t crc32(const uint8_t* data, size_t length);
// Continues `crc`, the CRC-32 of the bytes before `data`:
// crc32(crc32(a), b) is the CRC-32 of a followed by b.
uint32_t crc32(uint32_t crc, const uint8_t* data, size_t length);

}  // namespace ablative
