// What a zip's journal keeps of its plan, read back as a resumed run reads it: each input is a zip, whose plan is
// recorded and then read from the record as written, with a byte changed and cut short where the input's own bytes
// say. The record as written must give back the plan; a damaged one must be refused or read within its bounds,
// never crash or allocate past it.
#include "consume/archive_checks.h"
#include "consume/journal.h"
#include "consume/plan_record.h"
#include "containers/format_table.h"
#include "fuzz_util.h"

namespace {

void readBack(const ablative::Journal& journal, const ablative::ExtractionPlan& written, bool intact) {
  ablative::ArchiveReading read;
  const bool ok = ablative::readRecordedPlan(journal, read);
  fuzz::require(ok || !intact);
  if (!ok) return;
  ablative::ExtractionPlan plan;
  const bool planned = ablative::planArchive(
                           std::move(read.reading), [](uint32_t) { return true; }, plan)
                           .ok();
  fuzz::require(!intact || (planned && plan.units.size() == written.units.size() &&
                            plan.pieces.size() == written.pieces.size() && plan.paths == written.paths));
}

}  // namespace

void fuzz::one(Input input) {
  std::wstring path;
  ablative::FileHandle file;
  openInput("archive.zip", input, file, &path);
  const ablative::ArchiveSource& source = ablative::sourceFor(file);
  ablative::SourceReading reading;
  ablative::ExtractionPlan plan;
  if (!source.saveUnits ||
      !source.read(file, ablative::pointsScratchPathFor(ablative::journalPathFor(path)), {}, reading).ok())
    return;
  const ablative::SourceFacts facts = reading.facts;
  if (!ablative::planArchive(
           std::move(reading), [](uint32_t) { return false; }, plan)
           .ok())
    return;
  ablative::Journal journal;
  ablative::recordPlan(source, facts, plan, journal);
  readBack(journal, plan, true);
  const auto [data, size] = input;
  const size_t at = size == 0 ? 0 : data[size - 1] * 257u + data[size / 2];
  const std::vector<uint8_t> written = journal.record;
  journal.record[at % written.size()] ^= static_cast<uint8_t>(1u << (at % 8));
  readBack(journal, plan, false);
  journal.record.assign(written.begin(), written.begin() + static_cast<ptrdiff_t>(at % written.size()));
  readBack(journal, plan, false);
}
