// Internal to the engine and its tests: the run-length encoder built once per
// way of scanning for runs, each callable on its own so every variant is
// checked on any machine that can run it, not only the one rleEncode picks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codecs/cpu_features.h"

namespace ablative {

// Returned by an encoder when the coded form does not fit `capacity`.
constexpr size_t kRleTooLong = SIZE_MAX;

// Writes rleEncode's bytes for data[0, length) to out[0, capacity) and
// returns their count, or kRleTooLong as soon as they would not fit (out is
// then unspecified). Never writes outside out[0, capacity).
using RleEncoder = size_t (*)(const uint8_t* data, size_t length, uint8_t* out, size_t capacity);

struct NamedRleEncoder {
  const char* name;
  RleEncoder encode;
};

// The variants this CPU can run, slowest first; rleEncode uses the last.
std::vector<NamedRleEncoder> availableRleEncoders();

}  // namespace ablative
