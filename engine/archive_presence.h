// Whether an archive still holds every block its tables name, judged from the
// archive alone: for when no journal says what an earlier run released. A
// consumed archive loses its tail to cuts, and its released ranges become
// holes, so an archive whose journal was lost (or kept back by a salvage
// that was then cleaned up) is recognised without it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "env.h"
#include "format.h"

namespace ablative {

struct Presence {
  // The blocks, in index order, that reach past the archive's end or overlap
  // a hole and no longer read back as themselves (a file system may keep a
  // run of zeros as a hole, so a hole alone proves nothing).
  std::vector<uint32_t> absent;
  // The archive ends inside a block: cut short by something other than an
  // extraction, which cuts only where a block starts.
  bool cutShort = false;
};

// Needs tables whose layout is checked, blocks beyond the end allowed. Fails
// only when the archive cannot be read, with that message.
bool findAbsentBlocks(FileHandle& archive, const ArchiveTables& tables, Presence& presence, std::wstring& errorText);

// For an archive no journal speaks for: checkArchiveContents, then the
// blocks it lacks into `absent`. Fails with the checks' messages, or with
// "Invalid archive block table" when it was cut short.
bool checkArchiveAlone(FileHandle& archive, const ArchiveTables& tables, std::vector<uint32_t>& absent,
                       std::wstring& errorText);

// "This archive was partly extracted and its journal is missing: N of M
// blocks are gone, from K files, the first: " + the first file's path.
std::wstring journalMissingText(const ArchiveTables& tables, const std::vector<uint32_t>& absent);

}  // namespace ablative
