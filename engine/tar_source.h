// Tar archives (tar_format.h) as a source for the consuming protocol. Each
// member that extraction makes is one plan file, in archive order; where
// several members share a path, the last one alone is kept, as tar leaves it.
// A member's data is raw: it is taken in units of at most kTarPieceBytes,
// whose CRC-32s a first pass over the archive computes, so that a resumed run
// can check what earlier runs wrote. Every member's headers are marks: a
// cut takes them with the data above them, and until then they tell a
// resumed run that the archive is the one its journal was written for. A
// hard link is made once the file it names is whole, the last kept member
// of its target's path.
#pragma once

#include <cstdint>

#include "archive_source.h"

namespace ablative {

// As large as a .zvka archive's default block, so units weigh the same in a
// group.
inline constexpr uint64_t kTarPieceBytes = 4u << 20;

// Its messages, besides readTarMembers's, reading the archive:
//   "Symbolic link target too long: " + name
//   "Tar hard link names no file the archive holds: " + name
// and, reading a unit, a read's own message when Unreadable, or, when
// Damaged, "Tar member runs past the end of the archive: " + name or
// "Checksum verification failed: " + name.
// Devices, FIFOs and sockets are left out of the plan, each named in
// SourceReading::skipped as "Skipped special file: " + name.
const ArchiveSource& tarSource();

}  // namespace ablative
