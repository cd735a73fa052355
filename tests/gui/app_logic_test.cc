// The Windows program's logic that needs no window; the driver covers the rest.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include <windows.h>
#include <shellapi.h>  // after windows.h

#include "app_state.h"
#include "command_line.h"
#include "main_window.h"
#include "path_rules.h"
#include "platform/env.h"
#include "shell_registration.h"
#include "test_util.h"

using namespace zarvik;
using ablative::toUtf8;

namespace {

TEST(BlockSizeField, UsesWholeKilobytesFrom64UpToWhatFitsIn32Bits) {
  const uint32_t fallback = ablative::kDefaultBlockSize;
  // clang-format off
  const std::pair<const wchar_t*, uint32_t> cases[] = {  // the last three too large for 32-bit bytes, int, any number
      {L"4096", 4194304}, {L"64", 65536}, {L" 128kb", 131072}, {L"4194303", 4294966272u}, {L"63", fallback},
      {L"-8", fallback}, {L"", fallback}, {L"abc", fallback}, {L"4194304", fallback}, {L"2147483648", fallback},
      {L"99999999999999999999", fallback}};
  // clang-format on
  for (const auto& [text, bytes] : cases) EXPECT_EQ(blockSizeFromField(text), bytes) << toUtf8(text);
}

TEST(PathRules, ExtensionStemParentAndTheArchiveExtension) {
  const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*, bool> cases[] = {
      // path, extension, stem, parent, whether it names an archive or a journal
      {L"C:\\out\\backup.", L".", L"backup", L"C:\\out", false},
      {L"C:\\x.zvka\\", L"", L"", L"C:\\x.zvka", false},
      {L"C:\\out\\.zvka", L"", L".zvka", L"C:\\out", false},
      {L"C:\\A.ZVKA", L".ZVKA", L"A", L"C:\\", true},
      {L"C:report.txt.zvka", L".zvka", L"report.txt", L"C:", true},
      {L"C:\\d\\photos.ZiP", L".ZiP", L"photos", L"C:\\d", true},
      {L"a.zvka.txt", L".txt", L"a.zvka", L"", false},
      {L"D:/mixed\\dir/f.tar.gz", L".gz", L"f.tar", L"D:/mixed\\dir", true},
      {L"\\\\server\\share\\a.Zvkj:stream", L".Zvkj", L"a", L"\\\\server\\share", true},
  };
  for (const auto& [path, extension, stem, parent, archiveOrJournal] : cases) {
    SCOPED_TRACE(toUtf8(path));
    EXPECT_EQ(std::tuple(extensionOf(path), stemOf(path), parentOf(path), hasArchiveOrJournalExtension(path)),
              std::tuple(extension, stem, parent, archiveOrJournal));
    EXPECT_EQ(withArchiveExtension(path), *extension ? std::wstring(path) : path + std::wstring(L".zvka"));
  }
}

// Every part of a volume set is extracted into the folder its whole archive would be, and is an archive given alone.
TEST(PathRules, APartOfAVolumeSetStandsForTheSet) {
  // clang-format off
  const std::tuple<const wchar_t*, const wchar_t*, bool> cases[] = {  // path, extraction folder, an archive alone
      {L"C:\\d\\backup.tar.gz", L"backup.tar", true}, {L"C:\\d\\backup.tar.gz.001", L"backup.tar", true},
      {L"C:\\d\\backup.tar.gz.003", L"backup.tar", true}, {L"D:/e/photos.Z02", L"photos", true},
      {L"photos.z01", L"photos", true}, {L"notes.v2.000", L"notes.v2", false},
      {L"notes.v2.2023", L"notes.v2", false}, {L"notes.01", L"notes", false}, {L"notes.zip2", L"notes", false},
  };
  // clang-format on
  for (const auto& [path, folder, archive] : cases) {
    EXPECT_EQ(std::pair(extractionFolderOf(path), hasArchiveOrJournalExtension(path)),
              std::pair(std::wstring(folder), archive))
        << toUtf8(path);
  }
}

// A selection of several files, with spaces in names, reaches the engine as the same paths through the field.
TEST(ArchiveField, HoldsOneOrSeveralPathsAsTheDialogGivesThem) {
  using Paths = std::vector<std::wstring>;
  // clang-format off
  const std::tuple<std::wstring, Paths, std::wstring> selections[] = {  // dialog buffer, paths, field text
      {std::wstring(L"C:\\my d\\a b.zip\0", 16), {L"C:\\my d\\a b.zip"}, L"C:\\my d\\a b.zip"},
      {std::wstring(L"C:\\my d\0a b.zip\0c.tar.001\0", 26), {L"C:\\my d\\a b.zip", L"C:\\my d\\c.tar.001"},
       L"\"C:\\my d\\a b.zip\" \"C:\\my d\\c.tar.001\""},
      {std::wstring(L"C:\\\0x\0y\0", 8), {L"C:\\x", L"C:\\y"}, L"\"C:\\x\" \"C:\\y\""},
  };
  // clang-format on
  for (const auto& [buffer, paths, text] : selections) {
    EXPECT_EQ(dialogSelection((buffer + L'\0').c_str()), paths);
    EXPECT_EQ(std::pair(archiveFieldText(paths), archiveFieldPaths(text)), std::pair(text, paths));
  }
  // clang-format off
  const std::pair<const wchar_t*, Paths> typed[] = {  // as a person may type or trim them
      {L"", {}}, {L" a b.zip ", {L" a b.zip "}}, {L"\"\"", {}}, {L"  \"a b\"c  d \"e", {L"a b", L"c", L"d", L"e"}}};
  // clang-format on
  for (const auto& [text, paths] : typed) EXPECT_EQ(archiveFieldPaths(text), paths) << toUtf8(text);
}

TEST(MakeUniquePath, NumbersTheStemUntilTheNameIsFree) {
  const std::tuple<std::vector<std::string>, const char*, const char*> cases[] = {
      // existing, path, result
      {{}, "photos.zvka", "photos.zvka"},
      {{"photos.zvka", "photos_1.zvka", "photos_2.zvka/"}, "photos.zvka", "photos_3.zvka"},
      {{"report.txt.zvka"}, "report.txt.zvka", "report.txt_1.zvka"},
  };
  for (const auto& [existing, path, expected] : cases) {
    testutil::ScratchDir dir;
    for (const std::string& name : existing) {
      if (name.ends_with("/")) std::filesystem::create_directories(dir / name);
      else testutil::writeFile(dir / name, name);
    }
    EXPECT_EQ(makeUniquePath((dir / path).make_preferred().wstring()), (dir / expected).make_preferred().wstring());
  }
}

TEST(ParseArguments, RecognisesOptionsExactlyAndArchivePathsAlone) {
  using enum QuickActionKind;
  const std::wstring p = L"C:\\d\\a.zvka";
  const std::tuple<std::vector<std::wstring>, std::optional<QuickAction>, bool> cases[] = {
      {{L"--context-extract-to", p, L"ignored", L"--context-archive"}, QuickAction{ExtractTo, p}, false},
      {{L"--CONTEXT-ARCHIVE", p}, std::nullopt, false},
      {{L"--context-archived", p}, std::nullopt, false},
      {{L"C:\\d\\a.zvka.ZvKj", L"extra"}, QuickAction{Open, L"C:\\d\\a.zvka.ZvKj"}, false},
      {{L"C:\\d\\photos.zip"}, QuickAction{Open, L"C:\\d\\photos.zip"}, false},
      {{L"C:\\d\\a.txt"}, std::nullopt, false},
  };
  for (const auto& [arguments, action, missingPath] : cases) {
    std::vector<std::wstring> all{L"ZarvikArchiver.exe"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    ParsedCommandLine parsed = parseArguments(all);
    SCOPED_TRACE(toUtf8(arguments[0]));
    ASSERT_EQ(std::pair(parsed.missingPath, parsed.action.has_value()), std::pair(missingPath, action.has_value()));
    if (!action) continue;
    EXPECT_EQ(std::tie(parsed.action->kind, parsed.action->path), std::tie(action->kind, action->path));
  }
}

// Dropped archives and journals, all of them, go to the Extract page, even beside other paths; a folder named like an
// archive is packed; a plain file or folder alone goes to the Create page.
TEST(DropTarget, ArchivesFillTheExtractPageAnythingElseTheSource) {
  testutil::ScratchDir dir;
  std::filesystem::create_directories(dir / "odd.zip");
  const auto path = [&](const char* name) { return (dir / name).make_preferred().wstring(); };
  const std::tuple<std::vector<const char*>, int, std::wstring> cases[] = {
      // dropped, page, field text
      {{"photos"}, 0, path("photos")},
      {{"odd.zip"}, 0, path("odd.zip")},
      {{"a.zvka.zvkj"}, 1, path("a.zvka.zvkj")},
      {{"notes.txt", "a.zvka", "odd.zip", "b.tar.gz.002"},
       1,
       L"\"" + path("a.zvka") + L"\" \"" + path("b.tar.gz.002") + L"\""},
      {{}, -1, L""},
  };
  for (const auto& [dropped, page, text] : cases) {
    std::vector<std::wstring> paths;
    for (const char* name : dropped) paths.push_back(path(name));
    const DropTarget target = dropTargetOf(paths);
    EXPECT_EQ(std::pair(target.page, target.text), std::pair(page, text)) << dropped.size();
  }
}

// The forecast takes the need of the run chosen, keeping or consuming; the advice after a refusal names a group size
// only where one makes the run fit.
TEST(SpaceForecast, SaysWhetherItFitsAndWhatWould) {
  const uint64_t group = ablative::kDefaultGroupBytes;
  const std::tuple<ablative::SpaceNeeds, bool, const wchar_t*, const wchar_t*> cases[] = {
      // needs, keep, line, advice
      {{.freeAtDestination = 80123456789, .ablative = 999, .keep = 1234567890, .groupBytes = group},
       true,
       L"Needs 1.2 GB of 80.1 GB free: fits",
       L""},
      {{.freeAtDestination = 2000000, .ablative = 1500000, .keep = 3000000, .groupBytes = 262144},
       false,
       L"Needs 1.5 MB of 2.0 MB free: fits in groups of 262.1 kB",
       L""},
      {{.freeAtDestination = 2000000, .ablative = 1500000, .keep = 3000000, .groupBytes = 262144},
       true,
       L"Needs 3.0 MB of 2.0 MB free: does not fit",
       L"Without Keep original archive it fits, in groups of 262.1 kB."},
      {{.freeAtDestination = 1000, .ablative = 3000000, .keep = 3000000, .groupBytes = 65536},
       false,
       L"Needs 3.0 MB of 1.0 kB free: does not fit",
       L"No group size makes it fit."},
      {{.freeAtDestination = 999, .ablative = 3000, .keep = 3000, .groupBytes = group},
       true,
       L"Needs 3.0 kB of 999 B free: does not fit",
       L"No group size makes it fit, even without Keep original archive."},
  };
  for (const auto& [needs, keep, line, advice] : cases) {
    EXPECT_EQ(std::pair(forecastLine(needs, keep), spaceAdvice(needs, keep)),
              std::pair(std::wstring(line), std::wstring(advice)));
  }
}

TEST(StatusLine, ShowsBlocksFreedMegabytesAndPauseWithATruncatedPercentage) {
  EXPECT_EQ(statusLineText(3, 10, 1572864, true), L"Progress: 3/10 blocks | Freed: 1.50 MB | Paused");
  EXPECT_EQ(statusLineText(4294967295u, 4294967295u, uint64_t{1} << 63, false),
            L"Progress: 4294967295/4294967295 blocks | Freed: 8796093022208.00 MB");
  const uint32_t percents[][3] = {{0, 0, 0}, {5, 0, 0}, {1, 3, 33}, {4294967295u, 4294967295u, 100}};
  for (const auto& [done, total, percent] : percents) EXPECT_EQ(progressPercent(done, total), percent);
}

// Every menu command, as the shell starts it on the file clicked, names the program and is a quick action the program
// recognises on that file; the program's path is found whatever its length.
TEST(ShellVerbs, EachCommandIsTheQuickActionOfItsLabel) {
  using enum QuickActionKind;
  const std::wstring program = L"C:\\Program Files\\za.exe", file = L"C:\\d\\my photos.zvka";
  const std::vector<RegistryValue> values = shellVerbValues(program);
  // 5 for each owner of Add, 7 for each owner of the two Extract verbs: the extensions listed below
  ASSERT_EQ(values.size(), 2 * 5 + archiveExtensions().size() * 7);
  using Verbs = std::vector<std::pair<std::wstring, QuickActionKind>>;  // each command's label and action
  Verbs verbs;
  for (size_t i = 1; i < values.size(); ++i) {
    if (!values[i].key.ends_with(L"\\command")) continue;
    std::wstring command = values[i].data;
    command.replace(command.find(L"%1"), 2, file);
    int count = 0;
    wchar_t** split = CommandLineToArgvW(command.c_str(), &count);
    const std::vector<std::wstring> arguments(split, split + count);
    LocalFree(split);
    const ParsedCommandLine parsed = parseArguments(arguments);
    ASSERT_TRUE(parsed.action.has_value()) << toUtf8(command);
    EXPECT_EQ(std::pair(arguments[0], parsed.action->path), std::pair(program, file));
    verbs.emplace_back(values[i - 1].data, parsed.action->kind);  // its label comes just before it
  }
  const Verbs::value_type add{L"Add to archive", Archive}, here{L"Extract Here", ExtractHere},
      to{L"Extract to \"%1\\\"", ExtractTo};
  // files, folders, archives, journals, zips, tars, .tgz, .gz, .tzst, .zst, .txz, .xz, .tbz2, .tbz, .bz2 and the
  // first parts of volume sets, .001 and .z01
  Verbs want{add, add};
  for (int extension = 0; extension < 15; ++extension) want.insert(want.end(), {here, to});
  EXPECT_EQ(verbs, want);
  std::vector<std::wstring> menus;  // the keys that README's commands for removing the entries name
  for (const RegistryValue& value : values)
    if (value.data == L"Zarvik Archiver") menus.push_back(value.key);
  const std::wstring classes = L"Software\\Classes\\", types = classes + L"SystemFileAssociations\\",
                     menu = L"\\shell\\ZarvikArchiver";
  EXPECT_EQ(menus, (std::vector<std::wstring>{classes + L"*" + menu, classes + L"Directory" + menu,
                                              types + L".zvka" + menu, types + L".zvkj" + menu, types + L".zip" + menu,
                                              types + L".tar" + menu, types + L".tgz" + menu, types + L".gz" + menu,
                                              types + L".tzst" + menu, types + L".zst" + menu, types + L".txz" + menu,
                                              types + L".xz" + menu, types + L".tbz2" + menu, types + L".tbz" + menu,
                                              types + L".bz2" + menu, types + L".001" + menu, types + L".z01" + menu}));
  std::wstring full = moduleFilePath(nullptr, 32768);
  ASSERT_TRUE(full.ends_with(L".exe"));
  EXPECT_EQ(moduleFilePath(nullptr, 4), full);
  EXPECT_EQ(moduleFilePath(nullptr, full.size()), full);  // exactly full: no room for the terminator
}

TEST(RunLogged, EveryFailureBecomesOnePrefixedLine) {
  const std::pair<std::function<bool(std::wstring&)>, std::vector<std::wstring>> cases[] = {
      {[](std::wstring& reason) { return reason = L"no room", false; }, {L"Create failed: no room"}},
      {[](std::wstring&) -> bool { throw std::runtime_error("caf\xc3\xa9"); }, {L"Create failed: caf\u00e9"}},
      {[](std::wstring&) -> bool { throw 42; }, {L"Create failed: Unexpected error."}},
  };
  for (const auto& [operation, expected] : cases) {
    std::vector<std::wstring> lines;
    bool succeeded = runLogged(L"Create failed: ", operation, [&](const std::wstring& line) { lines.push_back(line); });
    EXPECT_EQ(std::pair(succeeded, lines), std::pair(false, expected));
  }
}

}  // namespace