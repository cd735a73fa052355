#include "codecs/crc32.h"

#include <array>
#include <bit>
#include <cstring>

#include "codecs/coding.h"
#include "codecs/crc32_kernels.h"

namespace ablative {
namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;
constexpr size_t kSlices = 16;

using Tables = std::array<std::array<uint32_t, 256>, kSlices>;

// kTables[0] is the classic byte-at-a-time table. kTables[k][n] is the CRC
// state after byte n followed by k zero bytes, which lets one step fold 16
// input bytes with 16 independent lookups instead of a 16-long dependency chain.
constexpr Tables makeTables() {
  Tables t{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ ((c & 1u) ? kPolynomial : 0u);
    t[0][n] = c;
  }
  for (size_t k = 1; k < kSlices; ++k) {
    for (uint32_t n = 0; n < 256; ++n) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFFu];
  }
  return t;
}

alignas(64) constexpr Tables kTables = makeTables();

// The CRC is defined on bytes in order, with the first byte in the low bits:
// little-endian loads (coding.h) give exactly that.

inline uint32_t updateBytewise(uint32_t crc, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) crc = (crc >> 8) ^ kTables[0][(crc ^ p[i]) & 0xFFu];
  return crc;
}

// Portable kernel on the raw (uncomplemented) state, slice-by-16. Only the
// first four bytes of a step meet the running state, so the other twelve
// lookups are summed apart and the loop-carried chain is one xor, four
// lookups and a short tree. The loop is then bound by the CPU's load ports
// (one table load per byte), so four bytes are indexed straight from memory
// and the rest shifted out of registers, spreading the work between load
// and ALU ports.
uint32_t updatePortable(uint32_t crc, const uint8_t* p, size_t n) {
  const auto& t = kTables;
  while (n >= 16) {
    const uint32_t a = loadLe32(p) ^ crc;
    const uint64_t b = loadLe64(p + 8);
    const uint32_t rest =
        ((t[11][p[4]] ^ t[10][p[5]]) ^ (t[9][p[6]] ^ t[8][p[7]])) ^
        ((t[7][b & 0xFF] ^ t[6][(b >> 8) & 0xFF]) ^ (t[5][(b >> 16) & 0xFF] ^ t[4][(b >> 24) & 0xFF])) ^
        ((t[3][(b >> 32) & 0xFF] ^ t[2][(b >> 40) & 0xFF]) ^ (t[1][(b >> 48) & 0xFF] ^ t[0][b >> 56]));
    crc = ((t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF]) ^ (t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24])) ^ rest;
    p += 16;
    n -= 16;
  }
  return updateBytewise(crc, p, n);
}

// Chosen once: the CPU does not change under a running process.
CrcKernel bestKernel() {
  const std::vector<NamedCrcKernel> kernels = availableCrcKernels();
  return kernels.back().kernel;
}

}  // namespace

uint32_t crc32Portable(uint32_t crc, const uint8_t* data, size_t length) { return ~updatePortable(~crc, data, length); }

std::vector<NamedCrcKernel> availableCrcKernels() {
  std::vector<NamedCrcKernel> kernels{{"portable", crc32Portable}};
#if ZARVIK_X86_64
  const CpuFeatures& cpu = cpuFeatures();
  if (cpu.pclmul && cpu.sse41) kernels.push_back({"clmul", crc32Clmul});
#if ZARVIK_X86_WIDE
  if (cpu.vpclmul && cpu.sse41) kernels.push_back({"clmul-wide", crc32ClmulWide});
#endif
#endif
  return kernels;
}

uint32_t crc32(const uint8_t* data, size_t length) { return crc32(0, data, length); }

uint32_t crc32(uint32_t crc, const uint8_t* data, size_t length) {
  static const CrcKernel kernel = bestKernel();
  return kernel(crc, data, length);
}

}  // namespace ablative
