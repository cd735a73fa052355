// What an extraction needs on disk, for `zarvik info` and for the check an
// extraction makes before it writes.
#pragma once

#include <cstdint>
#include <string>

#include "ablative.h"
#include "consume/journal.h"
#include "plan/extraction_plan.h"

namespace ablative {

// The group bound a run uses: `groupBytes`, and at most a quarter of the
// space free beside the archive, so that a run on a nearly full disk does not
// fill it.
uint64_t effectiveGroupBytes(const std::wstring& archivePath, uint64_t groupBytes);

// SpaceNeeds of the extraction `plan` maps, from the states `journal` records
// (none for a run that starts afresh). The peak of an ablative run on the
// archive's own file system follows the run group by group, as groupEnd forms
// the groups: the tree grows by a group, then the archive gives back what its
// cut releases. Every figure counts whole allocation units, and errs high,
// never low. False when the destination's file system cannot be read.
bool estimateSpace(const ExtractionPlan& plan, const Journal& journal, const std::wstring& archivePath,
                   const std::wstring& destinationDir, uint64_t groupBytes, SpaceNeeds& needs);

// Whether `needs`, `needed` bytes of them, fit at `destinationDir`: else the
// failure naming what does not, "Not enough free inodes at " + the
// destination + ": the extraction creates N files and folders, N more fit",
// or "Not enough free space at " + the destination + ": the extraction needs
// N bytes, N are free".
Status checkFits(const SpaceNeeds& needs, uint64_t needed, const std::wstring& destinationDir);

// Whether two paths lie on one file system.
bool sameFileSystem(const std::wstring& a, const std::wstring& b);

}  // namespace ablative
