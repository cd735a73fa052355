// The plan of an archive as its journal keeps it (journal.h, version 2), for
// formats whose archive stops describing itself once a run has begun to
// consume it: a zip's directory lies at its end, and goes with the first cut.
// A run that resumes such an archive reads it from its journal, and checks
// that the archive is still the file the journal was written for.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "consume/journal.h"
#include "plan/archive_source.h"
#include "plan/extraction_plan.h"
#include "platform/env.h"
#include "status.h"

namespace ablative {

// What the journal keeps of a plan whose orders are set: its record (the
// source's name and facts, the plan with its marks, then what the source
// keeps of its own: saveUnits) and its tail (the point of each unit that has
// one, the units taken first last), whose bytes createJournal copies from the
// source's points, which read them from the journal from then on.
void recordPlan(const ArchiveSource& source, const SourceFacts& facts, const ExtractionPlan& plan, Journal& journal);

// An archive as a run reads it.
struct ArchiveReading {
  const ArchiveSource* source = nullptr;
  SourceReading reading;  // from a record, its plan callable ignores the filter it is given
  bool recorded = false;  // read from the journal's record
};

// Reads the record recordPlan wrote, and the tail's index, whose points are
// read from the journal's file as units need them; false when the record is
// damaged or names no source this program has.
bool readRecordedPlan(const Journal& journal, ArchiveReading& archive);

// From the archive's journal, as loadJournalAsWritten read it (`load`), where
// that is of version 2 and records progress and the archive's file is there,
// else from the archive open as `file` (closed where it could not be opened)
// with its source's messages.
Status readArchive(const std::wstring& archivePath, FileHandle& file, const Journal& journal, JournalLoad load,
                   const StopCallback& shouldStop, ArchiveReading& archive);

// That the archive open as `archive` is the one the record was written for,
// as far as a run consuming it leaves it: no longer than it was, not cut
// below its lowest unit, every mark below its end and below where `journal`'s
// releases allow a cut as it was. Else fails as ArchiveChanged, with
// kArchiveChanged; or with a read's own message.
Status checkRecordedArchive(FileHandle& archive, const ExtractionPlan& plan, const Journal& journal);

}  // namespace ablative
