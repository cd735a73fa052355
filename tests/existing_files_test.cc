// What stands in the destination is the user's: replaced only once its data is there, never written through.
#include <gtest/gtest.h>

#include "extract_fixture.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace testutil;
using namespace ablative;

namespace {

const char kOld[] = "an earlier version, longer than the stored file";

// One file under two archive paths and one outside name: each path gets its bytes, the outside name keeps the old
// ones, fresh and resumed. A file the stopped run made that gained another name since is refused on resume.
TEST(ExistingFiles, AreReplacedNeverWrittenThrough) {
  for (int kind = 0; kind < 3; ++kind) {
    const bool keep = kind == 1, resume = kind == 2;
    SCOPED_TRACE(kind);
    Scene s(smallTree());
    writeFile(s.out / "a.txt", kOld);
    fs::create_directories(s.out / "b");
    fs::create_hard_link(s.out / "a.txt", s.out / "b" / "c.bin");
    fs::create_hard_link(s.out / "a.txt", s.scratch / "outside");
    if (resume) interrupt(s, 1);
    const RunResult run = s.run(resume, keep);
    ASSERT_TRUE(run.ok) << toUtf8(run.error);
    EXPECT_EQ(readTree(s.out), s.tree);
    EXPECT_EQ(readFile(s.scratch / "outside"), bytesOf(kOld));
  }
  Scene s(smallTree());
  interrupt(s, 1);
  fs::create_hard_link(s.out / "b" / "c.bin", s.scratch / "other name");
  const Bytes archive = readFile(s.archive), journal = readFile(s.journal);
  const Tree out = readTree(s.out);
  EXPECT_EQ(s.run(true, false).error,
            L"Destination file has other names (hard links), so this extraction did not make it: " +
                wide(s.out / "b" / "c.bin"));
  EXPECT_TRUE(readFile(s.archive) == archive && readFile(s.journal) == journal && readTree(s.out) == out);
}

// Something of the wrong kind at a path of the archive is refused, naming it, before anything is written.
TEST(ExistingFiles, TheWrongKindIsRefusedBeforeAnythingIsWritten) {
  const std::tuple<std::function<void(const fs::path& out)>, const char*, const wchar_t*> cases[] = {
      {[](const fs::path& out) { fs::create_directories(out / "a.txt"); }, "a.txt",
       L"A folder stands where the archive has a file: "},
      {[](const fs::path& out) { writeFile(out / "b", kOld); }, "b", L"A file stands where the archive has a folder: "},
#ifndef _WIN32
      {[](const fs::path& out) { fs::create_directories(out / "b"), mkfifo((out / "b" / "c.bin").c_str(), 0600); },
       "b/c.bin", L"Not a regular file, where the archive has a file: "},
#endif
  };
  for (const auto& [plant, path, message] : cases) {
    for (bool keep : {false, true}) {
      SCOPED_TRACE(std::string(path) + (keep ? " keep" : ""));
      Scene s(smallTree());
      plant(s.out);
      if (!fs::exists(s.out / "b" / "empty") && fs::is_directory(s.out / "b")) writeFile(s.out / "b" / "empty", kOld);
      const Tree before = readTree(s.out);
      EXPECT_EQ(s.run(false, keep).error, message + wide(s.out / fs::path(path)));
      EXPECT_EQ(readTree(s.out), before);
      EXPECT_EQ(readFile(s.archive), s.original);
      EXPECT_FALSE(fs::exists(s.journal));
    }
  }
}

// A damaged block stops the run for good. Every file but the damaged one holds its old bytes or its new ones, whole.
TEST(ExistingFiles, ADamagedBlockLeavesTheOthersWhole) {
  Tree tree;
  for (char name = 'a'; name <= 'f'; ++name) tree[std::string(1, name)] = mixedBytes(9, name);
  for (bool keep : {false, true}) {
    Scene s(tree);
    for (const auto& [path, content] : tree) writeFile(s.out / path, kOld);
    Bytes damaged = s.original;
    damaged[s.tables.blocks[7].offset] ^= 0x55;  // in file "c"
    writeFile(s.archive, damaged);
    const RunResult run = s.run(false, keep);
    EXPECT_TRUE(run.error.starts_with(L"Checksum verification failed") && run.error.ends_with(L" of: c"));
    EXPECT_TRUE(run.kind == StatusKind::DamagedBlock && !run.outcome.resumable);
    for (const auto& [path, content] : tree) {
      const Bytes now = readFile(s.out / path);
      EXPECT_TRUE(path == "c" || now == content || now == bytesOf(kOld)) << path;
    }
    EXPECT_EQ(readFile(s.out / "a"), bytesOf(kOld));  // its data comes last
  }
}

// A .tar.gz cut inside its gzip member, and a .tar.zst cut where a frame starts, their journals lost, are refused; a
// salvage into that run's folder extracts the units left and names the rest lost (as a tar's), the file keeping its
// bytes. The hard link went with the cut.
TEST(ExistingFiles, ACutCompressedTarWithoutItsJournalIsSalvaged) {
  const struct {
    Packing packing;
    int stopAt;
    const wchar_t* gone;
    int lost;
  } cases[] = {{Packing::TarGz, 3, L"2 of 4", 2}, {Packing::TarZst, 2, L"1 of 5", 1}};
  for (const auto& [packing, stopAt, gone, lost] : cases) {
    Scene s(Tree{{"a", mixedBytes(13 << 20, 1)}}, packing);
    ASSERT_FALSE(s.run(stoppingAt(s, stopAt), s.out).ok);
    fs::remove(s.journal);
    EXPECT_EQ(verifyArchive(wide(s.archive), {}).message,
              L"This archive was partly extracted and its journal is missing: " + std::wstring(gone) +
                  L" blocks are gone, from 1 files, the first: a");
    ExtractOptions salvage;
    salvage.salvage = true;
    const RunResult run = s.run(salvage, s.out);
    EXPECT_EQ(run.error, L"1 files could not be fully extracted; the archive held nothing more and was deleted");
    EXPECT_EQ(std::count_if(run.log.begin(), run.log.end(), [](auto& line) { return line.starts_with(L"Lost: a, "); }),
              lost);
    Tree want = s.tree;
    want.erase("hard.link");
    EXPECT_EQ(readTree(s.out), want);
    EXPECT_EQ(s.folder(), std::vector<std::string>{"out"});
  }
}

// Only the file the run consumed is deleted: another put under the archive's name meanwhile stays.
TEST(ExistingFiles, ANewFileUnderTheArchivesNameIsKept) {
  Scene s(smallTree());
  writeFile(s.scratch / "new.zvka", kOld);
  bool allTaken = false;  // the archive is closed before the run looks at its name again
  ScopedIoHook swap([&](const IoCall& call) {
    if (allTaken && call.op == IoOp::Identity && call.path != nullptr && *call.path == wide(s.archive) &&
        fs::exists(s.scratch / "new.zvka")) {
      fs::rename(s.scratch / "new.zvka", s.archive);
    }
    return 0u;
  });
  const RunResult run = s.run(
      false, false, [&](const ProgressInfo& info) { allTaken = allTaken || info.blocksDone == info.blocksTotal; });
  ASSERT_TRUE(run.ok) << toUtf8(run.error);
  EXPECT_EQ(readTree(s.out), s.tree);
  EXPECT_EQ(readFile(s.archive), bytesOf(kOld));
  EXPECT_FALSE(fs::exists(s.journal));
}

}  // namespace
