// Which files a source yields, under which names, in which order.
#include <gtest/gtest.h>

#include "env.h"
#include "source_scan.h"
#include "test_util.h"

using namespace testutil;

namespace {

std::vector<std::string> scannedNames(const fs::path& source, std::wstring& errorText) {
  std::vector<std::string> names;
  for (const auto& entry : ablative::collectSourceFiles(wide(source), errorText).entries)
    names.push_back(entry.relativePathUtf8);
  return names;
}

TEST(SourceScan, SortsByUtf16CodeUnits) {
  ScratchDir dir;
  // U+1F600 is a surrogate pair (D83D ...) and so sorts before U+E000, unlike code-point order.
  for (const char* name : {"B.txt", "a.txt", "a-b.txt", "dir.txt", "dir/x.bin", "sub/deeper/file.dat",
                           "\xEE\x80\x80.txt", "\xF0\x9F\x98\x80.txt"}) {
    writeFile(dir / (std::string("src/") + name), name);
  }
  fs::create_directories(dir / "src/empty/also-empty");
  std::wstring errorText = L"untouched";
  EXPECT_EQ(scannedNames(dir / "src", errorText),
            (std::vector<std::string>{"B.txt", "a-b.txt", "a.txt", "dir.txt", "dir/x.bin", "sub/deeper/file.dat",
                                      "\xF0\x9F\x98\x80.txt", "\xEE\x80\x80.txt"}));
  EXPECT_EQ(errorText, L"untouched");
}

TEST(SourceScan, SingleFileIsNamedByItsLastComponent) {
  ScratchDir dir;
  writeFile(dir / "data/report.txt", "twelve bytes");
  writeFile(dir / "data/empty.txt", "");
  std::wstring errorText;
  ablative::SourceFiles source = ablative::collectSourceFiles(wide(dir / "data/report.txt"), errorText);
  ASSERT_EQ(source.entries.size(), 1u);
  EXPECT_EQ(source.sourcePathOf(source.entries[0]), wide(dir / "data/report.txt"));
  EXPECT_EQ(source.entries[0].relativePathUtf8, "report.txt");
  EXPECT_EQ(source.entries[0].size, 12u);
  source = ablative::collectSourceFiles(wide(dir / "data/empty.txt"), errorText);
  ASSERT_EQ(source.entries.size(), 1u);
  EXPECT_EQ(source.entries[0].size, 0u);
}

TEST(SourceScan, FailuresCarryTheirMessages) {
  ScratchDir dir;
  fs::create_directories(dir / "empty");
  fs::create_directories(dir / "only-folders/a/b");
  struct Case {
    fs::path source;
    std::wstring message;
  };
  std::vector<Case> cases = {
      {dir / "absent", L"Input path does not exist"},
      {dir / "absent/deeper", L"Input path does not exist"},
      {dir / "empty", L"Input directory contains no regular files"},
      {dir / "only-folders", L"Input directory contains no regular files"},
  };
#ifndef _WIN32
  cases.push_back({"/dev/null", L"Input path is neither a file nor a directory"});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source.string());
    std::wstring errorText;
    EXPECT_TRUE(ablative::collectSourceFiles(wide(c.source), errorText).entries.empty());
    EXPECT_EQ(errorText, c.message);
  }
}

#ifndef _WIN32
TEST(SourceScan, LinksKeepTheirOwnNameInsideTheTree) {
  ScratchDir dir;
  writeFile(dir / "src/real.txt", "inside");
  writeFile(dir / "outside.txt", "from outside the tree");
  fs::create_directories(dir / "src/folder");
  writeFile(dir / "src/folder/deep.txt", "deep");
  fs::create_symlink(dir / "src/real.txt", dir / "src/link-in.txt");
  fs::create_symlink(dir / "outside.txt", dir / "src/link-out.txt");
  fs::create_symlink(dir / "nowhere", dir / "src/dangling.txt");
  fs::create_directory_symlink(dir / "src/folder", dir / "src/folder-link");
  std::wstring errorText;
  std::vector<std::string> names;
  for (const auto& entry : ablative::collectSourceFiles(wide(dir / "src"), errorText).entries)
    names.push_back(entry.relativePathUtf8 + ":" + std::to_string(entry.size));
  EXPECT_EQ(names, (std::vector<std::string>{"folder/deep.txt:4", "link-in.txt:6", "link-out.txt:21", "real.txt:6"}));
}

TEST(SourceScan, NamesTheArchiveCannotStoreAreRefused) {
  ScratchDir dir;
  writeFile(dir / "src/back\\slash.txt", "a backslash would become a folder on extraction");
  std::wstring errorText;
  EXPECT_TRUE(ablative::collectSourceFiles(wide(dir / "src"), errorText).entries.empty());
  EXPECT_EQ(errorText, L"File name not supported by the archive format: " + wide(dir / "src/back\\slash.txt"));
}
#endif

}  // namespace
