// Links that someone else planted where the archiver writes, as in a folder other accounts can write into: nothing
// is ever written through one.
#include <gtest/gtest.h>

#include <functional>

#include "extract_fixture.h"

using namespace testutil;
using namespace ablative;

namespace {

const char kVictim[] = "someone else's file";

// A link at the archive's temporary name, at its final name, or at the journal's temporary name: the file it leads to
// stays as it was, and the archive is written whole under its own name.
TEST(Links, NamesTheArchiverCreatesAreNeverWrittenThrough) {
  for (const char* planted : {"x.zvka.creating", "x.zvka", "x.zvka.zvkj.creating"}) {
    SCOPED_TRACE(planted);
    // Wine shows a link to a file as the file itself, and removing it removes what it leads to.
    if (runningUnderWine() && std::string(planted) != "x.zvka") continue;
    Scene s(smallTree());
    writeFile(s.scratch / "victim", kVictim);
    fs::remove(s.archive);
    if (!makeLink(s.scratch / "victim", s.scratch / planted)) GTEST_SKIP() << "no symbolic links here";
    if (std::string(planted).find("zvkj") != std::string::npos) {
      writeFile(s.archive, s.original);
      s.run(false, false);  // under Wine it stops at its first release, once the journal exists
      EXPECT_FALSE(fs::is_symlink(s.journal));
    } else {
      for (const auto& [path, content] : s.tree) writeFile(s.scratch / ("src/" + path), content);
      std::wstring error;
      ASSERT_TRUE(createArchive(wide(s.scratch / "src"), wide(s.archive), 4, error, {}, {}, {})) << toUtf8(error);
      EXPECT_EQ(readFile(s.archive), s.original);
      EXPECT_FALSE(fs::is_symlink(s.archive));
    }
    EXPECT_EQ(readFile(s.scratch / "victim"), bytesOf(kVictim));
  }
}

// A link to a folder on a destination file's way, or at a destination file's place, is refused before anything is
// written, in both modes and on resume; only the destination folder itself may be a link.
TEST(Links, NothingBelowTheDestinationIsFollowed) {
  struct Case {
    const char* link;
    const char* target;
    bool resume;
  };
  const Case cases[] = {{"b", "outside", false}, {"a.txt", "outside/victim", false}, {"b", "moved", true}};
  for (const Case& c : cases) {
    for (bool keep : {false, true}) {
      SCOPED_TRACE(std::string(c.link) + (keep ? " keep" : "") + (c.resume ? " resume" : ""));
      if (c.resume && keep) continue;
      Scene s(smallTree());
      writeFile(s.scratch / "outside" / "victim", kVictim);
      if (c.resume) {  // stopped at its first release: b/c.bin's last block is written
        ScopedIoHook stop([](const IoCall& call) { return call.op == IoOp::ZeroRange ? ioErrorCode() : 0u; });
        ASSERT_FALSE(s.run(false, false).ok);
        fs::rename(s.out / "b", s.scratch / "moved");
      }
      const Tree moved = c.resume ? readTree(s.scratch / "moved") : Tree{};
      fs::create_directories(s.out);
      if (!makeLink(s.scratch / c.target, s.out / c.link)) GTEST_SKIP() << "no symbolic links here";
      if (runningUnderWine() && !fs::is_directory(s.scratch / c.target)) {
        continue;  // Wine shows a link to a file as the file itself
      }
      const Bytes archive = readFile(s.archive), journal = readFile(s.journal);
      const RunResult run = s.run(c.resume, keep);
      EXPECT_EQ(run.error, L"Destination path passes through a link: " + wide(s.out / c.link));
      EXPECT_TRUE(readFile(s.archive) == archive && readFile(s.journal) == journal);
      EXPECT_EQ(readTree(s.scratch / "outside"), (Tree{{"victim", bytesOf(kVictim)}}));
      EXPECT_TRUE(!c.resume || readTree(s.scratch / "moved") == moved);
    }
  }
  Scene s(smallTree());
  fs::create_directory(s.scratch / "real");
  if (!makeLink(s.scratch / "real", s.out)) GTEST_SKIP() << "no symbolic links here";
  const RunResult run = s.run(false, true);
  ASSERT_TRUE(run.ok) << toUtf8(run.error);
  EXPECT_EQ(readTree(s.scratch / "real"), s.tree);
}

}  // namespace
