// Archives compressed with what this program does not decode
// (framings/refused_compressions.h) as a source that refuses them by name
// before anything is written:
//   "Compressed archive (" + name + "), which this program cannot extract"
#pragma once

#include "plan/archive_source.h"

namespace ablative {

const ArchiveSource& compressionRefusalSource();

}  // namespace ablative
