// Bzip2 files as a framing: one stream or several concatenated (pbzip2
// writes one a block), zeros after the last being padding. Its frames are
// bzip2 streams, each header ("BZh" and the block size digit) a mark. Every
// block decodes on its own, so a point lies at a stream's first block and at
// the first block start after every pointSpacing bytes decoded in it. Blocks
// start at any bit: where a point splits a byte, the byte belongs to the unit
// before and the point keeps its bits that begin the block, as inflate
// points do, saved as two bytes: how many bits (1 to 7), and the bits, in
// the low ones; a point at a whole byte needs nothing. A unit's bits,
// re-aligned behind a stream header of the largest block size, decode as a
// stream of its blocks whose end is never reached.
//
// Blocks hold no length: the pass takes a block to end where the next
// block's or the stream's end magic (48 bits each) starts, and decodes it as
// a stream of that one block, whose CRC stands for the stream's. So a magic
// inside a block's data, planted or there by chance (one in 2^47 a bit),
// cuts the block short, and it fails to decode. The pass checks every
// block's CRC and each stream's combined CRC. Its messages, besides a read's
// own:
//   "Not enough memory to decode"
//   "Bzip2 data is damaged (" + why + "): at byte " + the stream's offset
//     (ends early, invalid block size, invalid compressed data (a block CRC
//     that does not hold too))
//   "Checksum verification failed: bzip2 stream at byte " + its offset
// and it names a stream "bzip2 stream at byte " + its offset. Where bytes
// that are neither zeros nor a stream follow the last stream:
//   "Data after the end of the bzip2 stream: at byte " + the first of them.
#pragma once

#include "framings/framing.h"

namespace ablative {

const Framing& bzip2Framing();

}  // namespace ablative
