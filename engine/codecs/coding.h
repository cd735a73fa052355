// Little-endian integers: how the archive and the journal store them, and how
// the codec and the checksum load words. Byte k holds bits 8k to 8k + 7 on any
// host.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace ablative {

inline void put32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void put64(uint8_t* out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint16_t get16(const uint8_t* in) { return static_cast<uint16_t>(in[0] | in[1] << 8); }

inline uint32_t get32(const uint8_t* in) {
  return uint32_t{in[0]} | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16 | uint32_t{in[3]} << 24;
}

inline uint64_t get64(const uint8_t* in) { return uint64_t{get32(in)} | uint64_t{get32(in + 4)} << 32; }

// Stores `values` one after another, each in its own width: a record's
// fields in the order the format lays them out.
template <typename... Values>
void putFields(uint8_t* out, Values... values) {
  static_assert(((sizeof(Values) == 4 || sizeof(Values) == 8) && ...), "fields are 32 or 64 bits wide");
  ((sizeof(values) == 8 ? put64(out, values) : put32(out, static_cast<uint32_t>(values)), out += sizeof(values)), ...);
}

// For hot loops: one memory access, at any alignment, where the host is
// little-endian (memcpy is how a load of unknown alignment stays legal).
inline uint32_t loadLe32(const uint8_t* p) {
  if constexpr (std::endian::native != std::endian::little) return get32(p);
  uint32_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

inline uint64_t loadLe64(const uint8_t* p) {
  if constexpr (std::endian::native != std::endian::little) return get64(p);
  uint64_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

}  // namespace ablative
