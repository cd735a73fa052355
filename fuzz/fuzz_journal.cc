// The journal loader on arbitrary bytes, for the block count the file claims
// and for its neighbours: it must accept only a well-formed journal of that
// count and never read or allocate past the file.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "consume/journal.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ablative::Journal journal;
  journal.path = fuzz::writeInput("archive.zvka.zvkj", data, size);
  uint32_t claimed = 0;
  if (size >= 16) std::memcpy(&claimed, data + 12, 4);
  for (uint32_t count : {claimed, claimed + 1, claimed - 1}) {
    if (count > (1u << 20)) continue;  // a real caller sizes states from an archive it has read
    journal.states.setAll(count, ablative::BlockState::Pending);
    ablative::JournalLoad load = ablative::loadJournal(journal);
    if (load == ablative::JournalLoad::Loaded && (size < 16u + count || std::memcmp(data, "ZVKJWIN", 8) != 0)) {
      std::abort();
    }
  }
  if (ablative::loadJournalAsWritten(journal) == ablative::JournalLoad::Loaded && size < 16u + journal.states.size()) {
    std::abort();
  }
  return 0;
}
