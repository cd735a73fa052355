// Gzip streams (RFC 1952): one member or several concatenated (as pigz and
// split tools make them), each a header, raw deflate data and a trailer whose
// CRC-32 and length (mod 2^32) are checked. Zeros after the last member are
// padding, as some writers leave; other bytes there are no part of it.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "framings/framing.h"
#include "framings/inflate_points.h"
#include "platform/env.h"

namespace ablative {

struct GzipPass {
  // Decoded bytes in order; a failure stops the pass with it.
  std::function<Status(const uint8_t* bytes, size_t length)> onBytes;
  // Where decoding can start again, in file and stream offsets: each
  // member's deflate start (no window, no bits), and the first block boundary
  // after every `pointSpacing` bytes decoded in a member. Each is handed over
  // once the bytes before it are; members.back() is the member it lies in.
  uint64_t pointSpacing = 0;
  std::function<void(const InflatePoint&)> onPoint;
  std::vector<Frame> members;  // filled as they are read: a member's trailer follows its data
  // Where bytes that are neither zeros nor a member follow the last member:
  // "Data after the end of the gzip stream: at byte " + the first of them.
  std::wstring unaccounted;
};

// Decodes the gzip file open in `file` once, start to end, failing with
//   "Unable to open archive file" (its size unknown), a read's own message,
//   "Not enough memory to decode"
//   "Gzip data is damaged (" + why + "): at byte " + the member's offset
//     (a header this program does not read, reserved flags, a header CRC that
//     does not hold, invalid deflate data, a member cut short, a length
//     that is not its trailer's)
//   "Checksum verification failed: gzip member at byte " + its offset
// or onBytes's own.
Status readGzip(FileHandle& file, GzipPass& pass);

// Decodes `stored`, a member's deflate data from `from` (its start where
// null) to `to` (where null, as far as `out` takes), into all of `out`;
// false where it does not decode to that many bytes. The kInflateRoom bytes
// before `out` must be writable.
bool inflateFrom(const InflatePoint* from, const InflatePoint* to, std::span<const uint8_t> stored,
                 std::span<uint8_t> out);

bool looksLikeGzip(std::span<const uint8_t> firstBytes);

}  // namespace ablative
