// Which stored paths an extraction accepts, and where links may lead, under both rule sets.
#include <gtest/gtest.h>

#include "link_target.h"
#include "path_safety.h"

using namespace ablative;

namespace {

// Single paths, then lists: the index of the first refused path under each rule set (size() when all pass).
TEST(StoredPathSafety, PortableAndWindowsRules) {
  const std::vector<std::string> bothAccept = {
      "a.txt", "dir/sub/file.bin", "\xF0\x9F\x98\x80 smile/caf\xC3\xA9", ".hidden", "a..b", "COM0", "COM10", "CONSOLE",
      "icon"};
  const std::vector<std::string> bothRefuse = {
      "",   "/etc/passwd", "../evil",  "a/../../evil",         "a/..",    "./a", "a/./b", "a//b",
      "a/", "a\\b",        "..\\evil", std::string("a\0b", 3), "\xC0\xAF" /* an overlong "/", not UTF-8 */};
  const std::vector<std::string> windowsRefuses = {
      "file.txt:stream", "what?.txt", "a<b",       "a|b",       "a\"b",     "star*",
      "tab\there",       "trailing.", "trailing ", "dir./file", "CON",      "con.txt",
      "dir/Nul.tar.gz",  "AUX",       "prn",       "COM1",      "lpt9.log", "COM\xC2\xB9" /* superscript one */,
      "C:evil",          "c:/evil",   "a:b.txt"};
  for (const auto* list : {&bothAccept, &bothRefuse, &windowsRefuses}) {
    for (const std::string& path : *list) {
      EXPECT_EQ(isSafeStoredPath(path, false), list != &bothRefuse) << path;
      EXPECT_EQ(isSafeStoredPath(path, true), list == &bothAccept) << path;
    }
  }
  // clang-format off
  const std::tuple<std::vector<std::string>, size_t, size_t> cases[] = {
      {{"a", "b", "c/d"}, 3, 3}, {{"a", "b", "a"}, 2, 2}, {{"Readme", "README"}, 2, 1}, {{"a", "a/b"}, 1, 1},
      {{"a/b", "a"}, 1, 1},      {{"x/y/z", "x/Y"}, 2, 1}, {{"ok", "../bad", "ok"}, 1, 1}, {{}, 0, 0}};
  // clang-format on
  for (const auto& [paths, portable, windows] : cases) {
    EXPECT_EQ(std::pair(findUnsafePath(paths, false), findUnsafePath(paths, true)), std::pair(portable, windows))
        << ::testing::PrintToString(paths);
  }
  EXPECT_EQ(displayPath("bad\xFF/x"), L"bad\\xFF/x");
}

// Where a link's target leads from its own folder, "-" where it may lead outside, under each rule set. The archive's
// one other link is "d/up".
TEST(LinkTargets, StayInsideTheDestination) {
  // clang-format off
  const std::tuple<const char*, std::string, const char*, const char*> cases[] = {
      // link       target              portable      Windows
      {"l",         "a.txt",            "a.txt",      "a.txt"},
      {"d/l",       "../a/./b//c/",     "a/b/c",      "a/b/c"},
      {"d/e/l",     "../..",            "",           ""},
      {"l",         ".",                "",           ""},
      {"d/l",       "up",               "d/up",       "d/up"},        // a link, not passed through
      {"l",         "d/up/x",           "-",          "-"},           // through a link, whatever it leads to
      {"l",         "d/up/..",          "-",          "-"},
      {"l",         "LONGNA~1/..",      "",           "-"},           // perhaps a short name there
      {"d/l",       "../..",            "-",          "-"},
      {"l",         "a/../../b",        "-",          "-"},
      {"l",         "",                 "-",          "-"},
      {"l",         "/etc/passwd",      "-",          "-"},
      {"l",         "//server/share",   "-",          "-"},
      {"l",         "a\\..\\..\\x",     "a\\..\\..\\x", "-"},
      {"l",         "C:/x",             "C:/x",       "-"},
      {"l",         "C:x",              "C:x",        "-"},
      {"l",         "a.txt:stream",     "a.txt:stream", "-"},
      {"l",         ".. /x",            ".. /x",      "-"},           // Windows drops the trailing blank
      {"l",         std::string("a\0b", 3), "-",     "-"},
      {"l",         "\xC0\xAF",         "-",          "-"},           // not UTF-8
  };
  // clang-format on
  for (const auto& [link, target, portable, windows] : cases) {
    for (const bool windowsRules : {false, true}) {
      std::string resolved;
      const bool inside = resolveLinkTarget(
          link, target, [](const std::string& path) { return path == "d/up"; }, resolved, windowsRules);
      EXPECT_EQ(inside ? resolved : "-", windowsRules ? windows : portable) << link << " -> " << target;
    }
  }
}

}  // namespace
