// Whole transfers on top of the platform seam, which may move fewer bytes
// than asked per call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// Creates `folder` with its missing parents, adding to `gainedEntries` each
// folder that gained one: those must be flushed before anything created in
// the new folders can count as durable.
bool createFolders(const std::wstring& folder, std::vector<std::wstring>& gainedEntries);

}  // namespace ablative
