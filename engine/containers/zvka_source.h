// The .zvka archive (zvka_format.h) as a source for the consuming protocol: its
// blocks are the plan's units, one for one, so its journal indexes blocks.
#pragma once

#include "plan/archive_source.h"

namespace ablative {

// Its messages, besides readArchiveTables's:
//   "Invalid archive path offsets" / "Invalid block index in archive"
//   "Invalid archive block table" (checkBlockLayout)
// and, reading a block, a read's own message (block_io.h) when Unreadable, or,
// when Damaged:
//   "Invalid archive block table" (the archive ends before the block does)
//   "Decompression failed (unsupported or invalid block codec)"
//   "Checksum verification failed"
// each followed by " in block " + its index + " of: " + its file's path.
const ArchiveSource& zvkaSource();

}  // namespace ablative
