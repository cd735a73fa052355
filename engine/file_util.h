// Whole transfers on top of the platform seam, which may move fewer bytes
// than asked per call.
#pragma once

#include <cstdint>

#include "env.h"

namespace ablative {

// Reads `length` bytes at the file pointer. False on an error, or when the
// file ends first (then the error code is left as it was and `got` says how
// far it came).
bool readFully(FileHandle& file, uint8_t* buffer, uint64_t length, uint64_t& got);
bool readFully(FileHandle& file, uint8_t* buffer, uint64_t length);

// Writes all `length` bytes at the file pointer. A write that moves nothing
// counts as a failure, so a full device cannot spin the loop forever.
bool writeFully(FileHandle& file, const uint8_t* buffer, uint64_t length);

}  // namespace ablative
