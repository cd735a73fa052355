// Tar archives (tar_format.h) as a source for the consuming protocol: the
// entries tar_layout.h lays out, each file's data taken in units of at most
// kTarPieceBytes, whose CRC-32s a first pass over the archive computes, so
// that a resumed run can check what earlier runs wrote. Every member's
// headers are marks: a cut takes them with the data above them, and until
// then they tell a resumed run that the archive is the one its journal was
// written for.
#pragma once

#include "plan/archive_source.h"

namespace ablative {

// Its messages, besides readTarMembers's and layOutTar's: reading a unit, a read's own message when Unreadable, or,
// when Damaged, "Tar member runs past the end of the archive: " + name or "Checksum verification failed: " + name.
const ArchiveSource& tarSource();

}  // namespace ablative
