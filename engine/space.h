// What an extraction needs on disk, for `zarvik info` and for the check an
// extraction makes before it writes.
#pragma once

#include <cstdint>
#include <string>

#include "ablative.h"
#include "format.h"
#include "journal.h"

namespace ablative {

// The group bound a run uses: `groupBytes`, and at most a quarter of the
// space free beside the archive, so that a run on a nearly full disk does not
// fill it.
uint64_t effectiveGroupBytes(const std::wstring& archivePath, uint64_t groupBytes);

// SpaceNeeds of `tables` as `journal` records them (no state recorded: nothing
// extracted yet). False when the space free at the destination is unknown.
bool estimateSpace(const ArchiveTables& tables, const Journal& journal, const std::wstring& archivePath,
                   const std::wstring& destinationDir, uint64_t groupBytes, SpaceNeeds& needs);

}  // namespace ablative
