// Whole transfers on top of the platform seam, which may move fewer bytes
// than asked per call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/env.h"

namespace ablative {

// Reads `length` bytes at the file pointer. False on an error, or when the
// file ends first (then the error code is left as it was and `got` says how
// far it came).
bool readFully(FileHandle& file, uint8_t* buffer, uint64_t length, uint64_t& got);
bool readFully(FileHandle& file, uint8_t* buffer, uint64_t length);

// Reads up to `length` bytes, and stops early at the end of the file or at a
// read that moves fewer bytes than asked once `enough` have come: a regular
// file returns less than asked only at its end, so reading a file of known
// length needs no further read to find that end. False on an error.
bool readUpTo(FileHandle& file, uint8_t* buffer, uint64_t length, uint64_t enough, uint64_t& got);

// Writes all `length` bytes at the file pointer. A write that moves nothing
// counts as a failure, so a full device cannot spin the loop forever.
bool writeFully(FileHandle& file, const uint8_t* buffer, uint64_t length);

// Creates `folder` with its missing parents, adding to `gainedEntries` each
// folder that gained one: those must be flushed before anything created in
// the new folders can count as durable.
bool createFolders(const std::wstring& folder, std::vector<std::wstring>& gainedEntries);

}  // namespace ablative
