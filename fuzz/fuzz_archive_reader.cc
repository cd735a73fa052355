// The archive reader, verifier and listing on arbitrary bytes: every input must end in
// acceptance or one of the fixed messages, never a crash, an overflow or an
// allocation beyond the input's own size.
#include <cstdint>

#include "ablative.h"
#include "consume/archive_checks.h"
#include "consume/journal.h"
#include "containers/format_table.h"
#include "fuzz_util.h"
#include "plan/archive_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring path = fuzz::writeInput("archive.zvka", data, size);
  ablative::FileHandle file;
  ablative::openFile(path, ablative::OpenMode::ReadOnly, file);
  const ablative::ArchiveSource& source = ablative::sourceFor(file);
  ablative::SourceReading reading;
  ablative::ExtractionPlan plan;
  std::wstring errorText;
  if (source.read(file, ablative::pointsScratchPathFor(ablative::journalPathFor(path)), reading, errorText) &&
      ablative::planArchive(std::move(reading), {}, plan, errorText)) {
    for (uint32_t f = 0; f < plan.files.size(); ++f) (void)plan.pathOf(f);
    ablative::verifyArchive(path, errorText, {});
  }
  ablative::listArchive(
      path, [](const ablative::ListedEntry&) {}, errorText);
  return 0;
}
