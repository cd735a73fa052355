// Whether an archive still holds every unit its plan names, judged from the
// archive alone: for when no journal says what an earlier run released. A
// consumed archive loses its tail to cuts, and its released ranges become
// holes, so an archive whose journal was lost (or kept back by a salvage
// that was then cleaned up) is recognised without it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "consume/journal.h"
#include "plan/archive_source.h"
#include "plan/extraction_plan.h"
#include "platform/env.h"

namespace ablative {

struct Presence {
  // The units, in index order, that reach past the archive's end or overlap
  // a hole and no longer read back as themselves (a file system may keep a
  // run of zeros as a hole, so a hole alone proves nothing).
  std::vector<uint32_t> absent;
  // The archive ends inside a unit: cut short by something other than an
  // extraction, which cuts only where a unit starts.
  bool cutShort = false;
};

// Needs a plan whose units may lie beyond the end; looks only at the units
// `concerned` names. Fails only when the archive cannot be read, with that
// message.
Status findAbsentUnits(FileHandle& archive, const ArchiveSource& source, const ExtractionPlan& plan,
                       const std::function<bool(uint32_t unit)>& concerned, Presence& presence);

// For an archive no journal speaks for: planArchive, then the units it lacks
// into `absent`. Fails with the checks' messages, or with "Invalid archive
// block table" when it was cut short.
Status checkArchiveAlone(FileHandle& archive, const ArchiveSource& source, SourceReading reading, ExtractionPlan& plan,
                         std::vector<uint32_t>& absent);

// For an archive whose journal records progress: planArchive, then the units
// the journal records as Pending that the archive no longer holds into
// `contradicted`. Fails with the checks' messages.
Status checkArchiveAgainstJournal(FileHandle& archive, const ArchiveSource& source, SourceReading reading,
                                  const Journal& journal, ExtractionPlan& plan, std::vector<uint32_t>& contradicted);

// Where a volume set's parts join, the units that reach across each join and
// the first that starts after it read back as themselves: a part out of
// order, or from another set, is refused before anything is written ("Volume
// set parts do not join at the start of " + the part's path + ": one is out
// of order, or from another set"). Fails also as readUnit does.
Status checkPartsJoin(FileHandle& archive, const ArchiveSource& source, const ExtractionPlan& plan,
                      const std::vector<std::wstring>& parts);

// "The journal does not match the archive: it records N blocks as not
// extracted that the archive no longer holds, from K files, the first: " +
// the first file's path.
std::wstring journalContradictedText(const ExtractionPlan& plan, const std::vector<uint32_t>& contradicted);

// Whether an archive no journal speaks for was partly consumed: it lacks
// units, or was found cut where a run cuts it, though every unit it still
// names is there (a .tar.gz cut where a member's header starts).
bool journalIsMissing(const ExtractionPlan& plan, const std::vector<uint32_t>& absent);

// "This archive was partly extracted and its journal is missing: N of M
// blocks are gone, from K files, the first: " + the first file's path; with
// none gone, "...: it ends at byte " + its length + ", where an extraction
// cuts it".
std::wstring journalMissingText(const ExtractionPlan& plan, const std::vector<uint32_t>& absent);

}  // namespace ablative
