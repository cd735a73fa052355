// The facts of an archive that `info` and `test` report, from its plan and
// its journal.
#pragma once

#include "ablative.h"
#include "consume/journal.h"
#include "plan/extraction_plan.h"

namespace ablative {

// Its files and blocks, the bytes its blocks store, and the blocks earlier
// runs released, lost and passed over.
void describePlan(const ExtractionPlan& plan, const Journal& journal, ArchiveDescription& description);

}  // namespace ablative
