// What may stop a run from finishing what another began: a destination that lacks the data already taken from the
// archive, another run on the same archive, a creation over it; and salvage, which extracts what is intact and names
// what is not.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>

#include "consume/archive_checks.h"
#include "consume/journal.h"
#include "consume/plan_record.h"
#include "containers/format_table.h"
#include "extract_fixture.h"

using namespace testutil;
using namespace ablative;

namespace {

ExtractOptions resumed(bool salvage = false) {
  ExtractOptions options;
  options.resume = true;
  options.salvage = salvage;
  return options;
}

// smallTree's blocks are a.txt's 0-2 and b/c.bin's 3-4, taken from the end. This stops a run that releases one
// block at a time at its third release, so that b/c.bin's blocks are released and cut away and a.txt's last block
// is written.
void interrupt(Scene& s) {
  int releases = 0;
  ScopedIoHook stop([&](const IoCall& call) {  // a stand-in for zeroing is asked a second time: not another release
    return call.op == IoOp::ZeroRange && call.stoodIn == nullptr && ++releases == 3 ? ioErrorCode() : 0u;
  });
  s.groupBytes = 1;
  ASSERT_FALSE(s.run(false, false).ok);
  s.groupBytes = kDefaultGroupBytes;
}

// Each of these leaves the destination without data an earlier run released: the resume is refused, naming the first
// file concerned, with nothing written anywhere. Then the resume into the right folder completes.
TEST(Resume, RefusedWhereTheDestinationLacksWhatWasTaken) {
  Scene s(smallTree());
  interrupt(s);
  const fs::path elsewhere = s.scratch / "elsewhere", c = s.out / "b" / "c.bin";
  // clang-format off
  const std::pair<std::function<void()>, fs::path> cases[] = {
      {[] {}, elsewhere / "a.txt"},                                                  // another folder: its first file
      {[&] { fs::remove(c); }, c},                                                   // a finished file removed
      {[&] { fs::resize_file(c, 4); }, c},                                           // or cut short
      {[&] { writeFile(c, "xyzxyZ"); }, c}};                                         // or changed
  // clang-format on
  const Bytes archive = readFile(s.archive), journal = readFile(s.journal), finished = readFile(c);
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
  // A run stopped once the archive was deleted leaves a journal of Punched blocks: only the folder it filled is
  // told apart, by being there at all.
  writeFile(s.journal, std::string("ZVKJWIN\0\1\0\0\0\5\0\0\0\2\2\2\2\2", 21));
  EXPECT_EQ(s.run(resumed(), elsewhere).error, lacks + wide(elsewhere));
  EXPECT_TRUE(fs::exists(s.journal) && !fs::exists(elsewhere));
  EXPECT_TRUE(s.run(resumed(), s.out).ok && s.folder() == std::vector<std::string>{"out"});
  // Nor is a salvage's, which still says what it lost.
  writeFile(s.journal, std::string("ZVKJWIN\0\1\0\0\0\5\0\0\0\2\2\2\3\2", 21));
  const RunResult lost = s.run(resumed(), s.out);
  EXPECT_EQ(lost.error, L"1 blocks were lost; the archive held nothing more and was deleted");
  EXPECT_FALSE(lost.outcome.resumable || lost.outcome.partlyConsumed || fs::exists(s.journal));
}

// A damaged block in the middle of a file, and a finished file removed before a resume: with salvage every other
// block is extracted and released, the file concerned is named once and keeps its length with zeros for what is
// missing. The archive stays with the damaged block, and nothing counts it as extracted, so no later run can report
// success; the removed file's blocks are lost, named by range, and with nothing left the archive and journal go.
TEST(Resume, SalvageExtractsEverythingElse) {
  for (int kind = 0; kind < 3; ++kind) {
    const bool keep = kind == 0, removed = kind == 2;
    SCOPED_TRACE(kind);
    Scene s(smallTree());
    Tree want = s.tree;
    if (removed) {
      interrupt(s);
      fs::remove(s.out / "b" / "c.bin");
      want["b/c.bin"] = Bytes(6, 0);
    } else {
      Bytes spoilt = s.original;
      spoilt[s.tables.blocks[1].offset] ^= 1;  // a.txt's "4567"
      writeFile(s.archive, spoilt);
      want["a.txt"] =
          bytesOf(std::string("0123\0\0\0\0"
                              "89",
                              10));
    }
    ExtractOptions options = resumed(true);
    options.keepOriginal = keep;
    const RunResult run = s.run(options, s.out);
    EXPECT_EQ(run.error, std::wstring(L"1 files could not be fully extracted") +
                             (removed ? L"; the archive held nothing more and was deleted" : L""));
    EXPECT_EQ(std::count(run.log.begin(), run.log.end(), removed ? L"Damaged: b/c.bin" : L"Damaged: a.txt"), 1);
    EXPECT_FALSE(run.outcome.resumable);
    EXPECT_EQ(run.outcome.partlyConsumed, kind == 1);
    EXPECT_EQ(readTree(s.out), want);
    if (removed) {
      EXPECT_EQ(std::count(run.log.begin(), run.log.end(), L"Lost: b/c.bin, 4 bytes from byte 0"), 1);
      EXPECT_TRUE(!fs::exists(s.archive) && !fs::exists(s.journal));
    }
    if (keep || removed) continue;
    const Bytes journal = readFile(s.journal);
    EXPECT_EQ(Bytes(journal.begin() + 16, journal.begin() + 21), (Bytes{2, 0, 2, 2, 2}));
    EXPECT_EQ(fs::file_size(s.archive), s.tables.blocks[2].offset);  // cut below what is gone
    EXPECT_FALSE(s.run(resumed(), s.out).ok);
  }
}

// A journal whose states contradict the archive is blamed, not the archive: a resume stops with nothing written,
// where --salvage settles what the journal got wrong from the destination. A released block recorded as not
// extracted is found there, and the run completes; one recorded as written that neither the archive nor the
// destination holds is lost, named by range, and the archive, with nothing left, goes. In every format.
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
    if (c.spoilt) {
      want["b/c.bin"][0] ^= 1;
      writeFile(s.out / "b" / "c.bin", want["b/c.bin"]);
    }
    const Bytes archive = readFile(s.archive);
    RunResult run = s.run(resumed(), s.out);
    EXPECT_EQ(run.error, c.refusal);
    EXPECT_TRUE(run.kind == StatusKind::BlockGone && !run.outcome.resumable);
    EXPECT_TRUE(readFile(s.archive) == archive && readFile(s.journal) == journal);
    run = s.run(resumed(true), s.out);
    EXPECT_EQ(run.error, c.salvaged);
    EXPECT_EQ(std::count(run.log.begin(), run.log.end(), L"Lost: b/c.bin, 4 bytes from byte 0"), c.spoilt ? 1 : 0);
    EXPECT_EQ(readTree(s.out), want);
    EXPECT_TRUE(!fs::exists(s.archive) && !fs::exists(s.journal));
  }
  // In every format: a block released by a run stopped after its second group, recorded as not extracted. A
  // .tar.gz's units start every 4 MiB of the stream, and where the journal keeps the point the next one's decoding
  // starts at, a byte of it is changed too: the salvage decodes that unit from an earlier point, never writing
  // zeros for what the archive holds.
  const Tree tree = {{"a", mixedBytes(3000, 1)}, {"b", mixedBytes(2000, 2)}, {"c", mixedBytes(1000, 3)}};
  for (const Packing packing :
       {Packing::Zvka4, Packing::ZipStored, Packing::ZipDeflated, Packing::Tar, Packing::TarGz}) {
    SCOPED_TRACE(static_cast<int>(packing));
    Scene s(packing == Packing::TarGz ? Tree{{"a", mixedBytes(13 << 20, 1)}} : tree, packing);
    ExtractOptions options;
    options.groupBytes = 1;
    options.shouldStop = [asks = 0]() mutable { return ++asks == 3; };
    ASSERT_FALSE(s.run(options, s.out).ok);
    Journal stopped{wide(s.journal)};
    ASSERT_EQ(loadJournalAsWritten(stopped), JournalLoad::Loaded);
    const std::vector<uint8_t>& written = stopped.states.bytes();
    const auto released = std::find(written.begin(), written.end(), 2);
    ASSERT_NE(released, written.end());
    Bytes journal = readFile(s.journal);
    const uint64_t states = tailStart(stopped) - stopped.states.size() - (stopped.fingerprint ? kFingerprintBytes : 0);
    journal[states + (released - written.begin())] = 0;
    if (!stopped.tail.empty()) journal[tailStart(stopped) + stopped.tail.back().offset + 100] ^= 1;
    EXPECT_EQ(stopped.tail.empty(), packing != Packing::TarGz);
    writeFile(s.journal, journal);
    const RunResult refused = s.run(resumed(), s.out);
    EXPECT_TRUE(
        refused.error.starts_with(L"The journal does not match the archive: it records 1 blocks as not "
                                  L"extracted that the archive no longer holds, from 1 files, the first: "))
        << toUtf8(refused.error);
    EXPECT_EQ(refused.kind, StatusKind::BlockGone);
    EXPECT_EQ(readFile(s.journal), journal);
    const RunResult salvaged = s.run(resumed(true), s.out);
    ASSERT_TRUE(salvaged.ok) << toUtf8(salvaged.error);
    EXPECT_EQ(readTree(s.out), s.tree);
    EXPECT_EQ(s.folder(), std::vector<std::string>{"out"});
  }
}

// While a run holds an archive, another extraction of it, a test of it or a creation over it is refused at once with
// nothing written; only runs that all keep the archive may share it. A run's hold ends with the run.
TEST(Resume, OneRunPerArchive) {
  for (bool firstKeeps : {true, false}) {
    Scene s(smallTree());
    std::vector<std::wstring> seconds;  // each second run's error, "" when it ran
    const RunResult first = s.run(firstKeeps, firstKeeps, [&](const ProgressInfo& info) {
      if (info.blocksDone != 1) return;
      for (bool keep : {false, true}) {
        ExtractOptions options;
        options.keepOriginal = keep;
        RunResult second = s.run(options, s.scratch / "second");
        seconds.push_back(second.error);
        EXPECT_TRUE(second.ok || !second.outcome.resumable);
      }
      seconds.push_back(verifyArchive(wide(s.archive), {}).message);
      seconds.push_back(createArchive(wide(s.archive), wide(s.archive), 4, {}, {}, {}).message);
    });
    ASSERT_TRUE(first.ok) << toUtf8(first.error);
    const std::wstring inUse = L"Archive is in use by another extraction";
    const std::wstring creation = L"Archive is in use by an extraction: " + wide(s.archive);
    EXPECT_EQ(seconds, firstKeeps ? (std::vector<std::wstring>{inUse, L"", L"", creation})
                                  : (std::vector<std::wstring>{inUse, inUse, inUse, creation}));
    EXPECT_TRUE(!fs::exists(s.scratch / "second") || firstKeeps);
    EXPECT_EQ(readTree(s.out), s.tree);
  }
}

// A zip loses its directory with the first cut, so its journal holds the plan, with the points where a large
// deflated entry's pieces start decoding (read from it, the first pass's scratch file gone): a run stopped at each
// group resumes from it. Before that, a partly
// consumed zip is tested and listed from its journal too, and one that changed since (longer than it was, a header that
// differs, cut below its first entry) is refused with nothing changed, while one whose last cut did not last is not.
TEST(Resume, AZipIsResumedFromItsJournal) {
  const Tree tree = {{"big.bin", mixedBytes(9 << 20, 3)}, {"small.txt", bytesOf("small")}};
  int stopAt = 1;
  for (;; ++stopAt) {
    SCOPED_TRACE("stopped at ask " + std::to_string(stopAt));
    Scene s(tree, Packing::ZipDeflated);
    ExtractOptions options;
    options.groupBytes = 1;
    bool scratchLeft = false;  // once the journal is written its tail holds the points
    options.shouldStop = [&, asks = 0]() mutable {
      scratchLeft = scratchLeft || fs::exists(s.journal.string() + ".points");
      return ++asks == stopAt;
    };
    const bool completed = s.run(options, s.out).ok;
    EXPECT_FALSE(scratchLeft);
    if (completed) break;
    std::vector<std::string> listed;
    const Status verified = verifyArchive(wide(s.archive), {});
    EXPECT_TRUE(verified.ok()) << toUtf8(verified.message);
    EXPECT_TRUE(
        listArchive(wide(s.archive), [&](const ListedEntry& entry) { listed.push_back(entry.storedPath); }).ok());
    EXPECT_EQ(listed, (std::vector<std::string>{"big.bin", "small.txt"}));
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
        EXPECT_EQ(readFile(s.archive), now);
        EXPECT_EQ(readFile(s.journal), journal);
      }
      // A cut whose new length did not last, the bytes past it zeroed as xfs and ext4 may leave them, is no change.
      // So is a cut of the journal's tail, past which its last block was zeroed alike. A byte changed in the point
      // where the next piece's decoding starts only sends the decoding back to an earlier one.
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
    EXPECT_EQ(s.folder(), std::vector<std::string>{"out"});
  }
  EXPECT_GE(stopAt, 4);  // three pieces and a small entry
}

// A journal that records progress belongs to the archive it was written for. A run of each format stopped after its
// first group, the resume refuses, with nothing changed and not as resumable, the same bytes under another file number
// (a copy put in its place, where the file system keeps numbers) and one longer than the original; where the archive's
// own tables hold its CRCs, an archive of the same layout and other bytes written over it; and where the archive
// describes itself, one whose journal counts other blocks. The original put back resumes to the end.
TEST(Resume, AJournalBelongsToOneArchive) {
  Tree other = smallTree();
  for (auto& [path, bytes] : other) {
    std::transform(bytes.begin(), bytes.end(), bytes.begin(), [](uint8_t b) { return b ^ 0x55; });
  }
  for (Packing packing : {Packing::Zvka, Packing::Zvka4, Packing::ZipStored, Packing::Tar}) {
    SCOPED_TRACE("packing " + std::to_string(int(packing)));
    Scene s(smallTree(), packing), replacement(other, packing);
    ExtractOptions stopping;
    stopping.groupBytes = 1;
    stopping.shouldStop = [asks = 0]() mutable { return ++asks == 2; };
    ASSERT_FALSE(s.run(stopping, s.out).ok);
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

// Units whose raw bytes hold pieces of several files, as a journal's record may keep them: a zip of three stored
// 12-byte entries whose recorded plan is recut so that its files are bytes 0-5, 5-20 and 20-36 of the three together.
// An earlier run left the last unit written; the run that goes on is stopped after the next, and the resume reads both
// back from their files and completes. Or the first unit is spoiled in the archive: the resume names its first file,
// and salvage every file it fills.
TEST(Resume, UnitsSharedByFilesAreTakenPieceByPiece) {
  const Bytes all = mixedBytes(36, 5);
  const auto part = [&](ptrdiff_t first, ptrdiff_t end) { return Bytes(all.begin() + first, all.begin() + end); };
  const Tree shared = {{"a", part(0, 5)}, {"b", part(5, 20)}, {"c", part(20, 36)}};
  for (const bool spoiled : {false, true}) {
    SCOPED_TRACE(spoiled ? "spoiled" : "intact");
    Scene s({{"a", part(0, 12)}, {"b", part(12, 24)}, {"c", part(24, 36)}}, Packing::ZipStored);
    FileHandle file;
    ASSERT_TRUE(openFile(wide(s.archive), OpenMode::ReadOnly, file));
    const ArchiveSource& source = sourceFor(file);
    SourceReading reading;
    ExtractionPlan plan;
    ASSERT_TRUE(source.read(file, pointsScratchPathFor(journalPathFor(wide(s.archive))), reading).ok());
    const SourceFacts facts = reading.facts;
    ASSERT_TRUE(planArchive(
                    std::move(reading), [](uint32_t) { return false; }, plan)
                    .ok());
    ASSERT_EQ(plan.units.size(), 3u);
    plan.pieces = {{0, 0, 5, 0}, {1, 5, 7, 0}, {1, 0, 8, 7}, {2, 8, 4, 0}, {2, 0, 12, 4}};
    for (uint32_t f = 0; f < 3; ++f) {
      plan.files[f].length = shared.at(plan.pathOf(f)).size();
      plan.units[f].firstPiece = 2 * f;
      plan.units[f].pieceCount = f < 2 ? 2 : 1;
    }
    Journal journal(wide(s.journal), std::vector<uint8_t>(3, 0));
    recordPlan(source, facts, plan, journal);
    ASSERT_TRUE(createJournal(journal) && recordStates(journal, std::vector<uint32_t>{2}, BlockState::DestWritten));
    journal.file.close();
    file.close();  // Windows deletes no file another handle holds open
    Bytes c = shared.at("c");
    std::fill_n(c.begin(), 4, 0);  // the earlier run wrote the unit's piece alone
    writeFile(s.out / "c", c);

    ExtractOptions stopping = resumed();
    stopping.groupBytes = 1;
    stopping.shouldStop = [asks = 0]() mutable { return ++asks == 3; };
    EXPECT_EQ(s.run(stopping, s.out).error, L"Stopped on request");
    if (!spoiled) {
      const RunResult resume = s.run(resumed(), s.out);
      ASSERT_TRUE(resume.ok) << toUtf8(resume.error);
      EXPECT_EQ(readTree(s.out), shared);
      EXPECT_EQ(s.folder(), std::vector<std::string>{"out"});
      continue;
    }
    Bytes archive = readFile(s.archive);
    archive[s.units[0].offset] ^= 1;
    writeFile(s.archive, archive);
    const RunResult resume = s.run(resumed(), s.out);
    EXPECT_EQ(resume.error, L"Checksum verification failed: a");
    EXPECT_EQ(resume.kind, StatusKind::DamagedBlock);
    const RunResult salvage = s.run(resumed(true), s.out);
    EXPECT_EQ(salvage.error, L"2 files could not be fully extracted");
    for (const wchar_t* line : {L"Damaged: a", L"Damaged: b"}) {
      EXPECT_NE(std::find(salvage.log.begin(), salvage.log.end(), line), salvage.log.end()) << toUtf8(line);
    }
    EXPECT_EQ(readFile(s.out / "c"), shared.at("c"));
  }
}

// Creating an archive over one that is being extracted, or whose extraction has not finished, would lose every block
// it still holds: refused at every step of a run that releases a block at a time (before anything is recorded too),
// then after that run stopped, with nothing changed.
TEST(Resume, CreationLeavesAnUnfinishedExtractionAlone) {
  Scene s(smallTree());
  writeFile(s.scratch / "src" / "new.txt", "new");
  auto createOver = [&] {
    const Status created = createArchive(wide(s.scratch / "src"), wide(s.archive), 4, {}, {}, {});
    EXPECT_FALSE(created.ok());
    return created.message;
  };
  std::vector<std::wstring> whileRunning;
  {
    ScopedIoHook stop([&, releases = 0](const IoCall& call) mutable {
      return call.op == IoOp::ZeroRange && call.stoodIn == nullptr && ++releases == 3 ? ioErrorCode() : 0u;
    });
    s.groupBytes = 1;
    ASSERT_FALSE(s.run(false, false, [&](const ProgressInfo&) { whileRunning.push_back(createOver()); }).ok);
  }
  EXPECT_EQ(whileRunning, std::vector<std::wstring>(5, L"Archive is in use by an extraction: " + wide(s.archive)));
  const Bytes archive = readFile(s.archive), journal = readFile(s.journal);
  EXPECT_EQ(createOver(), L"An extraction of the archive at this path stopped before it finished; resume it first");
  EXPECT_TRUE(readFile(s.archive) == archive && readFile(s.journal) == journal);
}

}  // namespace

// Where the file system keeps one name a file (FAT), a tar's hard link is a copy of the file it names.
TEST(Resume, AHardLinkTheFileSystemRefusesIsACopy) {
#ifdef _WIN32
  constexpr uint32_t kRefused = 1;  // ERROR_INVALID_FUNCTION, as FAT answers
#else
  constexpr uint32_t kRefused = EPERM;
#endif
  Scene s(smallTree(), Packing::Tar);
  ScopedIoHook refuse([](const IoCall& call) { return call.op == IoOp::MakeLink ? kRefused : 0u; });
  const RunResult run = s.run(false, false);
  ASSERT_TRUE(run.ok) << toUtf8(run.error);
  EXPECT_EQ(readTree(s.out), s.tree);
  EXPECT_EQ(fs::hard_link_count(s.out / "hard.link"), 1u);
  EXPECT_EQ(fs::last_write_time(s.out / "hard.link"), fs::last_write_time(s.out / "a.txt"));  // the member's, not now
}

// A tar's hard link to a file salvage leaves damaged is made all the same, and named with it: it holds the same bytes.
TEST(Resume, SalvageKeepsAHardLinkToADamagedFile) {
  Scene s(smallTree(), Packing::Tar);
  ExtractOptions stopping;
  stopping.groupBytes = 1;
  stopping.shouldStop = [asks = 0]() mutable { return ++asks == 2; };  // b/c.bin extracted, a.txt not yet
  ASSERT_EQ(s.run(stopping, s.out).error, L"Stopped on request");
  Bytes archive = readFile(s.archive);
  archive[512] ^= 1;  // a.txt's data, after its header
  writeFile(s.archive, archive);
  const RunResult salvage = s.run(resumed(true), s.out);
  EXPECT_EQ(salvage.error, L"2 files could not be fully extracted");
  for (const wchar_t* line : {L"Damaged: a.txt", L"Damaged: hard.link"}) {
    EXPECT_NE(std::find(salvage.log.begin(), salvage.log.end(), line), salvage.log.end()) << toUtf8(line);
  }
  EXPECT_EQ(readFile(s.out / "hard.link"), readFile(s.out / "a.txt"));
#ifndef _WIN32  // the Windows C runtime's stat counts one name for every file
  EXPECT_EQ(fs::hard_link_count(s.out / "hard.link"), 2u);
#endif
}
