// A compression that a container's bytes come framed in (gzip), as the
// sources reading through it see it: a record of callables that know the
// stream from its first bytes, decode it once from start to end while
// recording points where decoding can start again, and decode a stretch from
// one of those points. A point is handed over saved, as bytes a journal can
// keep whatever the framing, and read back from them. A container reads its
// bytes through any framing alike; the framings built are the rows of
// framing_table.h.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/env.h"
#include "status.h"

namespace ablative {

// A stretch of the file that decodes on its own (a gzip member): its header,
// its compressed data, what follows it (a trailer), and what it decodes to in
// the stream of all frames' decoded bytes.
struct Frame {
  uint64_t offset = 0;     // its header
  uint32_t headerCrc = 0;  // CRC-32 of its header's bytes
  uint64_t dataStart = 0;  // its compressed data, past the header
  uint64_t dataEnd = 0;    // what follows its data
  uint64_t outStart = 0;
  uint64_t outEnd = 0;
};

// Where decoding can start again: compressed bytes before it in the file,
// decoded bytes before it in the stream.
struct RestartPoint {
  uint64_t in = 0;
  uint64_t out = 0;
  size_t frame = 0;  // the frame it lies in, of FramingPass::frames
  // The decoder's state there, saved; empty at a frame's data start, where
  // decoding needs none, and where decoding only goes on to it.
  std::span<const uint8_t> saved;
  // Decoding cannot start here, only go on to it from the point before (see
  // FramingPass::goOnAfter).
  bool goneOnTo = false;
};

struct FramingPass {
  // Decoded bytes in order; a failure stops the pass with it.
  std::function<Status(const uint8_t* bytes, size_t length)> onBytes;
  // Points at each frame's data start, and at the first place decoding can
  // start again after every `pointSpacing` bytes decoded in a frame, each
  // handed over once the bytes before it are.
  uint64_t pointSpacing = 0;
  // A frame that decodes to more than this with no point where decoding can
  // start (one xz block) gets, from there on, a point every `pointSpacing`
  // that decoding only goes on to: its pieces then decode in order, from its
  // start (StreamDecoder). 0: none.
  uint64_t goOnAfter = 0;
  std::function<void(const RestartPoint&)> onPoint;
  std::vector<Frame> frames;  // filled as they are read, whether the pass ends whole or not
  // Where bytes that are neither padding nor a frame follow the last frame:
  // the framing's message naming the first of them.
  std::wstring unaccounted;
};

// Its messages, each followed by a frame's offset.
struct FramingTexts {
  const wchar_t* frame;         // naming it: "gzip member at byte "
  const wchar_t* endsEarly;     // its stored bytes cut short
  const wchar_t* invalidData;   // its stored bytes not decoding
  const wchar_t* unsplittable;  // no points close enough together to cut it into pieces
  // For a file whose decoded bytes hold no container: "gzip file", "gunzip".
  const wchar_t* fileNoun;
  const wchar_t* decompressor;
};

// Decodes a frame's data in order, from its start: appends to `decoded` what
// the next of its bytes, `stored`, decode to; false where they do not decode.
// Made for a frame at its start from its point's saved state (its header
// within the first bytes it takes).
using StreamDecoder = std::function<bool(std::span<const uint8_t> stored, std::vector<uint8_t>& decoded)>;

struct Framing {
  std::wstring name;    // as an archive's name ends after its container's: "gz"
  uint32_t coding = 0;  // of its units, in the plan (PlanUnit::coding)
  std::function<bool(std::span<const uint8_t> firstBytes)> recognises;
  // Decodes the file once, start to end: fails with "Unable to open archive
  // file" where its size is unknown, a read's own message, the framing's
  // messages, or onBytes's.
  std::function<Status(FileHandle& file, FramingPass& pass)> pass;
  // Whether saved bytes read back as one whole point.
  std::function<bool(std::span<const uint8_t> saved)> pointReads;
  // Decodes `stored`, a frame's data from a point (`saved`, or its data
  // start where empty), into all of `out`; false where it does not decode to
  // that many bytes.
  std::function<bool(std::span<const uint8_t> saved, std::span<const uint8_t> stored, std::span<uint8_t> out)> decode;
  // Decodes as `decode` does a stretch that the point `savedNext` ends, in
  // the same frame, for a decoder that decodes faster knowing where; null
  // where the framing has no use for it.
  std::function<bool(std::span<const uint8_t> saved, std::span<const uint8_t> savedNext,
                     std::span<const uint8_t> stored, std::span<uint8_t> out)>
      decodeToPoint;
  // Bytes before decode's `out` that it may overwrite.
  uint32_t roomBefore = 0;
  // Where a pass goes on to points (FramingPass::goOnAfter): a decoder for a
  // frame from its start; else null.
  std::function<StreamDecoder(std::span<const uint8_t> saved)> decodeInOrder;
  FramingTexts texts;
};

}  // namespace ablative
