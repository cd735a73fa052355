// Extraction end to end: round trips in both modes, the resume table, the
// release of archive space, and archives that must be refused untouched.
#include <gtest/gtest.h>

#include <map>

#include "ablative.h"
#include "codec.h"
#include "crc32.h"
#include "extract_fixture.h"
#include "journal.h"
#include "path_safety.h"

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#endif

using namespace testutil;
using namespace ablative;

namespace {


uint64_t dataAreaBytes(const ArchiveTables& tables) {
  uint64_t total = 0;
  for (const BlockRecord& block : tables.blocks) total += block.storedSize;
  return total;
}

Bytes journalStates(const fs::path& journal) {
  Bytes bytes = readFile(journal);
  return bytes.size() < 16 ? Bytes{} : Bytes(bytes.begin() + 16, bytes.end());
}

class ExtractTest : public ::testing::Test {
 protected:
  void make(const Tree& tree, uint32_t blockSize) {
    tree_ = tree;
    makeArchive(scratch_, tree, blockSize, archive_);
    fs::remove_all(scratch_ / "src");
  }

  std::vector<std::string> archiveFolder() { return entriesOf(scratch_.path()); }

  ScratchDir scratch_;
  fs::path archive_ = scratch_ / "x.zvka";
  fs::path journal_ = scratch_ / "x.zvka.zvkj";
  fs::path out_ = scratch_ / "out";
  Tree tree_;
};

// ---- Round trips ----

struct RoundTrip {
  uint32_t blockSize;
  bool keepOriginal;
  bool small;
};

class RoundTripTest : public ExtractTest, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(RoundTripTest, RestoresEveryByte) {
  const RoundTrip& param = GetParam();
  if (!param.keepOriginal && !canAblate()) GTEST_SKIP() << "no range release here";
  make(param.small ? smallTree() : sampleTree(), param.blockSize);
  const Bytes original = readFile(archive_);
  const ArchiveTables tables = tablesOf(archive_);

  RunResult run;
  uint32_t pausePolls = 0;
  run.ok = extractArchive(
      wide(archive_), wide(out_), false, param.keepOriginal, run.error,
      [&](const ProgressInfo& info) { run.progress.push_back(info); },
      [&](const std::wstring& line) { run.log.push_back(line); },
      [&] {
        ++pausePolls;
        return false;
      });
  ASSERT_TRUE(run.ok) << toUtf8(run.error);
  EXPECT_EQ(readTree(out_), tree_);
  EXPECT_EQ(pausePolls, tables.blocks.size());

  const auto blocks = static_cast<uint32_t>(tables.blocks.size());
  ASSERT_EQ(run.progress.size(), blocks);
  EXPECT_EQ(run.progress.back().blocksDone, blocks);
  EXPECT_EQ(run.progress.back().blocksTotal, blocks);
  EXPECT_EQ(run.progress.back().bytesFreed, param.keepOriginal ? 0 : dataAreaBytes(tables));
  EXPECT_EQ(run.log.back(), L"Extraction complete: " + wide(out_));
  if (param.keepOriginal) {
    EXPECT_EQ(run.log[run.log.size() - 2], L"Original archive kept as requested.");
    EXPECT_EQ(readFile(archive_), original);
    EXPECT_EQ(archiveFolder(), (std::vector<std::string>{"out", "x.zvka"}));
  } else {
    EXPECT_EQ(archiveFolder(), std::vector<std::string>{"out"});
  }
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, RoundTripTest,
                         ::testing::Values(RoundTrip{1, false, true}, RoundTrip{1, true, true},
                                           RoundTrip{4, false, true}, RoundTrip{4, true, true},
                                           RoundTrip{1000, false, false}, RoundTrip{1000, true, false},
                                           RoundTrip{65536, false, false}, RoundTrip{65536, true, false}),
                         [](const ::testing::TestParamInfo<RoundTrip>& info) {
                           return "Block" + std::to_string(info.param.blockSize) +
                                  (info.param.keepOriginal ? "Keep" : "Ablative");
                         });

TEST_F(ExtractTest, EmptyArchiveSucceedsInBothModes) {
  writeFile(archive_, storedArchive({}).encode());
  RunResult keep = extract(archive_, out_, false, true);
  ASSERT_TRUE(keep.ok) << toUtf8(keep.error);
  EXPECT_TRUE(fs::is_directory(out_));
  if (!canAblate()) return;
  RunResult ablate = extract(archive_, out_, false, false);
  ASSERT_TRUE(ablate.ok) << toUtf8(ablate.error);
  EXPECT_EQ(archiveFolder(), std::vector<std::string>{"out"});
}

TEST_F(ExtractTest, KeepOriginalLeavesAnEarlierJournalAlone) {
  make(smallTree(), 4);
  const Bytes unrelated = {'Z', 'V', 'K', 'J', 'W', 'I', 'N', 0, 1, 0, 0, 0, 1, 0, 0, 0, 0};
  writeFile(journal_, unrelated);
  ASSERT_TRUE(extract(archive_, out_, false, true).ok);
  EXPECT_EQ(readFile(journal_), unrelated);
}

#ifndef _WIN32
uint64_t allocatedBytes(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? uint64_t(st.st_blocks) * 512 : 0;
}

// The point of the whole exercise: the archive gives its space back while
// the extraction runs, not only at the end.
TEST_F(ExtractTest, AblativeRunReleasesArchiveSpaceAsItGoes) {
  Tree tree;
  tree["one.bin"] = mixedBytes(600000, 1);
  tree["two.bin"] = mixedBytes(600000, 2);
  make(tree, 65536);
  const uint64_t before = allocatedBytes(archive_);
  uint64_t halfway = 0;
  std::wstring error;
  ASSERT_TRUE(extractArchive(
      wide(archive_), wide(out_), false, false, error,
      [&](const ProgressInfo& info) {
        if (info.blocksDone == info.blocksTotal / 2) halfway = allocatedBytes(archive_);
      },
      {}, {}));
  EXPECT_GT(halfway, 0u);
  EXPECT_LT(halfway, before * 2 / 3);
  EXPECT_EQ(readTree(out_), tree);
  EXPECT_FALSE(fs::exists(archive_));
  EXPECT_FALSE(fs::exists(journal_));
}

// Every destination file is created before the first block, yet the number
// of files is not bounded by the limit on open descriptors.
TEST_F(ExtractTest, ManyMoreFilesThanOpenDescriptors) {
  constexpr size_t kFiles = 100000;
  std::vector<std::pair<std::string, Bytes>> contents;
  for (size_t i = 0; i < kFiles; ++i) {
    std::string path = "d";  // spelled out: GCC 12 misreads "d" + std::to_string(...) under -O2
    path += std::to_string(i % 100);
    path += "/f";
    path += std::to_string(i);
    contents.emplace_back(path, i % 1000 == 0 ? bytesOf("x") : Bytes{});
  }
  writeFile(archive_, storedArchive(contents).encode());
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  RunResult run = extract(archive_, out_, false, false);
  setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(run.ok) << toUtf8(run.error);
  EXPECT_EQ(readFile(out_ / "d0" / "f0"), bytesOf("x"));
  EXPECT_TRUE(fs::exists(out_ / "d99" / "f99999"));
  EXPECT_FALSE(fs::exists(archive_));
}
#endif

// ---- The resume table: a stop after each effect of a block, then resume ----

// Knows which path each open handle belongs to.
struct CallLog {
  std::map<const FileHandle*, std::wstring> pathOf;
  std::wstring pathFor(const IoCall& call) {
    if (call.op == IoOp::Open) pathOf[call.file] = *call.path;
    if (call.path != nullptr) return *call.path;
    return call.file != nullptr && pathOf.count(call.file) != 0 ? pathOf[call.file] : L"";
  }
};

TEST_F(ExtractTest, ResumeAfterEachEffectOfABlock) {
  if (!canAblate()) GTEST_SKIP() << "no range release here";
  struct Stop {
    const char* after;
    IoOp op;          // the call that completes the effect...
    bool onJournal;   // ...on the journal, else on the block's destination or the archive
    int occurrence;   // ...the how-manieth such call
    bool beforeIt;    // stop before that call rather than after it
    BlockState state;
    bool resumeReadsArchiveBlock, resumeReadsBack, resumeCutsFirst;
  };
  const Stop stops[] = {
      {"nothing of the block", IoOp::Write, false, 1, true, BlockState::Pending, true, false, false},
      {"the destination write", IoOp::Flush, false, 1, false, BlockState::Pending, true, false, false},
      {"the DestWritten record", IoOp::Flush, true, 1, false, BlockState::DestWritten, false, true, false},
      {"the zeroing", IoOp::ZeroRange, false, 1, false, BlockState::DestWritten, false, true, false},
      {"the Punched record", IoOp::Flush, true, 2, false, BlockState::Punched, false, false, true},
      {"the tail cut", IoOp::SetEnd, false, 1, false, BlockState::Punched, false, false, false},
  };
  for (const Stop& stop : stops) {
    SCOPED_TRACE(stop.after);
    fs::remove_all(out_);
    make(smallTree(), 4);
    const ArchiveTables tables = tablesOf(archive_);
    const uint32_t first = 4;  // the block at the highest offset: b/c.bin's second
    const std::wstring destination = wide(out_ / "b" / "c.bin"), journal = wide(journal_), archive = wide(archive_);
    {
      CallLog calls;
      int seen = 0;
      bool stopped = false;
      ScopedIoHook crash([&](const IoCall& call) -> uint32_t {
        if (stopped) return ioErrorCode();
        const std::wstring path = calls.pathFor(call);
        const bool onArchive = stop.op == IoOp::ZeroRange || stop.op == IoOp::SetEnd;
        const std::wstring& wanted = stop.onJournal ? journal : onArchive ? archive : destination;
        if (call.op == stop.op && path == wanted && ++seen == stop.occurrence) {
          stopped = true;
          return stop.beforeIt ? ioErrorCode() : 0u;
        }
        return 0u;
      });
      EXPECT_FALSE(extract(archive_, out_, false, false).ok);
    }
    ASSERT_EQ(journalStates(journal_).size(), tables.blocks.size());
    EXPECT_EQ(journalStates(journal_)[first], static_cast<uint8_t>(stop.state));

    CallLog calls;
    bool readArchiveBlock = false, readBack = false, cutFirst = false, zeroedAnything = false;
    ScopedIoHook watch([&](const IoCall& call) -> uint32_t {
      const std::wstring path = calls.pathFor(call);
      if (call.op == IoOp::Read && path == archive && call.offset == tables.blocks[first].offset) readArchiveBlock = true;
      if (call.op == IoOp::Read && path == destination && call.offset == 4) readBack = true;
      if (call.op == IoOp::SetEnd && !zeroedAnything) cutFirst = true;  // the catch-up cut before any block
      if (call.op == IoOp::ZeroRange) zeroedAnything = true;
      return 0u;
    });
    RunResult resumed = extract(archive_, out_, true, false);
    ASSERT_TRUE(resumed.ok) << toUtf8(resumed.error);
    EXPECT_EQ(readTree(out_), tree_);
    EXPECT_EQ(archiveFolder(), std::vector<std::string>{"out"});
    EXPECT_EQ(readArchiveBlock, stop.resumeReadsArchiveBlock);
    EXPECT_EQ(readBack, stop.resumeReadsBack);
    EXPECT_EQ(cutFirst, stop.resumeCutsFirst);
  }
}

TEST_F(ExtractTest, ResumedRunCountsFinishedBlocksAndAnnouncesEveryFile) {
  if (!canAblate()) GTEST_SKIP() << "no range release here";
  make(smallTree(), 4);
  {
    int zeroings = 0;
    ScopedIoHook stopAtThirdZeroing([&](const IoCall& call) {
      return call.op == IoOp::ZeroRange && ++zeroings == 3 ? ioErrorCode() : 0u;
    });
    ASSERT_FALSE(extract(archive_, out_, false, false).ok);
  }
  RunResult resumed = extract(archive_, out_, true, false);
  ASSERT_TRUE(resumed.ok) << toUtf8(resumed.error);
  ASSERT_EQ(resumed.progress.size(), 5u);
  EXPECT_EQ(resumed.progress.front().blocksDone, 2u);  // the two Punched blocks, skipped
  EXPECT_EQ(resumed.progress.back().blocksDone, 5u);
  EXPECT_EQ(resumed.log.front(), L"Extracting: b/c.bin");
  EXPECT_EQ(readTree(out_), tree_);
}

// A resumed run opens files as they are; what lies beyond a file's stored
// length cannot belong to it and is cut away.
TEST_F(ExtractTest, ResumeCutsWhatLiesBeyondAStoredFile) {
  make(smallTree(), 4);
  writeFile(out_ / "a.txt", bytesOf("0123456789 and stale bytes"));
  writeFile(out_ / "b" / "empty", bytesOf("stale"));
  ASSERT_TRUE(extract(archive_, out_, true, true).ok);
  EXPECT_EQ(readTree(out_), tree_);
}

// Starting afresh would empty files whose blocks are already gone from the
// archive, so only a resumed run may continue a consumed archive.
// (Where ranges cannot be released, the first zeroing fails by itself.)
TEST_F(ExtractTest, InterruptedRunRefusesAFreshStart) {
  make(smallTree(), 4);
  {
    ScopedIoHook stopAtFirstZeroing([](const IoCall& call) { return call.op == IoOp::ZeroRange ? ioErrorCode() : 0u; });
    ASSERT_FALSE(extract(archive_, out_, false, false).ok);
  }
  const Bytes archiveBefore = readFile(archive_), journalBefore = readFile(journal_);
  const Tree outBefore = readTree(out_);
  for (bool keepOriginal : {false, true}) {
    RunResult fresh = extract(archive_, out_, false, keepOriginal);
    EXPECT_FALSE(fresh.ok);
    EXPECT_EQ(fresh.error, L"An earlier extraction of this archive was interrupted; resume it to continue");
    EXPECT_EQ(readFile(archive_), archiveBefore);
    EXPECT_EQ(readFile(journal_), journalBefore);
    EXPECT_EQ(readTree(out_), outBefore);
  }
  if (!canAblate()) return;
  ASSERT_TRUE(extract(archive_, out_, true, false).ok);
  EXPECT_EQ(readTree(out_), tree_);
}

TEST_F(ExtractTest, JournalProblemsOnResume) {
  make(smallTree(), 4);
  writeFile(journal_, Bytes{'Z', 'V', 'K', 'J', 'W', 'I', 'N', 0, 1, 0, 0, 0, 9, 0, 0, 0});
  RunResult foreign = extract(archive_, out_, true, false);
  EXPECT_FALSE(foreign.ok);
  EXPECT_EQ(foreign.error, L"Failed to initialize journal");
  EXPECT_FALSE(fs::exists(out_));

  if (!canAblate()) return;
  fs::remove(journal_);  // resuming without a journal starts one
  ASSERT_TRUE(extract(archive_, out_, true, false).ok);
  EXPECT_EQ(readTree(out_), tree_);
}

// Stopped between deleting the archive and deleting its journal: resuming
// only removes the journal.
TEST_F(ExtractTest, ResumeFinishesARunThatOnlyLeftItsJournal) {
  if (!canAblate()) GTEST_SKIP() << "no range release here";
  make(smallTree(), 4);
  {
    const std::wstring journal = wide(journal_);
    ScopedIoHook keepJournal([&](const IoCall& call) {
      return call.op == IoOp::Remove && *call.path == journal ? ioErrorCode() : 0u;
    });
    ASSERT_TRUE(extract(archive_, out_, false, false).ok);
  }
  ASSERT_EQ(archiveFolder(), (std::vector<std::string>{"out", "x.zvka.zvkj"}));
  EXPECT_EQ(extract(archive_, out_, false, false).error, L"Unable to open archive file");
  RunResult resumed = extract(archive_, out_, true, false);
  ASSERT_TRUE(resumed.ok) << toUtf8(resumed.error);
  EXPECT_EQ(resumed.log, std::vector<std::wstring>{L"Extraction complete: " + wide(out_)});
  EXPECT_EQ(archiveFolder(), std::vector<std::string>{"out"});
}

// The journal is removed only once the archive's removal is durable.
TEST_F(ExtractTest, ArchiveThatCannotBeDeletedKeepsItsJournal) {
  if (!canAblate()) GTEST_SKIP() << "no range release here";
  make(smallTree(), 4);
  const std::wstring archive = wide(archive_);
  RunResult run;
  {
    ScopedIoHook archiveStays([&](const IoCall& call) {
      return call.op == IoOp::Remove && *call.path == archive ? ioErrorCode() : 0u;
    });
    run = extract(archive_, out_, false, false);
  }
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.log[run.log.size() - 2], L"Warning: extraction succeeded but failed to delete source archive.");
  EXPECT_TRUE(fs::exists(journal_));
  ASSERT_TRUE(extract(archive_, out_, true, false).ok);
  EXPECT_EQ(archiveFolder(), std::vector<std::string>{"out"});
  EXPECT_EQ(readTree(out_), tree_);
}

// ---- Failures before anything is written ----

TEST_F(ExtractTest, RefusesHostileArchivesWithNothingWritten) {
  struct Case {
    const char* name;
    std::function<void(RawArchive&)> spoil;
    std::wstring message;
    bool windowsOnly = false;
    bool intoArchiveFolder = false;  // extract beside the archive itself
  };
  const std::wstring table = L"Invalid archive block table";
  const auto named = [](std::vector<std::string> paths) {
    return [paths](RawArchive& raw) {
      for (size_t i = 0; i < paths.size(); ++i) raw.paths[i] = paths[i];
    };
  };
  const Case cases[] = {
      {"traversal", named({"../evil"}), L"Unsafe path in archive: ../evil"},
      {"deep traversal", named({"a/../../evil"}), L"Unsafe path in archive: a/../../evil"},
      {"absolute", named({"/tmp/zarvik-evil"}), L"Unsafe path in archive: /tmp/zarvik-evil"},
      {"drive", named({"C:/evil"}), L"Unsafe path in archive: C:/evil"},
      {"backslash", named({"..\\evil"}), L"Unsafe path in archive: ..\\evil"},
      {"empty name", named({""}), L"Unsafe path in archive: "},
      {"alternate data stream", named({"one:evil"}), L"Unsafe path in archive: one:evil", true},
      {"device name", named({"two", "CON.txt"}), L"Unsafe path in archive: CON.txt", true},
      {"duplicate", named({"same", "same"}), L"Unsafe path in archive: same"},
      {"duplicate by letter case", named({"Same", "SAME"}), L"Unsafe path in archive: SAME", true},
      {"file against folder", named({"a", "a/b"}), L"Unsafe path in archive: a/b"},
      {"the archive itself", named({"one", "x.zvka"}), L"Unsafe path in archive: x.zvka", false, true},
      {"its journal", named({"x.zvka.zvkj"}), L"Unsafe path in archive: x.zvka.zvkj", false, true},
      {"overlapping blocks", [](RawArchive& raw) { raw.blocks[1].offset = 2; }, table},
      {"block inside the tables", [](RawArchive& raw) { raw.blocks[0].offset = uint64_t(0) - 10; }, table},
      {"block beyond the end", [](RawArchive& raw) { raw.blocks[1].offset = raw.data.size(); }, table},
      {"unclaimed block", [](RawArchive& raw) { raw.files[1].blockCount = 0; }, table},
      {"block claimed twice", [](RawArchive& raw) { raw.files[1].firstBlock = 0; }, table},
      {"block index out of range", [](RawArchive& raw) { raw.files[1].firstBlock = 7; }, L"Invalid block index in archive"},
      {"path beyond the path table",
       [](RawArchive& raw) {
         raw.keepPathFields = true;
         raw.files[1].pathOffset = 4;
         raw.files[1].pathLength = 100;
       },
       L"Invalid archive path offsets"},
      {"absurd path table",
       [](RawArchive& raw) {
         raw.keepCounts = true;
         raw.header.pathTableSize = 0xFFFFFFF0u;
       },
       L"Invalid archive path table"},
      {"absurd file count",
       [](RawArchive& raw) {
         raw.keepCounts = true;
         raw.header.pathTableSize = 6;
         raw.header.fileCount = 0xFFFFFFFFu;
       },
       L"Invalid archive file table"},
      {"absurd block count",
       [](RawArchive& raw) {
         raw.keepCounts = true;
         raw.header.pathTableSize = 6;
         raw.header.fileCount = 2;
         raw.header.blockCount = 0xFFFFFFFFu;
       },
       table},
      {"bad magic", [](RawArchive& raw) { std::copy_n("ZVKAWIN!", 8, raw.header.magic); },
       L"Invalid archive format (bad magic). Ensure you selected a .zvka archive, not a .zvkj journal."},
      {"version 4", [](RawArchive& raw) { raw.header.version = 4; },
       L"Archive version mismatch. Recreate archive using this app version."},
  };
  for (const Case& c : cases) {
    if (c.windowsOnly && !kWindowsPathRules) continue;
    for (bool keepOriginal : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (keepOriginal ? " (keep)" : " (ablative)"));
      fs::remove_all(out_);
      RawArchive raw = storedArchive({{"one", bytesOf("1111")}, {"two", bytesOf("2222")}});
      c.spoil(raw);
      const Bytes bytes = raw.encode();
      writeFile(archive_, bytes);
      const fs::path destination = c.intoArchiveFolder ? scratch_.path() : out_;
      RunResult run = extract(archive_, destination, false, keepOriginal);
      EXPECT_FALSE(run.ok);
      EXPECT_EQ(run.error, c.message);
      EXPECT_EQ(archiveFolder(), std::vector<std::string>{"x.zvka"});
      EXPECT_EQ(readFile(archive_), bytes);
    }
  }
}

// A block's claimed size is checked before its buffer is allocated, and a
// damaged block stops the run before its bytes reach the destination.
TEST_F(ExtractTest, UndecodableBlocksStopTheRun) {
  struct Case {
    const char* name;
    std::function<void(BlockRecord&)> spoil;
    const wchar_t* message;
  };
  const Case cases[] = {
      {"checksum", [](BlockRecord& b) { b.crc ^= 1; }, L"Checksum verification failed"},
      {"unknown codec", [](BlockRecord& b) { b.codec = 7; }, L"Decompression failed (unsupported or invalid block codec)"},
      {"stored size differs", [](BlockRecord& b) { b.rawSize = 3; }, L"Decompression failed (unsupported or invalid block codec)"},
      {"absurd raw size",
       [](BlockRecord& b) {
         b.codec = 0;
         b.rawSize = 0xFFFFFFF0u;
       },
       L"Decompression failed (unsupported or invalid block codec)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(out_);
    RawArchive raw = storedArchive({{"one", bytesOf("1111")}});
    c.spoil(raw.blocks[0]);
    writeFile(archive_, raw.encode());
    RunResult run = extract(archive_, out_, false, true);
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.error, c.message);
    EXPECT_EQ(readFile(out_ / "one"), Bytes{});
  }
}

// Version 2 archives code every block run-length, whatever the codec field says.
TEST_F(ExtractTest, VersionTwoIgnoresTheCodecField) {
  const Bytes content = bytesOf("aaaaaaaaaabc");
  const std::vector<uint8_t> coded = rleEncode(content.data(), content.size());
  RawArchive raw;
  raw.header.version = 2;
  raw.paths = {"v2.txt"};
  raw.files = {FileRecord{0, 0, content.size(), 0, 1}};
  raw.blocks = {BlockRecord{0, static_cast<uint32_t>(coded.size()), static_cast<uint32_t>(content.size()),
                            crc32(content.data(), content.size()), 1}};
  raw.data = Bytes(coded.begin(), coded.end());
  writeFile(archive_, raw.encode());
  ASSERT_TRUE(extract(archive_, out_, false, true).ok);
  EXPECT_EQ(readFile(out_ / "v2.txt"), content);
}

TEST_F(ExtractTest, DestinationFolderThatCannotBeCreated) {
  make(smallTree(), 4);
  writeFile(scratch_ / "file", "in the way");
  const fs::path destination = scratch_ / "file" / "out";
  for (bool keepOriginal : {false, true}) {
    if (!keepOriginal && !canAblate()) continue;
    RunResult run = extract(archive_, destination, false, keepOriginal);
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.error, L"Unable to create destination folder: " + wide(destination));
    EXPECT_EQ(archiveFolder(), (std::vector<std::string>{"file", "x.zvka"}));
  }
}

TEST_F(ExtractTest, SparseMarkingFailureComesBeforeAnyWrite) {
  make(smallTree(), 4);
  ScopedIoHook noSparse([](const IoCall& call) { return call.op == IoOp::MarkSparse ? 50u : 0u; });
  RunResult run = extract(archive_, out_, false, false);
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(run.error, L"FSCTL_SET_SPARSE failed (error 50)");
  EXPECT_EQ(archiveFolder(), std::vector<std::string>{"x.zvka"});
}

#ifdef _WIN32
// Wine accepts FSCTL_SET_SPARSE but not FSCTL_SET_ZERO_DATA: the first
// release fails with the exact text, after the block was made durable.
TEST_F(ExtractTest, ZeroingFailureUnderWine) {
  if (!runningUnderWine()) GTEST_SKIP() << "real Windows releases ranges";
  make(smallTree(), 4);
  RunResult run = extract(archive_, out_, false, false);
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(run.error, L"FSCTL_SET_ZERO_DATA failed (error 50)");
  EXPECT_EQ(journalStates(journal_)[4], static_cast<uint8_t>(BlockState::DestWritten));
  EXPECT_EQ(readFile(out_ / "b" / "c.bin"), (Bytes{0, 0, 0, 0, 'y', 'z'}));
}
#endif

}  // namespace
