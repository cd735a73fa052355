// Xz files as a framing: one stream or several concatenated, with stream
// padding between and after them. Its frames are xz blocks, each of which
// decodes on its own: a block is its frame's data whole, from its header to
// its check, and its start is its only point, saved as the one byte its
// decoding needs that it does not hold, the stream's check type. Stream
// headers, indexes and footers lie between the frames. The pass checks all
// that liblzma's stream decoder checks: each stream's header and footer and
// that they agree, every block's header, sizes, padding and check, and each
// index against the blocks read. Its messages, besides a read's own:
//   "Not enough memory to decode"
//   "Xz data is damaged (" + why + "): at byte " + where the part at fault starts
//     (ends early, invalid stream header, unsupported check, invalid block
//     header, unsupported filters, invalid compressed data (a check that does
//     not hold too), index does not match the blocks, invalid stream footer)
//   "Xz block needs more than 1 GiB of memory to decode: at byte " + its offset
// and it names a block "xz block at byte " + its offset. Units split no
// block: one that decodes to more than 256 MiB, or takes as much, is refused
// with
//   "Xz stream cannot be split into pieces small enough to extract: at byte " + its offset
// Where bytes that are neither stream padding (zeros, four at a time) nor a
// stream follow the last stream:
//   "Data after the end of the xz stream: at byte " + the first of them.
#pragma once

#include "framings/framing.h"

namespace ablative {

const Framing& xzFraming();

}  // namespace ablative
