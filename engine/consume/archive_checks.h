// What every reader of an archive checks before it trusts its plan, and how a
// run opens the archive. Extraction and `test` both go through here, so `test`
// passes exactly the archives extraction would take.
#pragma once

#include <string>

#include "files/volume_set.h"
#include "plan/archive_source.h"
#include "plan/extraction_plan.h"
#include "platform/env.h"
#include "status.h"

namespace ablative {

inline constexpr wchar_t kArchiveInUse[] = L"Archive is in use by another extraction";

// The source's checks and map (SourceReading::plan, with `mayLieBeyondEnd`),
// then the stored paths (findUnsafePath: "Unsafe path in archive: " + the
// path), then the plan's orders. The reading is let go once the plan holds
// it, before the paths are gathered: for an archive of many files, each
// takes much memory.
Status planArchive(SourceReading reading, const UnitFilter& mayLieBeyondEnd, ExtractionPlan& plan);

// Bytes no entry accounts for (SourceReading::unaccounted) are never
// released unread: a consuming run refuses the archive with this, and every
// other command warns with the line after it.
std::wstring unaccountedRefusal(
    const std::wstring& unaccounted);  // + ": extract with --keep, which leaves the archive as it is"
std::wstring unaccountedWarning(const std::wstring& unaccounted);  // "Warning: " + it + " (not extracted)"

// The one open of a run's archive (each part of a volume set), before anything
// reads it, keeping every other run off it (lockFile): `consume` for a run
// that releases its units (read and write access, an exclusive lock), else
// read access and a shared lock. It fails only as InUse, with kArchiveInUse,
// while another run holds it. Where it fails otherwise, the archive is opened
// to be read alone (or left closed where it cannot be), so that what it says
// of itself is reported first, and `refusal` holds the failure for the run to
// report after: `cannotOpen` + ": " + its first part's path + " (" + the
// system's reason + ")".
Status holdArchiveForRun(const VolumeSet& set, bool consume, FileHandle& archive, const wchar_t* cannotOpen,
                         std::wstring& refusal);

}  // namespace ablative
