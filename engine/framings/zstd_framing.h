// Zstandard streams as a framing: one frame or several concatenated (as
// pzstd and split tools make them), skippable frames among them. A frame's
// header is decoded with its blocks, so a frame is all data; the file's end
// is an empty frame's point, where a cut at a frame's start leaves it.
// Decoding starts again at each frame, and inside a frame at the first block
// boundary after every spacing of decoded bytes: there a point keeps the
// tables in force and the window behind it (zstd_blocks.h), compressed. The
// spacing is sixteen windows, at least the one asked for and at most 64 MiB:
// a point costs about a sixteenth of what its unit decodes to up to windows
// of 4 MiB, and more beyond (a window of 128 MiB, as --long=27 makes, costs
// twice the unit).
// Frames whose window is over 128 MiB are refused, as the library's own tool
// refuses them.
//
// Its messages, each followed by a frame's offset:
//   "Zstandard data is damaged (" + why + "): at byte "
//     (ends early, invalid frame header, invalid block data, needs a
//     dictionary, window over 128 MiB, wrong length)
//   "Checksum verification failed: Zstandard frame at byte "
//   "Zstandard frame cannot be split into pieces small enough to extract: at byte "
// and "Data after the end of the Zstandard stream: at byte " + the first of
// them where other bytes follow the last frame.
#pragma once

#include "framings/framing.h"

namespace ablative {

const Framing& zstdFraming();

}  // namespace ablative
