// One block coded as a Zstandard frame. This is the only code that calls the
// Zstandard library, so its release and its parameters are pinned here.
//
// A frame holds one block: no dictionary, no dictionary ID, no checksum (the
// archive checks each block itself), and the block's raw size written in the
// frame header. Each call makes its own library context: a per-thread one
// would need a thread-exit destructor, which the Windows build's runtime
// mishandles (a worker crashed at its end), and a context costs little
// beside a block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ablative {

// The room a frame of `size` raw bytes may take at worst.
size_t zstdRoom(size_t size);

// How far back a frame's matches reach: the level's own window (2 MiB at the
// default level), or the whole input, which costs no memory when a frame is
// coded and decoded in one call and finds what repeats across a large block.
enum class ZstdWindow { OfLevel, WholeInput };

// Codes `size` bytes at `level` into `out`, which has zstdRoom(size) bytes of
// room, and sets `frameSize`. Returns true only when the frame is strictly
// shorter than `size`; otherwise (or on a library error) returns false,
// leaving `out` unspecified. The frame is the same bytes for the same input,
// level and window on any platform and thread.
bool zstdEncodeIfSmaller(const uint8_t* raw, size_t size, int level, ZstdWindow window, uint8_t* out,
                         size_t& frameSize);
// The same into a vector, replacing its contents, with the level's window.
bool zstdEncodeIfSmaller(const uint8_t* raw, size_t size, int level, std::vector<uint8_t>& out);
// A frame of the whole input whatever its length; false on a library error.
bool zstdEncodeWhole(const uint8_t* raw, size_t size, int level, std::vector<uint8_t>& out);

// Whether `stored` is exactly one whole data frame whose header states a
// content size of `rawSize`: checked from its headers, nothing decoded, so a
// caller may ask before it allocates `rawSize` bytes.
bool zstdFrameStates(const uint8_t* stored, size_t storedSize, size_t rawSize);

// Decodes `stored` into the caller's buffer of exactly `rawSize` bytes.
// Succeeds only when `stored` is exactly one frame whose header states a
// content size of `rawSize` and which decodes to exactly that many bytes.
// Memory never depends on what the frame claims. On failure the contents of
// `out` are unspecified.
bool zstdDecodeInto(const uint8_t* stored, size_t storedSize, uint8_t* out, size_t rawSize);

}  // namespace ablative
