// The journal loader on arbitrary bytes, for the block count the file claims and for its neighbours: it must accept
// only a well-formed journal of that count and never read or allocate past the file.
#include "consume/journal.h"
#include "fuzz_util.h"

void fuzz::one(Input input) {
  const auto [data, size] = input;
  ablative::Journal journal;
  journal.path = writeInput("archive.zvka.zvkj", data, size);
  uint32_t claimed = 0;
  if (size >= 16) std::memcpy(&claimed, data + 12, 4);
  for (uint32_t count : {claimed, claimed + 1, claimed - 1}) {
    if (count > (1u << 20)) continue;  // a real caller sizes states from an archive it has read
    journal.states.setAll(count, ablative::BlockState::Pending);
    require(ablative::loadJournal(journal) != ablative::JournalLoad::Loaded ||
            (size >= 16u + count && std::memcmp(data, "ZVKJWIN", 8) == 0));
  }
  require(ablative::loadJournalAsWritten(journal) != ablative::JournalLoad::Loaded ||
          size >= 16u + journal.states.size());
}
