// The archive reader and verifier on arbitrary bytes: every input must end in
// acceptance or one of the fixed messages, never a crash, an overflow or an
// allocation beyond the input's own size.
#include <cstdint>

#include "ablative.h"
#include "archive_checks.h"
#include "format.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring path = fuzz::writeInput("archive.zvka", data, size);
  ablative::ArchiveTables tables;
  std::wstring errorText;
  if (ablative::readAndCheckArchive(path, tables, errorText)) {
    for (size_t i = 0; i < tables.files.size(); ++i) (void)ablative::storedPath(tables, i);
    ablative::verifyArchive(path, errorText, {});
  }
  return 0;
}
