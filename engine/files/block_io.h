// Block transfers on open files for extraction, and the error texts they
// produce.
//
// The transfer messages read as a fixed prefix, the platform's error code and
// the system's text for it, e.g.
//   "Failed to read archive block (code=5): Input/output error"
// The functions never throw.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/env.h"
#include "status.h"

namespace ablative {

// Reads exactly `size` bytes at `offset` into `bytes` (resized to `size`,
// zero-filled first). A failed seek or read fails with its message:
//   "Failed to seek archive block (code=" / "Failed to read archive block (code="
// A file that ends before `size` bytes fails as EndedEarly, with no message.
Status readArchiveBlock(FileHandle& file, uint64_t offset, uint32_t size, std::vector<uint8_t>& bytes);

// The first byte in [from, to) of the file that is not zero, or `to`: what
// follows an archive's end is padding only while it is zeros. Fails with a
// read's message, or "Unable to read archive file" where the file shrank.
Status findNonZero(FileHandle& file, uint64_t from, uint64_t to, uint64_t& found);

// The same as readArchiveBlock, for reading back a block already written to its destination:
//   "Failed to seek destination file for verification (code="
//   "Failed to read destination block for verification (code="
Status readDestinationBlock(FileHandle& file, uint64_t offset, uint32_t size, std::vector<uint8_t>& bytes);

// Writes all of `bytes` at `offset`; durable only once the file is flushed:
//   "Failed to seek destination file (code=" / "Failed to write destination block (code="
// A write that moves nothing while bytes remain fails with the disk-full code
// instead of looping forever.
Status writeDestinationBytes(FileHandle& file, uint64_t offset, std::span<const uint8_t> bytes);

// Sets the file's end at `length`, without a flush.
bool cutFileAt(FileHandle& file, uint64_t length);

// `message` + " (error " + the last platform error code + ")". Read the code
// before anything else can change it.
std::wstring lastErrorText(const std::wstring& message);

// `prefix` (ending in "(code=") + the last platform error code + "): " + the
// system's text for it.
std::wstring codedErrorText(const wchar_t* prefix);

// `what` + " (" + the system's text for the last platform error + ")".
std::wstring withReason(const std::wstring& what);

inline constexpr wchar_t kDestinationWriteFailed[] = L"Failed to write destination block (code=";
inline constexpr wchar_t kDestinationFlushFailed[] = L"Failed to flush destination file (code=";

}  // namespace ablative
