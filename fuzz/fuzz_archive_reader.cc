// The archive reader, verifier and listing on arbitrary bytes: acceptance or a refusal, never a crash, an overflow
// or an allocation beyond what the input's bytes can hold (version 5's coded tables: what a frame of them can decode to).
#include "ablative.h"
#include "consume/archive_checks.h"
#include "consume/journal.h"
#include "containers/format_table.h"
#include "fuzz_util.h"
#include "plan/archive_source.h"

void fuzz::one(Input input) {
  std::wstring path;
  ablative::FileHandle file;
  fuzz::openInput("archive.zvka", input, file, &path);
  const ablative::ArchiveSource& source = ablative::sourceFor(file);
  ablative::SourceReading reading;
  ablative::ExtractionPlan plan;
  if (source.read(file, ablative::pointsScratchPathFor(ablative::journalPathFor(path)), {}, reading).ok() &&
      ablative::planArchive(std::move(reading), {}, plan).ok()) {
    for (uint32_t f = 0; f < plan.files.size(); ++f) (void)plan.pathOf(f);
    ablative::verifyArchive(path, {});
  }
  ablative::listArchive(path, [](const ablative::ListedEntry&) {});
}
