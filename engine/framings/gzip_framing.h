// Gzip streams (gzip_format.h) as a framing: its frames are gzip members,
// its points inflate points (inflate_points.h), saved as writePoint lays
// them out. Its messages, besides readGzip's:
//   "Gzip data is damaged (ends early): at byte " + a member's offset
//   "Gzip data is damaged (invalid deflate data): at byte " + a member's offset
//   "Gzip stream cannot be split into pieces small enough to extract: at byte " + a member's offset
// and it names a member "gzip member at byte " + its offset.
#pragma once

#include "framings/framing.h"

namespace ablative {

const Framing& gzipFraming();

}  // namespace ablative
