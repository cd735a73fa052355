// What stops a resume: a destination lacking released data, a foreign or contradicting journal, another run.
#include <gtest/gtest.h>

#include <functional>

#include "consume/archive_checks.h"
#include "consume/journal.h"
#include "extract_fixture.h"

using namespace testutil;
using namespace ablative;

namespace {

using Names = std::vector<std::string>;

ExtractOptions resumed(bool salvage = false) {
  ExtractOptions options;
  options.resume = true, options.salvage = salvage;
  return options;
}

// A destination without released data: the resume is refused naming the first file, nothing written; a creation
// over the archive too. The resume into the right folder completes.
TEST(Resume, RefusedWhereTheDestinationLacksWhatWasTaken) {
  Scene s(smallTree());
  interrupt(s);
  const fs::path elsewhere = s.scratch / "elsewhere", c = s.out / "b" / "c.bin";
  const Bytes archive = readFile(s.archive), journal = readFile(s.journal), finished = readFile(c);
  EXPECT_EQ(createArchive(wide(s.archive), wide(s.archive), 4, {}, {}, {}).message,
            L"An extraction of the archive at this path stopped before it finished; resume it first");
  const std::pair<std::function<void()>, fs::path> cases[] = {
      {[] {}, elsewhere / "a.txt"},           // another folder: its first file
      {[&] { fs::remove(c); }, c},            // a finished file removed
      {[&] { fs::resize_file(c, 4); }, c},    // or cut short
      {[&] { writeFile(c, "xyzxyZ"); }, c}};  // or changed
  const std::wstring lacks = L"The destination does not hold the data already extracted from this archive: ";
  for (const auto& [spoil, named] : cases) {
    SCOPED_TRACE(named.string());
    spoil();
    const Tree before = readTree(s.out);
    const RunResult run = s.run(resumed(), named.parent_path() == elsewhere ? elsewhere : s.out);
    EXPECT_EQ(run.error, lacks + wide(named));
    EXPECT_TRUE(run.kind == StatusKind::DestinationLacksData && run.outcome.resumable && !run.outcome.resumeHere);
    EXPECT_TRUE(readFile(s.archive) == archive && readFile(s.journal) == journal && readTree(s.out) == before);
    EXPECT_FALSE(fs::exists(elsewhere));
    writeFile(c, finished);
  }
  const RunResult run = s.run(resumed(), s.out);
  ASSERT_TRUE(run.ok) << toUtf8(run.error);
  EXPECT_EQ(readTree(s.out), s.tree);
  // A journal of Punched blocks (the archive deleted): only the folder the run filled is accepted; a salvage's too.
  writeFile(s.journal, std::string("ZVKJWIN\0\1\0\0\0\5\0\0\0\2\2\2\2\2", 21));
  EXPECT_EQ(s.run(resumed(), elsewhere).error, lacks + wide(elsewhere));
  EXPECT_TRUE(fs::exists(s.journal) && !fs::exists(elsewhere));
  EXPECT_TRUE(s.run(resumed(), s.out).ok && s.folder() == Names{"out"});
  writeFile(s.journal, std::string("ZVKJWIN\0\1\0\0\0\5\0\0\0\2\2\2\3\2", 21));
  const RunResult lost = s.run(resumed(), s.out);
  EXPECT_EQ(lost.error, L"1 blocks were lost; the archive held nothing more and was deleted");
  EXPECT_FALSE(lost.outcome.resumable || lost.outcome.partlyConsumed || fs::exists(s.journal));
}

// A journal contradicting the archive is blamed: a resume stops with nothing written; --salvage finds a block
// recorded as not extracted in the destination, and names one held by neither as lost.
TEST(Resume, AJournalThatContradictsTheArchiveIsBlamed) {
  struct Case {
    uint8_t state;  // recorded for b/c.bin's first block, released and cut away
    bool spoilt;    // its bytes in the destination
    std::wstring refusal, salvaged;
  };
  const Case cases[] = {
      {0, false,
       L"The journal does not match the archive: it records 1 blocks as not extracted that the archive no longer "
       L"holds, from 1 files, the first: b/c.bin",
       L""},
      {1, true, L"Neither the archive nor the destination holds block 3 of: b/c.bin",
       L"1 files could not be fully extracted; the archive held nothing more and was deleted"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.state);
    Scene s(smallTree());
    interrupt(s);
    Bytes journal = readFile(s.journal);
    journal[16 + 3] = c.state;
    writeFile(s.journal, journal);
    Tree want = s.tree;
    if (c.spoilt) want["b/c.bin"][0] ^= 1, writeFile(s.out / "b" / "c.bin", want["b/c.bin"]);
    const Bytes archive = readFile(s.archive);
    RunResult run = s.run(resumed(), s.out);
    EXPECT_EQ(run.error, c.refusal);
    EXPECT_TRUE(run.kind == StatusKind::BlockGone && !run.outcome.resumable);
    EXPECT_TRUE(readFile(s.archive) == archive && readFile(s.journal) == journal);
    run = s.run(resumed(true), s.out);
    EXPECT_EQ(run.error, c.salvaged);
    EXPECT_EQ(run.logged(L"Lost: b/c.bin, 4 bytes from byte 0"), c.spoilt ? 1u : 0u);
    EXPECT_EQ(readTree(s.out), want);
    EXPECT_TRUE(!fs::exists(s.archive) && !fs::exists(s.journal));
  }
}

// While a run holds an archive, another extraction, a test or a creation over it is refused with nothing written;
// only runs that all keep the archive share it.
TEST(Resume, OneRunPerArchive) {
  for (bool firstKeeps : {true, false}) {
    Scene s(smallTree());
    const std::wstring inUse = L"Archive is in use by another extraction";
    const std::wstring creation = L"Archive is in use by an extraction: " + wide(s.archive);
    std::vector<std::wstring> seconds;  // each second run's error, "" when it ran
    const RunResult first = s.run(firstKeeps, firstKeeps, [&](const ProgressInfo& info) {
      EXPECT_EQ(createArchive(wide(s.archive), wide(s.archive), 4, {}, {}, {}).message, creation);
      if (info.blocksDone != 1) return;
      for (bool keep : {false, true}) {
        ExtractOptions options;
        options.keepOriginal = keep;
        RunResult second = s.run(options, s.scratch / "second");
        seconds.push_back(second.error);
        EXPECT_TRUE(second.ok || !second.outcome.resumable);
      }
      seconds.push_back(verifyArchive(wide(s.archive), {}).message);
    });
    ASSERT_TRUE(first.ok) << toUtf8(first.error);
    EXPECT_EQ(seconds, firstKeeps ? (std::vector<std::wstring>{inUse, L"", L""}) : std::vector(3, inUse));
    EXPECT_TRUE(!fs::exists(s.scratch / "second") || firstKeeps);
    EXPECT_EQ(readTree(s.out), s.tree);
  }
}

// A stop asked for while the archive is read, before anything is written (a tar's headers and sums, a compressed
// tar's pass, a zip's large entry's), ends the run there: the archive untouched, no journal, no destination, and the
// run resumes, from the start.
TEST(Resume, AStopDuringThePassOverTheArchiveEndsItThere) {
  const Tree tree = {{"big.bin", mixedBytes(9 << 20, 3)}, {"small.txt", bytesOf("small")}};
  for (Packing packing : {Packing::Tar, Packing::TarGz, Packing::TarZst, Packing::TarXz, Packing::TarBz2,
                          Packing::ZipDeflated, Packing::ZipStored}) {
    SCOPED_TRACE("packing " + std::to_string(int(packing)));
    Scene s(tree, packing);
    ExtractOptions options;
    options.shouldStop = [asks = 0]() mutable { return ++asks == 1; };  // once: a request need not last
    const RunResult stopped = s.run(options, s.out);
    EXPECT_TRUE(stopped.kind == StatusKind::Stopped && stopped.outcome.resumable && !stopped.outcome.partlyConsumed);
    EXPECT_EQ(s.folder(), Names{"x.zvka"});
    EXPECT_TRUE(readFile(s.archive) == s.original);
    const RunResult resume = s.run(resumed(), s.out);
    ASSERT_TRUE(resume.ok) << toUtf8(resume.error);
    EXPECT_EQ(readTree(s.out), s.tree);
  }
}

// A zip's journal holds the plan and decoding points its cut directory held: a run stopped at each group resumes,
// tests and lists from it; a zip changed since is refused untouched, one whose last cut did not last is not.
TEST(Resume, AZipIsResumedFromItsJournal) {
  const Tree tree = {{"big.bin", mixedBytes(9 << 20, 3)}, {"small.txt", bytesOf("small")}};
  int stopAt = 1;
  for (;; ++stopAt) {
    SCOPED_TRACE("stopped at ask " + std::to_string(stopAt));
    Scene s(tree, Packing::ZipDeflated);
    ExtractOptions options = stoppingAt(s, stopAt);
    bool scratchLeft = false;  // once the journal is written its tail holds the points
    options.shouldStop = [&, stop = options.shouldStop] {
      scratchLeft = scratchLeft || (fs::exists(s.journal) && fs::exists(s.journal.string() + ".points"));
      return stop();
    };
    const bool completed = s.run(options, s.out).ok;
    EXPECT_FALSE(scratchLeft);
    if (completed) break;
    Names listed;
    const Status verified = verifyArchive(wide(s.archive), {});
    EXPECT_TRUE(verified.ok()) << toUtf8(verified.message);
    EXPECT_TRUE(
        listArchive(wide(s.archive), [&](const ListedEntry& entry) { listed.push_back(entry.storedPath); }).ok());
    EXPECT_EQ(listed, (Names{"big.bin", "small.txt"}));
    if (stopAt == 3) {
      const Bytes consumed = readFile(s.archive), journal = readFile(s.journal);
      Bytes grown = s.original, otherHeader = consumed;
      grown.push_back(0);
      otherHeader[30] ^= 1;  // the first entry's name
      for (const Bytes& now : {grown, otherHeader, Bytes(consumed.begin(), consumed.begin() + 30)}) {
        writeFile(s.archive, now);
        const RunResult refused = s.run(resumed(), s.out);
        EXPECT_EQ(refused.error, kArchiveChanged);
        EXPECT_TRUE(refused.kind == StatusKind::ArchiveChanged && !refused.outcome.resumable);
        EXPECT_TRUE(readFile(s.archive) == now && readFile(s.journal) == journal);
      }
      // A cut that did not last (zeros past it, as xfs and ext4 leave) is no change, in the archive or the journal's
      // tail; a damaged point only sends decoding back to an earlier one.
      Bytes lostCut = consumed, lostTrim = journal;
      lostCut.resize(s.original.size(), 0);
      lostTrim[journal.size() - 100] ^= 1;
      lostTrim.resize(journal.size() + 40000, 0);
      writeFile(s.archive, lostCut);
      writeFile(s.journal, lostTrim);
    }
    const RunResult resume = s.run(resumed(), s.out);
    ASSERT_TRUE(resume.ok) << toUtf8(resume.error);
    EXPECT_EQ(readTree(s.out), s.tree);
    EXPECT_EQ(s.folder(), Names{"out"});
  }
  EXPECT_GE(stopAt, 4);  // three pieces and a small entry
}

// A journal belongs to its archive: the resume refuses, untouched, a copy in its place, a longer one, one of other
// bytes (where it holds its CRCs) and a journal counting other blocks; the original put back resumes.
TEST(Resume, AJournalBelongsToOneArchive) {
  Tree other = smallTree();
  for (auto& [path, bytes] : other) {
    for (uint8_t& b : bytes) b ^= 0x55;
  }
  for (Packing packing : {Packing::Zvka, Packing::Zvka4, Packing::Zvka5, Packing::ZipStored, Packing::Tar}) {
    SCOPED_TRACE("packing " + std::to_string(int(packing)));
    Scene s(smallTree(), packing), replacement(other, packing);
    ASSERT_FALSE(s.run(stoppingAt(s, 2), s.out).ok);
    const Bytes consumed = readFile(s.archive), journal = readFile(s.journal);
    Bytes grown = s.original, otherCount = journal;
    grown.push_back(0);
    otherCount[12] ^= 1;  // read as written, a whole journal of another archive
    const fs::path copy = s.scratch / "copy", held = s.scratch / "held";
    const bool ownCrcs = packing != Packing::Tar, describesItself = ownCrcs && packing != Packing::ZipStored;
    const std::function<void()> changes[] = {
        [&] { writeFile(copy, consumed), fs::rename(s.archive, held), fs::rename(copy, s.archive); },
        [&] { writeFile(s.archive, grown); }, [&] { writeFile(s.archive, ownCrcs ? replacement.original : grown); },
        [&] { writeFile(describesItself ? s.journal : s.archive, describesItself ? otherCount : grown); }};
    for (const auto& change : changes) {
      change();
      const Bytes now = readFile(s.archive), journalNow = readFile(s.journal);
      const RunResult refused = s.run(resumed(), s.out);
      EXPECT_EQ(refused.error, kArchiveChanged);
      EXPECT_TRUE(refused.kind == StatusKind::ArchiveChanged && !refused.outcome.resumable);
      EXPECT_TRUE(readFile(s.archive) == now && readFile(s.journal) == journalNow);
      if (fs::exists(held)) fs::rename(held, s.archive);
      writeFile(s.archive, consumed);
      writeFile(s.journal, journal);
    }
    const RunResult resume = s.run(resumed(), s.out);
    ASSERT_TRUE(resume.ok) << toUtf8(resume.error);
    EXPECT_EQ(readTree(s.out), s.tree);
  }
}

}  // namespace
