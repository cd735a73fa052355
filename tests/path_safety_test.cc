// Which stored paths an extraction accepts and how names read as text, where links may lead under both rule sets,
// and links someone else planted below the destination: nothing is ever written through one.
#include <gtest/gtest.h>

#include "destination/link_target.h"
#include "extract_fixture.h"
#include "files/path_safety.h"
#include "platform/reparse_data.h"
#include "platform/utf8.h"

using namespace testutil;
using namespace ablative;

namespace {

// Single paths, then lists: the index of the first refused path under each rule set (size() when all pass).
TEST(StoredPathSafety, PortableAndWindowsRules) {
  // clang-format off
  const std::vector<std::string> bothAccept = {
      "a.txt", "dir/sub/file.bin", "\xF0\x9F\x98\x80 smile/caf\xC3\xA9", ".hidden", "a..b", "COM0", "CONSOLE"};
  const std::vector<std::string> bothRefuse = {
      "",   "/etc/passwd", "../evil",  "a/../../evil",         "a/..",    "./a", "a/./b", "a//b",
      "a/", "a\\b",        "..\\evil", std::string("a\0b", 3)};
  const std::vector<std::string> windowsRefuses = {
      "file.txt:stream", "what?.txt", "a<b",       "a|b",       "a\"b",     "star*",
      "tab\there",       "trailing.", "trailing ", "dir./file", "CON",      "con.txt",
      "dir/Nul.tar.gz",  "AUX",       "prn",       "COM1",      "lpt9.log", "COM\xC2\xB9" /* superscript one */,
      "C:evil",          "c:/evil",   "a:b.txt",
      "caf\xE9",         "\xC0\xAF" /* an overlong "/": bytes to Linux, not UTF-8 */};
  // clang-format on
  for (const auto* list : {&bothAccept, &bothRefuse, &windowsRefuses}) {
    for (const std::string& path : *list) {
      EXPECT_EQ(isSafeStoredPath(path, false), list != &bothRefuse) << path;
      EXPECT_EQ(isSafeStoredPath(path, true), list == &bothAccept) << path;
    }
  }
  // clang-format off
  const std::tuple<std::vector<std::string_view>, size_t, size_t> cases[] = {
      {{"a", "b", "c/d"}, 3, 3}, {{"a", "b", "a"}, 2, 2}, {{"Readme", "README"}, 2, 1}, {{"a", "a/b"}, 1, 1},
      {{"a/b", "a"}, 1, 1},      {{"x/y/z", "x/Y"}, 2, 1}, {{"ok", "../bad", "ok"}, 1, 1}, {{}, 0, 0},
      {{"caf\xE9", "caf\xC3\xA9"}, 2, 0}};
  // clang-format on
  for (const auto& [paths, portable, windows] : cases) {
    EXPECT_EQ(std::pair(findUnsafePath(paths, false), findUnsafePath(paths, true)), std::pair(portable, windows))
        << ::testing::PrintToString(paths);
  }
  // Folders may repeat and lie above files, never at or below one.
  const std::tuple<std::vector<std::string_view>, std::vector<std::string_view>, size_t> folderCases[] = {
      {{"a/b/c"}, {"a", "a/b", "a", "d"}, 4}, {{"a/b"}, {"a/b"}, 0}, {{"a"}, {"x", "a/b/c"}, 1}, {{}, {"./a"}, 0}};
  for (const auto& [files, folders, unsafe] : folderCases) {
    EXPECT_EQ(findUnsafePaths(files, folders, false).folder, unsafe) << ::testing::PrintToString(folders);
  }
  // One path of depth 20,000 takes memory in proportion to its length, not to the sum of its prefixes.
  std::string deep;
  for (int i = 0; i < 20000; ++i) deep += "a/";
  const std::string file = deep + "f", below = deep + "f/g";
  EXPECT_EQ(findUnsafePaths({file, file}, {below}, false).file, 1u);
}

TEST(StoredPathSafety, DotComponentsAndTextShownToAPerson) {
  const std::pair<std::string, std::string> dots[] = {
      {"./a/./b", "a/b"}, {"./", ""}, {".", ""}, {"a/.", "a"}, {"./a/", "a/"}, {"/./a", "/a"}, {"a//./b", "a//b"}};
  for (const auto& [stored, kept] : dots) EXPECT_EQ(withoutDotComponents(stored), kept) << stored;
  // Names keep their bytes as text; a person sees controls and bytes that are not UTF-8 escaped.
  const std::pair<std::string, std::wstring> shown[] = {
      {"caf\xE9/x", L"caf\\xE9/x"},
      {"\x1B]0;title\x07\x1B[2J", L"\\033]0;title\\007\\033[2J"},
      {"line\nfake\r\t\x7F", L"line\\nfake\\r\\t\\177"},
      {"\xC2\x9B[31m \xE2\x80\xAEtxt.exe", L"\\u009B[31m \\u202Etxt.exe"},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", L"caf\u00E9 \U0001F600"},
      {"\xED\xB2\x80", L"\\xED\\xB2\\x80"}};  // a surrogate's UTF-8 form: three bytes that are not UTF-8
  for (const auto& [stored, text] : shown) {
    EXPECT_EQ(displayText(nameFromBytes(stored)), text) << stored;
    std::string bytes;
    EXPECT_TRUE(nameBytes(nameFromBytes(stored), bytes) && bytes == stored) << stored;
  }
}

// Where a link's target leads from its own folder, "-" where it may lead outside, under each rule set. The archive's
// one other link is "d/up".
TEST(LinkTargets, StayInsideTheDestination) {
  // clang-format off
  const std::tuple<const char*, std::string, const char*, const char*> cases[] = {
      // link, target, portable, Windows
      {"l", "a.txt", "a.txt", "a.txt"}, {"d/l", "../a/./b//c/", "a/b/c", "a/b/c"}, {"d/e/l", "../..", "", ""},
      {"l", ".", "", ""}, {"d/l", "up", "d/up", "d/up"} /* a link, not passed through */,
      {"l", "d/up/x", "-", "-"} /* through a link, whatever it leads to */, {"l", "d/up/..", "-", "-"},
      {"l", "LONGNA~1/..", "", "-"} /* perhaps a short name there */, {"d/l", "../..", "-", "-"},
      {"l", "a/../../b", "-", "-"}, {"l", "", "-", "-"}, {"l", "/etc/passwd", "-", "-"}, {"l", "//server/share", "-", "-"},
      {"l", "a\\..\\..\\x", "a\\..\\..\\x", "-"}, {"l", "C:/x", "C:/x", "-"}, {"l", "C:x", "C:x", "-"},
      {"l", "a.txt:stream", "a.txt:stream", "-"}, {"l", ".. /x", ".. /x", "-"} /* Windows drops the trailing blank */,
      {"l", std::string("a\0b", 3), "-", "-"}, {"l", "\xC0\xAF", "\xC0\xAF", "-"} /* not UTF-8: bytes to Linux */,
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

// A hand-made reparse point's data (names at their natural places), then one 16-bit field overwritten: the target a
// scan stores, "-" where it is no link to store.
TEST(LinkTargets, FromWindowsReparseData) {
  const auto data = [](uint32_t tag, uint32_t flags, const std::u16string& substitute, const std::u16string& print) {
    const bool link = tag == 0xA000000C;
    const auto units = uint16_t(2 * (substitute.size() + print.size()));
    Bytes out;
    const auto put = [&out](uint32_t value, int bytes) {
      for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(value >> (8 * i)));
    };
    put(tag, 4), put(units + (link ? 12 : 8), 2), put(0, 2);
    put(0, 2), put(uint32_t(2 * substitute.size()), 2), put(uint32_t(2 * substitute.size()), 2);
    put(uint32_t(2 * print.size()), 2);
    if (link) put(flags, 4);
    for (char16_t unit : substitute + print) put(unit, 2);
    return out;
  };
  constexpr uint32_t kLink = 0xA000000C, kJunction = 0xA0000003, kDeduplicated = 0x80000013;
  // clang-format off
  const std::tuple<uint32_t, uint32_t, std::u16string, std::u16string, size_t, uint16_t, std::string> cases[] = {
      // tag        flags  substitute                print             field at, value  target
      {kLink,       1,     u"..\\a\\b",              u"..\\a\\b",      0, 0,          "../a/b"},
      {kLink,       1,     u"\U0001F600\\f",         u"",              0, 0,          "\xF0\x9F\x98\x80/f"},
      {kLink,       0,     u"\\??\\C:\\x\\y",        u"C:\\x\\y",      0, 0,          "C:/x/y"},
      {kLink,       0,     u"\\??\\UNC\\srv\\share", u"",              0, 0,          "//?/UNC/srv/share"},
      {kJunction,   0,     u"\\??\\D:\\data",        u"D:\\data",      0, 0,          "D:/data"},
      {kJunction,   0,     u"\\??\\Volume{1}\\",     u"",              0, 0,          "//?/Volume{1}/"},
      {kJunction,   0,     u"data",                  u"",              0, 0,          "-"},  // not absolute
      {kDeduplicated, 0,   u"\\??\\C:\\x",           u"",              0, 0,          "-"},
      {kLink,       1,     u"a",                     u"b",             4, 4,          "-"},  // shorter than its fields
      {kLink,       1,     u"a",                     u"b",             12, 0xFFFE,    "-"},  // print name outside
  };
  // clang-format on
  for (size_t row = 0; row < std::size(cases); ++row) {
    const auto& [tag, flags, substitute, print, at, value, want] = cases[row];
    Bytes bytes = data(tag, flags, substitute, print);
    if (at != 0) bytes[at] = uint8_t(value), bytes[at + 1] = uint8_t(value >> 8);
    std::string target;
    EXPECT_EQ(linkTargetOfReparseData(bytes, target) ? target : "-", want) << "row " << row;
  }
}

const char kVictim[] = "someone else's file";

// A link to a folder on a destination file's way, or at a destination file's place, is refused before anything is
// written, in both modes and on resume; only the destination folder itself may be a link.
TEST(Links, NothingBelowTheDestinationIsFollowed) {
  // clang-format off
  const std::tuple<const char*, const char*, bool, bool> cases[] = {  // the link, its target, resume, keep
      {"b", "outside", false, false}, {"b", "outside", false, true}, {"a.txt", "outside/victim", false, false},
      {"b", "moved", true, false}};
  // clang-format on
  for (const auto& [link, target, resume, keep] : cases) {
    SCOPED_TRACE(std::string(link) + (keep ? " keep" : "") + (resume ? " resume" : ""));
    Scene s(smallTree());
    writeFile(s.scratch / "outside" / "victim", kVictim);
    if (resume) {  // stopped at its first release: b/c.bin's last block is written
      ScopedIoHook stop([](const IoCall& call) { return call.op == IoOp::ZeroRange ? ioErrorCode() : 0u; });
      ASSERT_FALSE(s.run(false, false).ok);
      fs::rename(s.out / "b", s.scratch / "moved");
    }
    const Tree moved = resume ? readTree(s.scratch / "moved") : Tree{};
    fs::create_directories(s.out);
    if (!makeLink(s.scratch / target, s.out / link)) GTEST_SKIP() << "no symbolic links here";
    if (runningUnderWine() && !fs::is_directory(s.scratch / target))
      continue;  // Wine shows a link to a file as the file
    const Bytes archive = readFile(s.archive), journal = readFile(s.journal);
    EXPECT_EQ(s.run(resume, keep).error, L"Destination path passes through a link: " + wide(s.out / link));
    EXPECT_TRUE(readFile(s.archive) == archive && readFile(s.journal) == journal);
    EXPECT_EQ(readTree(s.scratch / "outside"), (Tree{{"victim", bytesOf(kVictim)}}));
    EXPECT_TRUE(!resume || readTree(s.scratch / "moved") == moved);
  }
  Scene s(smallTree());
  fs::create_directory(s.scratch / "real");
  if (!makeLink(s.scratch / "real", s.out)) GTEST_SKIP() << "no symbolic links here";
  const RunResult run = s.run(false, true);
  ASSERT_TRUE(run.ok) << toUtf8(run.error);
  EXPECT_EQ(readTree(s.scratch / "real"), s.tree);
}

}  // namespace
