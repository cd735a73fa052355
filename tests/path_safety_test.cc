// Which stored paths an extraction accepts, under both rule sets.
#include <gtest/gtest.h>

#include "extract_fixture.h"
#include "path_safety.h"
#include "paths.h"

using namespace testutil;
using namespace ablative;

namespace {

TEST(StoredPathSafety, PortableAndWindowsRules) {
  struct Case {
    std::string path;
    bool portable;  // accepted under the portable rules
    bool windows;   // accepted under the Windows rules
  };
  const Case cases[] = {
      {"a.txt", true, true},
      {"dir/sub/file.bin", true, true},
      {"\xF0\x9F\x98\x80 smile/caf\xC3\xA9", true, true},
      {".hidden", true, true},
      {"a..b", true, true},
      {"", false, false},
      {"/etc/passwd", false, false},
      {"../evil", false, false},
      {"a/../../evil", false, false},
      {"a/..", false, false},
      {"./a", false, false},
      {"a/./b", false, false},
      {"a//b", false, false},
      {"a/", false, false},
      {"a\\b", false, false},
      {"..\\evil", false, false},
      {std::string("a\0b", 3), false, false},
      {"C:evil", false, false},
      {"c:/evil", false, false},
      {"\xC0\xAF", false, false},  // not UTF-8 (an overlong "/")
      {"file.txt:stream", true, false},
      {"what?.txt", true, false},
      {"a<b", true, false},
      {"a|b", true, false},
      {"a\"b", true, false},
      {"star*", true, false},
      {"tab\there", true, false},
      {"trailing.", true, false},
      {"trailing ", true, false},
      {"dir./file", true, false},
      {"CON", true, false},
      {"con.txt", true, false},
      {"dir/Nul.tar.gz", true, false},
      {"AUX", true, false},
      {"prn", true, false},
      {"COM1", true, false},
      {"lpt9.log", true, false},
      {"COM\xC2\xB9", true, false},  // COM followed by superscript one
      {"COM0", true, true},
      {"COM10", true, true},
      {"CONSOLE", true, true},
      {"icon", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(isSafeStoredPath(c.path, false), c.portable);
    EXPECT_EQ(isSafeStoredPath(c.path, true), c.windows);
  }
}

TEST(StoredPathSafety, FindsDuplicatesAndFileFolderClashes) {
  struct Case {
    std::vector<std::string> paths;
    size_t portable;  // index of the first refused path under each rule set; size() when all pass
    size_t windows;
  };
  const Case cases[] = {
      {{"a", "b", "c/d"}, 3, 3},
      {{"a", "b", "a"}, 2, 2},
      {{"Readme", "README"}, 2, 1},
      {{"a", "a/b"}, 1, 1},
      {{"a/b", "a"}, 1, 1},
      {{"x/y/z", "x/Y"}, 2, 1},
      {{"ok", "../bad", "ok"}, 1, 1},
      {{}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.paths));
    EXPECT_EQ(findUnsafePath(c.paths, false), c.portable);
    EXPECT_EQ(findUnsafePath(c.paths, true), c.windows);
  }
}

TEST(StoredPathSafety, DisplayShowsBytesThatAreNotText) {
  EXPECT_EQ(displayPath("a/b.txt"), L"a/b.txt");
  EXPECT_EQ(displayPath("bad\xFF/x"), L"bad\\xFF/x");
}

TEST(DestinationPaths, JoinUnderTheFolder) {
  const std::wstring sep(1, kPathSeparator);
  EXPECT_EQ(joinPath(L"out", L"a/b.txt"), L"out" + sep + L"a" + sep + L"b.txt");
  EXPECT_EQ(joinPath(L"out" + sep, L"x"), L"out" + sep + L"x");
  EXPECT_EQ(joinPath(L"", L"x"), L"x");
  EXPECT_EQ(parentFolder(L"out" + sep + L"x"), L"out");
  EXPECT_EQ(parentFolder(L"x"), L"");
  EXPECT_EQ(parentFolder(sep + L"x"), sep);
  EXPECT_EQ(fileNameOf(L"out" + sep + L"x.zvka"), L"x.zvka");
}

class ProtectedFilesTest : public ::testing::Test {
 protected:
  ProtectedFilesTest() { writeFile(archive_, "archive"); }
  ProtectedFiles protectedFiles(bool windowsRules = kWindowsPathRules) {
    std::wstring archive = wide(archive_);
    return ProtectedFiles({archive, archive + L".zvkj", archive + L".zvkj.creating"}, windowsRules);
  }

  ScratchDir scratch_;
  fs::path archive_ = scratch_ / "x.zvka";
};

TEST_F(ProtectedFilesTest, CoversTheArchiveAndItsJournalByAnySpelling) {
  fs::create_directories(scratch_ / "other");
  ProtectedFiles own = protectedFiles();
  const std::wstring other = wide(scratch_ / "other");
  EXPECT_TRUE(own.includes(wide(archive_)));
  EXPECT_TRUE(own.includes(joinPath(other, L"../x.zvka")));
  EXPECT_TRUE(own.includes(joinPath(other, L"../x.zvka.zvkj")));
  EXPECT_TRUE(own.includes(joinPath(other, L"../x.zvka.zvkj.creating")));
  EXPECT_FALSE(own.includes(joinPath(other, L"x.zvka")));
  EXPECT_FALSE(own.includes(joinPath(other, L"missing/x.zvka")));
  EXPECT_FALSE(own.includes(wide(scratch_ / "y.zvka")));
}

TEST_F(ProtectedFilesTest, IgnoresLetterCaseUnderWindowsRules) {
  ProtectedFiles windows = protectedFiles(true);
  EXPECT_TRUE(windows.includes(wide(scratch_ / "X.ZVKA")));
  EXPECT_TRUE(windows.includes(wide(scratch_ / "x.Zvka.ZVKJ")));
  if (!kWindowsPathRules) {
    ProtectedFiles posix = protectedFiles(false);
    EXPECT_FALSE(posix.includes(wide(scratch_ / "X.ZVKA")));
  }
}

#ifndef _WIN32
TEST_F(ProtectedFilesTest, CoversLinksToTheArchive) {
  fs::create_symlink(archive_, scratch_ / "link");
  fs::create_hard_link(archive_, scratch_ / "hard");
  ProtectedFiles own = protectedFiles();
  EXPECT_TRUE(own.includes(wide(scratch_ / "link")));
  EXPECT_TRUE(own.includes(wide(scratch_ / "hard")));
}
#endif

}  // namespace
