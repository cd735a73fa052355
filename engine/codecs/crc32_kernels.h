// Internal to the engine and its tests: the CRC-32 kernels behind crc32(),
// each callable on its own so every path is checked on any machine that can
// run it, not only the one crc32() picks here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codecs/cpu_features.h"

namespace ablative {

// A kernel continues `crc`, the CRC-32 of the bytes before `data` (0 for
// none): kernel(kernel(0, a), b) equals crc32 of a followed by b.
using CrcKernel = uint32_t (*)(uint32_t crc, const uint8_t* data, size_t length);

// Table driven; runs anywhere.
uint32_t crc32Portable(uint32_t crc, const uint8_t* data, size_t length);

#if ZARVIK_X86_64
// Carry-less multiply folding on 128-bit registers: needs pclmul and sse41.
uint32_t crc32Clmul(uint32_t crc, const uint8_t* data, size_t length);
#if ZARVIK_X86_WIDE
// The same folding on 256-bit registers: needs vpclmul (with avx2).
uint32_t crc32ClmulWide(uint32_t crc, const uint8_t* data, size_t length);
#endif
#endif

struct NamedCrcKernel {
  const char* name;
  CrcKernel kernel;
};

// The kernels this CPU can run, slowest first; crc32() uses the last.
std::vector<NamedCrcKernel> availableCrcKernels();

}  // namespace ablative
