// The Windows program's logic that needs no window: the block-size field,
// path rules, unique names, command-line parsing, quick-action plans, the
// status line, the registry rows and the worker's failure reporting.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <stdexcept>

#include "app_state.h"
#include "command_line.h"
#include "env.h"
#include "main_window.h"
#include "path_rules.h"
#include "shell_registration.h"
#include "test_util.h"

using namespace zarvik;
using testutil::ScratchDir;

namespace {

std::wstring pathIn(const ScratchDir& dir, const std::wstring& relative) {
  return (dir.path() / relative).make_preferred().wstring();
}

// Creates each name under `dir`: a trailing "\" makes a folder, anything else an empty file.
void makeEntries(const ScratchDir& dir, const std::vector<std::wstring>& names) {
  for (const std::wstring& name : names) {
    if (name.ends_with(L"\\")) {
      std::filesystem::create_directories(dir.path() / name);
    } else {
      testutil::writeFile(dir.path() / name, std::string());
    }
  }
}

TEST(BlockSizeField, UsesWholeKilobytesFrom64UpToWhatFitsIn32Bits) {
  struct Case {
    const wchar_t* text;
    uint32_t bytes;
  };
  const Case cases[] = {
      {L"4096", 4194304},      {L"64", 65536},       {L"+64", 65536},         {L" 128kb", 131072},
      {L"4194303", 4294966272u}, {L"63", kDefaultBlockSize}, {L"0", kDefaultBlockSize},
      {L"-8", kDefaultBlockSize}, {L"", kDefaultBlockSize}, {L"abc", kDefaultBlockSize},
      // Too large for 32-bit bytes, for a 32-bit signed number, for any number.
      {L"4194304", kDefaultBlockSize}, {L"2147483647", kDefaultBlockSize}, {L"2147483648", kDefaultBlockSize},
      {L"99999999999999999999999", kDefaultBlockSize},
  };
  for (const Case& c : cases) EXPECT_EQ(blockSizeFromField(c.text), c.bytes) << ablative::toUtf8(c.text);
}

TEST(PathRules, DecomposeAsTheStandardPathLibraryDoes) {
  struct Case {
    const wchar_t* path;
    const wchar_t* name;
    const wchar_t* extension;
    const wchar_t* stem;
    const wchar_t* parent;
  };
  const Case cases[] = {
      {L"C:\\out\\backup", L"backup", L"", L"backup", L"C:\\out"},
      {L"C:\\out\\backup.bin", L"backup.bin", L".bin", L"backup", L"C:\\out"},
      {L"C:\\out\\backup.", L"backup.", L".", L"backup", L"C:\\out"},
      {L"C:\\out\\.zvka", L".zvka", L"", L".zvka", L"C:\\out"},
      {L"C:\\out\\..", L"..", L"", L"..", L"C:\\out"},
      {L"C:\\out\\", L"", L"", L"", L"C:\\out"},
      {L"C:\\a.zvka", L"a.zvka", L".zvka", L"a", L"C:\\"},
      {L"C:name.zvka", L"name.zvka", L".zvka", L"name", L"C:"},
      {L"report.txt.zvka", L"report.txt.zvka", L".zvka", L"report.txt", L""},
      {L"D:/mixed\\dir/f.tar.gz", L"f.tar.gz", L".gz", L"f.tar", L"D:/mixed\\dir"},
      {L"C:\\x\\a.zvka:stream", L"a.zvka:stream", L".zvka", L"a", L"C:\\x"},
      {L"\\\\server\\share\\a.zvkj", L"a.zvkj", L".zvkj", L"a", L"\\\\server\\share"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ablative::toUtf8(c.path));
    EXPECT_EQ(fileNameOf(c.path), c.name);
    EXPECT_EQ(extensionOf(c.path), c.extension);
    EXPECT_EQ(stemOf(c.path), c.stem);
    EXPECT_EQ(parentOf(c.path), c.parent);
  }
}

TEST(PathRules, AppendTheArchiveExtensionOnlyWhenThereIsNone) {
  EXPECT_EQ(withArchiveExtension(L"C:\\out\\backup"), L"C:\\out\\backup.zvka");
  EXPECT_EQ(withArchiveExtension(L"C:\\out\\backup.bin"), L"C:\\out\\backup.bin");
  EXPECT_EQ(withArchiveExtension(L"C:\\out\\backup."), L"C:\\out\\backup.");
  EXPECT_EQ(withArchiveExtension(L"C:\\out\\"), L"C:\\out\\.zvka");
  EXPECT_EQ(withArchiveExtension(L"C:\\out\\.hidden"), L"C:\\out\\.hidden.zvka");
}

TEST(PathRules, JoinWithOneSeparator) {
  EXPECT_EQ(joinPath(L"C:\\data", L"a"), L"C:\\data\\a");
  EXPECT_EQ(joinPath(L"C:\\data\\", L"a"), L"C:\\data\\a");
  EXPECT_EQ(joinPath(L"C:\\", L"a"), L"C:\\a");
  EXPECT_EQ(joinPath(L"C:", L"a"), L"C:a");
  EXPECT_EQ(joinPath(L"", L"a"), L"a");
}

TEST(PathRules, RecogniseArchiveAndJournalExtensionsInAnyAsciiCase) {
  for (const wchar_t* path : {L"a.zvka", L"C:\\x\\A.ZVKA", L"a.Zvkj", L"a.zvka.zvkj", L"a.zvka:stream"}) {
    EXPECT_TRUE(hasArchiveOrJournalExtension(path)) << ablative::toUtf8(path);
  }
  for (const wchar_t* path : {L"a.zvk", L"a.zvka.txt", L".zvka", L"C:\\x.zvka\\", L"a.zvkaa", L""}) {
    EXPECT_FALSE(hasArchiveOrJournalExtension(path)) << ablative::toUtf8(path);
  }
}

TEST(PathRules, JournalLeadsToItsArchiveOnlyWhenThatIsAFile) {
  ScratchDir dir;
  makeEntries(dir, {L"a.zvka", L"folder.zvka\\"});
  EXPECT_EQ(archiveOfJournal(pathIn(dir, L"a.zvka.zvkj")), pathIn(dir, L"a.zvka"));
  EXPECT_EQ(archiveOfJournal(pathIn(dir, L"a.zvka.ZVKJ")), std::nullopt);  // exact case only
  EXPECT_EQ(archiveOfJournal(pathIn(dir, L"b.zvka.zvkj")), std::nullopt);
  EXPECT_EQ(archiveOfJournal(pathIn(dir, L"folder.zvka.zvkj")), std::nullopt);
  EXPECT_EQ(archiveOfJournal(pathIn(dir, L"a.zvka")), std::nullopt);
}

TEST(MakeUniquePath, NumbersTheStemUntilTheNameIsFree) {
  struct Case {
    std::vector<std::wstring> existing;
    const wchar_t* path;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {{}, L"photos.zvka", L"photos.zvka"},
      {{L"photos.zvka"}, L"photos.zvka", L"photos_1.zvka"},
      {{L"photos.zvka", L"photos_1.zvka", L"photos_2.zvka\\"}, L"photos.zvka", L"photos_3.zvka"},
      {{L"report.txt.zvka"}, L"report.txt.zvka", L"report.txt_1.zvka"},
      {{L"x_extracted\\"}, L"x_extracted", L"x_extracted_1"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    makeEntries(dir, c.existing);
    EXPECT_EQ(makeUniquePath(pathIn(dir, c.path)), pathIn(dir, c.expected)) << ablative::toUtf8(c.path);
  }
}

TEST(ParseArguments, RecognisesOptionsExactlyAndArchivePathsAlone) {
  using Kind = QuickActionKind;
  struct Case {
    std::vector<std::wstring> arguments;  // after the program
    std::optional<QuickAction> action;
    bool missingPath;
  };
  const std::wstring p = L"C:\\data\\a.zvka";
  const Case cases[] = {
      {{}, std::nullopt, false},
      {{L"--context-archive", L"C:\\data\\photos"}, QuickAction{Kind::Archive, L"C:\\data\\photos"}, false},
      {{L"--context-extract", p}, QuickAction{Kind::Extract, p}, false},
      {{L"--context-extract-here", p}, QuickAction{Kind::ExtractHere, p}, false},
      {{L"--context-extract-to", p, L"ignored", L"--context-archive"}, QuickAction{Kind::ExtractTo, p}, false},
      {{L"--context-archive", L""}, QuickAction{Kind::Archive, L""}, false},
      {{L"--context-extract-here"}, std::nullopt, true},
      {{L"--CONTEXT-ARCHIVE", L"C:\\data\\photos"}, std::nullopt, false},
      {{L"--context-archived", p}, std::nullopt, false},
      {{L"C:\\data\\A.ZVKA"}, QuickAction{Kind::Open, L"C:\\data\\A.ZVKA"}, false},
      {{L"C:\\data\\a.zvka.ZvKj", L"extra"}, QuickAction{Kind::Open, L"C:\\data\\a.zvka.ZvKj"}, false},
      {{L"C:\\data\\a.txt"}, std::nullopt, false},
      {{L""}, std::nullopt, false},
  };
  for (const Case& c : cases) {
    std::vector<std::wstring> arguments{L"ZarvikArchiver.exe"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    ParsedCommandLine parsed = parseArguments(arguments);
    SCOPED_TRACE(c.arguments.empty() ? "" : ablative::toUtf8(c.arguments[0]));
    EXPECT_EQ(parsed.missingPath, c.missingPath);
    ASSERT_EQ(parsed.action.has_value(), c.action.has_value());
    if (c.action) {
      EXPECT_EQ(parsed.action->kind, c.action->kind);
      EXPECT_EQ(parsed.action->path, c.action->path);
    }
  }
}

// The fields a plan fills, as (field, text) pairs in order.
std::vector<std::pair<HWND AppState::*, std::wstring>> fieldsOf(const QuickActionPlan& plan) {
  std::vector<std::pair<HWND AppState::*, std::wstring>> fields;
  for (const QuickActionPlan::Field& field : plan.fields) fields.emplace_back(field.control, field.text);
  return fields;
}

TEST(QuickActionPlan, ExtractionsChooseTheirDestinationAndFollowJournals) {
  ScratchDir dir;
  makeEntries(dir, {L"a.zvka", L"a\\"});
  struct Case {
    QuickActionKind kind;
    const wchar_t* path;
    const wchar_t* destination;
  };
  const Case cases[] = {
      {QuickActionKind::ExtractHere, L"a.zvka", L""},
      {QuickActionKind::ExtractTo, L"a.zvka", L"a"},  // an existing folder is used as it is
      {QuickActionKind::Extract, L"a.zvka", L"a"},
      {QuickActionKind::Extract, L"a.zvka.zvkj", L"a"},
  };
  for (const Case& c : cases) {
    QuickActionPlan plan = planQuickAction({c.kind, pathIn(dir, c.path)});
    std::wstring destination = *c.destination ? pathIn(dir, c.destination) : std::filesystem::path(dir.path()).make_preferred().wstring();
    EXPECT_EQ(fieldsOf(plan), (std::vector<std::pair<HWND AppState::*, std::wstring>>{
                                  {&AppState::archiveEdit, pathIn(dir, L"a.zvka")},
                                  {&AppState::destinationEdit, destination}}));
    EXPECT_EQ(plan.page, 1);
    EXPECT_EQ(plan.logLine, L"Quick action detected: starting extraction...");
    EXPECT_EQ(plan.command, kExtractButtonId);
  }
}

TEST(QuickActionPlan, OpenFillsTheExtractPageWithAFreeDestinationAndWaits) {
  struct Case {
    std::vector<std::wstring> existing;
    const wchar_t* path;
    const wchar_t* archive;
    const wchar_t* destination;  // null: the field is left alone
    const wchar_t* line;
  };
  const wchar_t* loaded = L"Archive loaded from file association.";
  const Case cases[] = {
      {{L"a.zvka"}, L"a.zvka", L"a.zvka", L"a", loaded},
      {{L"a.zvka", L"a"}, L"a.zvka", L"a.zvka", L"a_extracted", loaded},
      {{L"a.zvka", L"a\\", L"a_extracted\\"}, L"a.zvka", L"a.zvka", L"a_extracted_1", loaded},
      {{L"A.ZVKA"}, L"A.ZVKA", L"A.ZVKA", L"A", loaded},
      {{L"a.zvka", L"a.zvka.zvkj"}, L"a.zvka.zvkj", L"a.zvka", L"a", loaded},
      // A journal named in capitals is opened as it is, and then is no archive.
      {{L"b.zvka", L"b.zvka.ZVKJ"}, L"b.zvka.ZVKJ", L"b.zvka.ZVKJ", L"b.zvka_extracted", loaded},
      {{}, L"gone.zvka", L"gone.zvka", nullptr, L"Archive path is not accessible. Check the path and try again."},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    makeEntries(dir, c.existing);
    QuickActionPlan plan = planQuickAction({QuickActionKind::Open, pathIn(dir, c.path)});
    std::vector<std::pair<HWND AppState::*, std::wstring>> expected{{&AppState::archiveEdit, pathIn(dir, c.archive)}};
    if (c.destination) expected.emplace_back(&AppState::destinationEdit, pathIn(dir, c.destination));
    EXPECT_EQ(fieldsOf(plan), expected) << ablative::toUtf8(c.path);
    EXPECT_EQ(plan.page, 1);
    EXPECT_EQ(plan.logLine, c.line);
    EXPECT_EQ(plan.command, 0);
  }
}

TEST(StatusLine, ShowsBlocksFreedMegabytesAndPause) {
  EXPECT_EQ(statusLineText(0, 0, 0, false), L"Progress: 0/0 blocks | Freed: 0.00 MB");
  EXPECT_EQ(statusLineText(3, 10, 1572864, true), L"Progress: 3/10 blocks | Freed: 1.50 MB | Paused");
  EXPECT_EQ(statusLineText(4294967295u, 4294967295u, uint64_t{1} << 63, false),
            L"Progress: 4294967295/4294967295 blocks | Freed: 8796093022208.00 MB");
}

TEST(StatusLine, ProgressBarPercentageIsTruncated) {
  EXPECT_EQ(progressPercent(0, 0), 0u);
  EXPECT_EQ(progressPercent(5, 0), 0u);
  EXPECT_EQ(progressPercent(3, 10), 30u);
  EXPECT_EQ(progressPercent(1, 3), 33u);
  EXPECT_EQ(progressPercent(4294967295u, 4294967295u), 100u);  // no overflow on the way
}

TEST(ShellVerbs, TwentyFourValuesInOrderNamingTheProgram) {
  const std::wstring program = L"C:\\Apps\\za.exe";
  std::vector<RegistryValue> values = shellVerbValues(program);
  ASSERT_EQ(values.size(), 24u);
  auto expectRow = [&](size_t row, const std::wstring& key, const std::wstring& name, const std::wstring& data) {
    SCOPED_TRACE(row);
    EXPECT_EQ(values[row - 1].key, key);
    EXPECT_EQ(values[row - 1].name, name);
    EXPECT_EQ(values[row - 1].data, data);
  };
  const std::wstring files = L"Software\\Classes\\*\\shell\\ZarvikArchiver";
  const std::wstring journals = L"Software\\Classes\\SystemFileAssociations\\.zvkj\\shell\\ZarvikArchiver";
  expectRow(1, files, L"MUIVerb", L"Zarvik Archiver");
  expectRow(2, files, L"Icon", L"\"C:\\Apps\\za.exe\",0");
  expectRow(3, files, L"SubCommands", L"");
  expectRow(5, files + L"\\shell\\add\\command", L"", L"\"C:\\Apps\\za.exe\" --context-archive \"%1\"");
  expectRow(10, L"Software\\Classes\\Directory\\shell\\ZarvikArchiver\\shell\\add\\command", L"",
            L"\"C:\\Apps\\za.exe\" --context-archive \"%1\"");
  expectRow(16, L"Software\\Classes\\SystemFileAssociations\\.zvka\\shell\\ZarvikArchiver\\shell\\extract_to",
            L"MUIVerb", L"Extract to \"%1\\\"");
  expectRow(18, journals, L"MUIVerb", L"Zarvik Archiver");
  expectRow(22, journals + L"\\shell\\extract_here\\command", L"",
            L"\"C:\\Apps\\za.exe\" --context-extract-here \"%1\"");
  expectRow(24, journals + L"\\shell\\extract_to\\command", L"", L"\"C:\\Apps\\za.exe\" --context-extract-to \"%1\"");
  std::set<std::wstring> keys;
  for (const RegistryValue& value : values) keys.insert(value.key);
  EXPECT_EQ(keys.size(), 16u);
}

TEST(ShellVerbs, ProgramPathIsReadWhateverItsLength) {
  std::wstring full = moduleFilePath(nullptr, 32768);
  ASSERT_FALSE(full.empty());
  EXPECT_TRUE(full.ends_with(L".exe"));
  // Starting from a buffer far too small still gives the whole path.
  EXPECT_EQ(moduleFilePath(nullptr, 4), full);
  EXPECT_EQ(moduleFilePath(nullptr, full.size()), full);  // exactly full: no room for the terminator
}

TEST(RunLogged, EveryFailureBecomesOnePrefixedLine) {
  struct Case {
    std::function<bool(std::wstring&)> operation;
    bool succeeded;
    std::vector<std::wstring> lines;
  };
  const Case cases[] = {
      {[](std::wstring&) { return true; }, true, {}},
      {[](std::wstring& reason) {
         reason = L"Block size must be greater than zero";
         return false;
       },
       false,
       {L"Create failed: Block size must be greater than zero"}},
      {[](std::wstring&) -> bool { throw std::runtime_error("disk went away"); }, false,
       {L"Create failed: disk went away"}},
      {[](std::wstring&) -> bool { throw std::runtime_error("caf\xc3\xa9 au lait"); }, false,
       {L"Create failed: caf\u00e9 au lait"}},
      {[](std::wstring&) -> bool { throw 42; }, false, {L"Create failed: Unexpected error."}},
  };
  for (const Case& c : cases) {
    std::vector<std::wstring> lines;
    bool succeeded = runLogged(L"Create failed: ", c.operation, [&](const std::wstring& line) { lines.push_back(line); });
    EXPECT_EQ(succeeded, c.succeeded);
    EXPECT_EQ(lines, c.lines);
  }
}

TEST(RunLogged, FileSystemErrorsNameTheirPath) {
  std::vector<std::wstring> lines;
  runLogged(
      L"Extract failed: ",
      [](std::wstring&) -> bool {
        throw std::filesystem::filesystem_error("cannot create directories", std::filesystem::path(L"C:\\d\u00e9st"),
                                                std::make_error_code(std::errc::permission_denied));
      },
      [&](const std::wstring& line) { lines.push_back(line); });
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with(L"Extract failed: ")) << ablative::toUtf8(lines[0]);
  EXPECT_NE(lines[0].find(L"d\u00e9st"), std::wstring::npos) << ablative::toUtf8(lines[0]);
}

}  // namespace
