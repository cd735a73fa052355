// Drives the real ZarvikArchiver.exe from another process as a person would, and reads back what the window shows,
// the files it wrote and the registry. Every wait polls a condition with a time limit.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>

#include "extract_fixture.h"
#include "main_window.h"
#include "shell_registration.h"

using namespace zarvik;

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::wstring>;

const wchar_t kIdleStatus[] = L"Progress: 0/0 blocks | Freed: 0.00 MB";
const wchar_t kSucceeded[] = L"Operation finished successfully.";
const wchar_t kFailed[] = L"Operation ended with errors.";

std::string utf8(const std::wstring& text) { return ablative::toUtf8(text); }
std::wstring pathText(const fs::path& path) { return fs::path(path).make_preferred().wstring(); }
std::wstring programBesideDriver() { return fs::path(moduleFilePath(nullptr)).replace_filename(L"ZarvikArchiver.exe"); }

// Patience is generous: a loaded 2-core machine under Wine.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds patience = std::chrono::seconds(60)) {
  for (auto deadline = std::chrono::steady_clock::now() + patience; !condition(); Sleep(20))
    if (std::chrono::steady_clock::now() > deadline) return false;
  return true;
}

LRESULT send(HWND window, UINT message, WPARAM w = 0, LPARAM l = 0) { return SendMessageW(window, message, w, l); }

std::wstring textOf(HWND window) {
  std::wstring text(send(window, WM_GETTEXTLENGTH) + 1, L'\0');
  text.resize(send(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data())));
  return text;
}

// The real program, started with `arguments`; ended at once when the test is done.
struct App {
  explicit App(const Lines& arguments = {}, const std::wstring& program = programBesideDriver()) {
    std::wstring commandLine = L"\"" + program + L"\"";
    for (const std::wstring& argument : arguments) commandLine += L" \"" + argument + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, 0, 0, nullptr, nullptr, &startup, &p))
      ADD_FAILURE() << "cannot start " << utf8(program) << ": error " << GetLastError();
  }
  ~App() {
    TerminateProcess(p.hProcess, 0), WaitForSingleObject(p.hProcess, INFINITE);
    CloseHandle(p.hThread), CloseHandle(p.hProcess);
  }
  PROCESS_INFORMATION p{};
  HWND window_{};
  bool ended() { return WaitForSingleObject(p.hProcess, 0) == WAIT_OBJECT_0; }

  // The first visible top-level window of `className` that the program's main thread made.
  HWND waitForWindow(const wchar_t* className) {
    HWND found = nullptr;
    waitFor([&] {
      while ((found = FindWindowExW(nullptr, found, className, nullptr)) != nullptr)
        if (GetWindowThreadProcessId(found, nullptr) == p.dwThreadId && IsWindowVisible(found)) return true;
      return ended();
    });
    if (!found) ADD_FAILURE() << "no " << utf8(className) << " window (is there a display? see with-xvfb.sh)";
    return found;
  }
  HWND window() { return window_ ? window_ : (window_ = waitForWindow(L"ZarvikArchiverMainWindow")); }
  HWND control(int id) { return GetDlgItem(window(), id); }
  std::wstring text(int id) { return textOf(control(id)); }
  bool enabled(int id) { return IsWindowEnabled(control(id)); }
  int page() { return static_cast<int>(send(control(kTabControlId), TCM_GETCURSEL)); }
  void type(int id, const std::wstring& text) { send(control(id), WM_SETTEXT, 0, LPARAM(text.c_str())); }
  // The header's item rectangles live in the other process: walk along it until the page turns.
  void clickTab(int page) {
    HWND tab = control(kTabControlId);
    for (int x = 20; x < 400 && this->page() != page; x += 10)
      send(tab, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, 10)), send(tab, WM_LBUTTONUP, 0, MAKELPARAM(x, 10));
    ASSERT_EQ(this->page(), page);
  }
  Lines log() {
    Lines lines;
    std::wstring text = this->text(kLogEditId);
    for (size_t start = 0, end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
      lines.push_back(text.substr(start, end - start));
    return lines;
  }
  // The log's lines after its first `known` ones, once they end an operation.
  Lines waitForLog(size_t known) {
    Lines lines;
    bool ended = waitFor([&] {
      Lines all = log();
      lines.assign(all.begin() + std::min(known, all.size()), all.end());
      return !lines.empty() && (lines.back() == kSucceeded || lines.back() == kFailed);
    });
    EXPECT_TRUE(ended) << "no operation ended; log:\n" << utf8(text(kLogEditId));
    return lines;
  }
  // Clicks a start button and returns the lines of the operation it started.
  Lines run(int button) {
    size_t known = log().size();
    send(control(button), BM_CLICK);
    return waitForLog(known);
  }
  // Once the timer has shown `expected`, any command posted before has been handled too.
  void waitForStatus(const std::wstring& expected) {
    EXPECT_TRUE(waitFor([&] { return text(kStatusLabelId) == expected; })) << utf8(text(kStatusLabelId));
  }
  void expectIdle() {
    EXPECT_EQ(std::tuple(enabled(kCreateButtonId), enabled(kExtractButtonId), enabled(kResumeButtonId),
                         enabled(kPauseButtonId), text(kPauseButtonId)),
              std::tuple(true, true, true, false, L"Pause"));
  }
};

using testutil::Packing, testutil::Scene, testutil::Tree;
Tree makeTree(const fs::path& root) {
  Tree tree{{"a.bin", testutil::mixedBytes(200 * 1024, 7)}, {"empty.txt", {}}, {"sub/c.txt", testutil::bytesOf("hi")}};
  for (const auto& [name, bytes] : tree) testutil::writeFile(root / name, bytes);
  return tree;
}

// `tree` zipped and split in two: NAME.001 and NAME.002.
void writeZipParts(const fs::path& name, const Tree& tree) {
  const testutil::Bytes zip = Scene(tree, Packing::ZipStored).original;
  const auto middle = zip.begin() + static_cast<std::ptrdiff_t>(zip.size() / 2);
  testutil::writeFile(fs::path(name) += ".001", testutil::Bytes(zip.begin(), middle));
  testutil::writeFile(fs::path(name) += ".002", testutil::Bytes(middle, zip.end()));
}

// A journal of 5 blocks, every one released: a run stopped just before it deleted the archive.
const std::string kReleasedJournal = std::string("ZVKJWIN\0\1\0\0\0\5\0\0\0", 16) + std::string(5, '\2');

// Wine cannot zero file ranges, which a .zvka archive's groups need; a zip's are cut away whole.
std::wstring ablativeOutcome(const std::wstring& destination, bool zeroes = true) {
  return testutil::runningUnderWine() && zeroes ? L"Extract failed: FSCTL_SET_ZERO_DATA failed (error 50)"
                                                : L"Extraction complete: " + destination;
}

// Size, title, controls; each tab shows its page's fields, the shared controls stay; Pause takes the clicks on the
// status line it overlaps; the log takes far more than an edit's usual 30000 characters; every start rewrites the
// menu's registry values, as REG_SZ with the terminator, to name the program started.
TEST(MainWindow, TabsShowOnePageAndTheMenuNamesTheProgramStarted) {
  const std::vector<RegistryValue> values = shellVerbValues(programBesideDriver());
  for (const RegistryValue& value : values) setRegistryString(value.key, value.name, L"stale");
  App app;
  HWND window = app.window();
  ASSERT_NE(window, nullptr);
  RECT r;
  GetWindowRect(window, &r);
  EXPECT_EQ(std::tuple(textOf(window), r.right - r.left, r.bottom - r.top),
            std::tuple(L"Zarvik Archiver - Windows", 720L, 600L));
  int children = 0;
  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) ++children;
  EXPECT_EQ(std::pair(children, app.text(kBlockSizeEditId)), std::pair(25, std::wstring(L"4096")));
  const std::vector<int> pages[] = {
      {kSourceEditId, kSelectFileId, kSelectSourceFolderId, kOutputEditId, kSelectArchiveFileId, kBlockSizeEditId,
       kCreateButtonId},
      {kArchiveEditId, kSelectArchiveId, kDestinationEditId, kSelectDestinationFolderId, kKeepOriginalCheckId,
       kExtractButtonId, kResumeButtonId, kForecastLabelId},
      {kTabControlId, kProgressBarId, kStatusLabelId, kPauseButtonId, kLogEditId}};  // on both
  for (int page : {1, 0}) {
    app.clickTab(page);
    for (int shown : {0, 1, 2}) {
      for (int id : pages[shown]) EXPECT_EQ(IsWindowVisible(app.control(id)) != 0, shown == 2 || shown == page) << id;
    }
  }
  EXPECT_EQ(ChildWindowFromPointEx(window, POINT{610, 340}, CWP_SKIPINVISIBLE), app.control(kPauseButtonId));
  EXPECT_GT(static_cast<DWORD>(send(app.control(kLogEditId), EM_GETLIMITTEXT)), 1u << 24);
  app.waitForStatus(kIdleStatus);
  for (const RegistryValue& value : values) {
    wchar_t data[4096] = {};
    DWORD type = 0, size = sizeof(data);
    LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, value.key.c_str(),
                                  value.name.empty() ? nullptr : value.name.c_str(), RRF_RT_ANY, &type, data, &size);
    EXPECT_EQ(std::tuple(status, type, size, std::wstring(data)),
              std::tuple(ERROR_SUCCESS, DWORD{REG_SZ}, DWORD((value.data.size() + 1) * sizeof(wchar_t)), value.data))
        << utf8(value.key + L" " + value.name);
  }
}

// Create (paused and resumed), extract keeping the original, extract ablatively, close while a creation waits.
TEST(Operations, EndToEnd) {
  testutil::ScratchDir dir;
  Tree tree = makeTree(dir / "photos");
  const std::wstring output = pathText(dir / "data"), archive = output + L".zvka";  // the extension is added
  App app;
  app.type(kSourceEditId, pathText(dir / "photos"));
  app.type(kOutputEditId, output);
  app.type(kBlockSizeEditId, L"64");
  // Create, a second start while busy (ignored) and Pause, all queued before the window handles the first: its
  // thread held meanwhile, as a loaded machine may otherwise let creation end before the pause arrives.
  auto startPaused = [&] {
    const HWND create = app.control(kCreateButtonId), window = app.window(), pause = app.control(kPauseButtonId);
    SuspendThread(app.p.hThread);
    PostMessageW(create, BM_CLICK, 0, 0);
    PostMessageW(window, WM_COMMAND, kCreateButtonId, 0);
    PostMessageW(pause, BM_CLICK, 0, 0);
    ResumeThread(app.p.hThread);
    ASSERT_TRUE(waitFor([&] { return app.text(kPauseButtonId) == L"Resume" && !app.enabled(kCreateButtonId); }));
  };
  startPaused();
  // The engine announces the first file, then waits before its first block while the status line says so.
  ASSERT_TRUE(waitFor([&] {
    std::wstring status = app.text(kStatusLabelId);
    return app.log().size() == 3 && status.starts_with(L"Progress: 0/") && status.ends_with(L" | Paused");
  })) << utf8(app.text(kStatusLabelId));
  send(app.control(kPauseButtonId), BM_CLICK);
  Lines lines = app.waitForLog(0);
  ASSERT_EQ(lines.size(), 9u) << utf8(app.text(kLogEditId));
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + 7),
            (Lines{L"Starting archive creation...", L"Paused.", L"Packing: a.bin", L"Resumed.", L"Packing: empty.txt",
                   L"Packing: sub/c.txt", L"Archive created: " + archive}));
  EXPECT_EQ(lines.back(), kSucceeded);
  EXPECT_EQ(std::pair(app.text(kOutputEditId), app.text(kArchiveEditId)), std::pair(archive, archive));  // both filled
  app.waitForStatus(L"Progress: 5/5 blocks | Freed: 0.00 MB");  // 200 KiB in 64 KiB blocks, and one small block
  EXPECT_EQ(send(app.control(kProgressBarId), PBM_GETPOS), 100);
  app.expectIdle();
  const testutil::Bytes before = testutil::readFile(archive);
  const std::wstring kept = pathText(dir / "out" / "kept");  // made by the engine
  app.clickTab(1);
  app.type(kDestinationEditId, kept);
  send(app.control(kKeepOriginalCheckId), BM_CLICK);
  lines = app.run(kExtractButtonId);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines.front(), L"Starting extraction and keeping the original archive...");
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
            (Lines{L"Original archive kept as requested.", L"Extraction complete: " + kept, kSucceeded}));
  EXPECT_EQ(testutil::readTree(kept), tree);
  EXPECT_EQ(testutil::readFile(archive), before);
  send(app.control(kKeepOriginalCheckId), BM_CLICK);
  app.type(kDestinationEditId, output);
  lines = app.run(kExtractButtonId);
  EXPECT_EQ(lines.front(), L"Starting extraction...");
  EXPECT_EQ(lines[lines.size() - 2], ablativeOutcome(output));
  app.expectIdle();
  // Two archives into one folder, the first named with a space, the second a volume set named by its last part.
  const Tree first{{"f/a b.txt", testutil::bytesOf("first")}}, second{{"f/c.txt", testutil::bytesOf("second")}};
  const std::wstring zip = pathText(dir / "a b.zip"), parts = pathText(dir / "c.zip."), merged = pathText(dir / "m");
  testutil::writeFile(zip, Scene(first, Packing::ZipStored).original);
  writeZipParts(dir / "c.zip", second);
  app.type(kArchiveEditId, L"\"" + zip + L"\" \"" + parts + L"002\"");
  app.type(kDestinationEditId, merged);
  lines = app.run(kExtractButtonId);
  for (const std::wstring& line : {L"Archive 1 of 2: " + zip, L"Archive 2 of 2: " + parts + L"001"})
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << utf8(app.text(kLogEditId));
  EXPECT_EQ(lines.back(), kSucceeded);
  Tree both = first;
  both.insert(second.begin(), second.end());
  EXPECT_EQ(testutil::readTree(merged), both);
  EXPECT_FALSE(fs::exists(zip) || fs::exists(parts + L"001") || fs::exists(parts + L"002"));
  app.clickTab(0);
  app.type(kOutputEditId, pathText(dir / "second.zvka"));
  startPaused();
  DWORD code = PostMessageW(app.window(), WM_CLOSE, 0, 0) ? STILL_ACTIVE : 1;
  EXPECT_TRUE(waitFor([&] { return app.ended(); }) && GetExitCodeProcess(app.p.hProcess, &code) && !code) << code;
  EXPECT_FALSE(fs::exists(dir / "second.zvka"));
}

TEST(Operations, EachRefusalIsOneLogLine) {
  testutil::ScratchDir dir;
  const std::wstring source = pathText(dir.path()), file = pathText(dir / "a.zvka"), missing = pathText(dir / "gone");
  testutil::writeFile(dir / "a.zvka", "not read before the checks");
  testutil::writeFile(dir / "a.zvka.ZVKJ", std::string("ZVKJWIN\0", 8) + std::string(56, '\0'));
  // clang-format off
  const std::tuple<int, std::wstring, std::wstring, std::wstring> cases[] = {  // button, the page's two fields, line
      {kCreateButtonId, L"", missing, L"Create failed: Set source file/folder and archive output path."},
      {kCreateButtonId, missing, missing, L"Create failed: Source must be an existing file or folder."},
      {kCreateButtonId, source, source, L"Create failed: Archive output must be a file path."},
      {kExtractButtonId, file, L"", L"Extract failed: Set archive file and destination folder."},
      {kExtractButtonId, missing + L".zvka.zvkj", missing, L"Extract failed: Please select the .zvka archive file."},
      {kExtractButtonId, missing + L".zvka", missing, L"Extract failed: Archive path must be an existing file."},
      {kExtractButtonId, file, file, L"Extract failed: Destination must be a folder path."},
      // A journal named in capitals is not taken for one: the engine gets it and refuses it.
      {kExtractButtonId, file + L".ZVKJ", missing, L"Extract failed: Invalid archive format (bad magic). "
                                                   L"Ensure you selected a .zvka archive, not a .zvkj journal."},
  };
  // clang-format on
  App app;
  for (const auto& [button, first, second, line] : cases) {
    bool create = button == kCreateButtonId;
    app.clickTab(create ? 0 : 1);
    app.type(create ? kSourceEditId : kArchiveEditId, first);
    app.type(create ? kOutputEditId : kDestinationEditId, second);
    EXPECT_EQ(app.run(button),
              (Lines{create ? L"Starting archive creation..." : L"Starting extraction...", line, kFailed}));
    app.expectIdle();
  }
  EXPECT_EQ(app.text(kOutputEditId), source);  // refused before the extension was added
}

// The folder of 1 MB that tests/gui/CMakeLists.txt mounts, as Wine names it; empty where it is not there.
std::wstring smallFileSystem() {
  const char* unixPath = std::getenv("ZARVIK_SMALL_FS");
  if (unixPath == nullptr) return {};
  const std::wstring path = L"Z:" + fs::path(unixPath).make_preferred().wstring();
  ULARGE_INTEGER free{};
  return GetDiskFreeSpaceExW(path.c_str(), &free, nullptr, nullptr) && free.QuadPart <= (1u << 20) ? path : L"";
}

// Once the archive and the destination are chosen, the Extract page tells whether the run fits, for a consuming run
// and one that keeps the archive; one that does not fit is refused with the command line's message.
TEST(Operations, TheExtractPageTellsWhetherARunFits) {
  const std::wstring small = smallFileSystem();
  if (small.empty()) GTEST_SKIP() << "no 1 MB file system (mounting it needs root)";
  testutil::ScratchDir dir;
  const std::wstring large = pathText(dir / "large.zvka"), tiny = pathText(dir / "tiny.zvka");
  testutil::writeFile(dir / "large" / "a.bin", testutil::mixedBytes(2 << 20, 3));
  ASSERT_TRUE(ablative::createArchive(pathText(dir / "large"), large, 65536, {}, {}, {}).ok());
  makeTree(dir / "tiny");
  ASSERT_TRUE(ablative::createArchive(pathText(dir / "tiny"), tiny, 65536, {}, {}, {}).ok());
  const std::wstring destination = small + L"\\out";
  ablative::ArchiveDescription d;
  ASSERT_TRUE(ablative::describeArchive(large, destination, ablative::kDefaultGroupBytes, d).ok());
  App app;
  app.clickTab(1);
  // As a person leaves the destination field (the edit's own notice), or clicks the check box.
  auto forecastFor = [&](const std::wstring& archive, bool clickKeep) {
    app.type(kArchiveEditId, archive);
    app.type(kDestinationEditId, destination);
    if (clickKeep) send(app.control(kKeepOriginalCheckId), BM_CLICK);
    else
      send(app.window(), WM_COMMAND, MAKEWPARAM(kDestinationEditId, EN_KILLFOCUS),
           LPARAM(app.control(kDestinationEditId)));
    std::wstring line;
    EXPECT_TRUE(waitFor([&] { return !(line = app.text(kForecastLabelId)).empty(); }));
    return line;
  };
  EXPECT_EQ(forecastFor(large, false), L"Needs 2.1 MB of 1.0 MB free: does not fit");
  EXPECT_EQ(app.run(kExtractButtonId),
            (Lines{L"Starting extraction...",
                   L"Extract failed: Not enough free space at " + destination + L": the extraction needs " +
                       std::to_wstring(d.space.ablative) + L" bytes, 1048576 are free",
                   L"No group size makes it fit.", kFailed}));
  EXPECT_FALSE(fs::exists(destination));
  EXPECT_EQ(forecastFor(tiny, true), L"Needs 225.3 kB of 1.0 MB free: fits");
  const Lines lines = app.run(kExtractButtonId);
  EXPECT_EQ(Lines(lines.end() - 2, lines.end()), (Lines{L"Extraction complete: " + destination, kSucceeded}));
  fs::remove_all(destination);
}

// Extraction against real journals: an archive another process holds, a resume into a folder that lacks what was
// already extracted (refused, nothing written), and a resume that has only the final deletion left.
TEST(Operations, ResumeWithRealJournals) {
  testutil::ScratchDir dir;
  Tree tree = makeTree(dir / "photos");
  const std::wstring archive = pathText(dir / "a.zvka"), out = pathText(dir / "out"), other = pathText(dir / "other");
  ASSERT_TRUE(ablative::createArchive(pathText(dir / "photos"), archive, 65536, {}, {}, {}).ok());
  ASSERT_TRUE(testutil::extractKeeping(archive, out).ok());
  testutil::writeFile(dir / "a.zvka.zvkj", kReleasedJournal);
  App app;
  app.clickTab(1);
  app.type(kArchiveEditId, archive);
  app.type(kDestinationEditId, other);
  {
    HANDLE held = CreateFileW(archive.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(app.run(kExtractButtonId),
              (Lines{L"Starting extraction...", L"Extract failed: Archive is in use by another extraction", kFailed}));
    CloseHandle(held);
  }
  EXPECT_EQ(app.run(kResumeButtonId),
            (Lines{L"Resuming extraction...",
                   L"Extract failed: The destination does not hold the data already extracted from this archive: " +
                       other + L"\\a.bin",
                   kFailed}));
  EXPECT_FALSE(fs::exists(other));
  app.type(kDestinationEditId, out);
  const Lines lines = app.run(kResumeButtonId);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(Lines(lines.end() - 2, lines.end()), (Lines{L"Extraction complete: " + out, kSucceeded}));
  EXPECT_EQ(testutil::readTree(out), tree);
  EXPECT_FALSE(fs::exists(archive) || fs::exists(dir / "a.zvka.zvkj"));
  // Only the journal left, named in place of its archive: a resume removes it, as the command line's does.
  testutil::writeFile(dir / "a.zvka.zvkj", kReleasedJournal);
  app.type(kArchiveEditId, archive + L".zvkj");
  EXPECT_EQ(app.run(kResumeButtonId),
            (Lines{L"Resuming extraction...", L"Info: Resume file selected; switched to archive: " + archive,
                   L"Extraction complete: " + out, kSucceeded}));
  EXPECT_FALSE(fs::exists(dir / "a.zvka.zvkj"));
}

TEST(QuickActions, EachKindFillsItsPageAndStartsOrWaits) {
  const wchar_t* extraction = L"Quick action detected: starting extraction...";
  // Option (null: the path alone), argument, first log line, page, its two path fields ("" empty, "." the folder),
  // whether it starts.
  // clang-format off
  const std::tuple<const wchar_t*, const char*, const wchar_t*, int, std::array<const char*, 2>, bool> cases[] = {
      {L"--context-archive", "photos", L"Quick action detected: starting archive creation...", 0,
       {"photos", "photos_1.zvka"}, true},
      {L"--context-extract-here", "a.zvka", extraction, 1, {"a.zvka", "."}, true},
      {L"--context-extract-to", "a.zvka", extraction, 1, {"a.zvka", "a"}, true},
      {L"--context-extract", "a.zvka.zvkj", extraction, 1, {"a.zvka", "a"}, true},  // the journal leads to its archive
      {L"--context-extract-to", "p.zip", extraction, 1, {"p.zip", "p"}, true},
      {L"--context-extract-to", "s.zip.002", extraction, 1, {"s.zip.002", "s"}, true},  // a part stands for its set
      {nullptr, "a.zvka", L"Archive loaded from file association.", 1, {"a.zvka", "a_extracted_1"}, false},
      {nullptr, "x.zvka", L"Archive path is not accessible. Check the path and try again.", 1, {"x.zvka", ""}, false},
      {L"--context-archive", "gone", L"Quick action path is invalid. Waiting for manual input.", 0, {"", ""}, false},
  };
  // clang-format on
  for (const auto& [option, argument, line, page, paths, starts] : cases) {
    SCOPED_TRACE(utf8(option ? option : L"") + " " + argument);
    testutil::ScratchDir dir;
    makeTree(dir / "photos");
    ASSERT_TRUE(ablative::createArchive(pathText(dir / "photos"), pathText(dir / "a.zvka"), 65536, {}, {}, {}).ok());
    for (const char* file : {"photos.zvka", "a.zvka.zvkj"}) testutil::writeFile(dir / file, std::string());
    for (const char* folder : {"a", "a_extracted"}) fs::create_directories(dir / folder);
    testutil::writeFile(dir / "p.zip", Scene({{"hi.txt", testutil::bytesOf("hi")}}, Packing::ZipStored).original);
    writeZipParts(dir / "s.zip", {{"hi.txt", testutil::bytesOf("hi")}});
    App app(option ? Lines{option, pathText(dir / argument)} : Lines{pathText(dir / argument)});
    std::array<std::wstring, 2> fields;
    for (int i : {0, 1}) fields[i] = !*paths[i] ? L"" : pathText(*paths[i] == '.' ? dir.path() : dir / paths[i]);
    if (starts) {
      Lines lines = app.waitForLog(0);
      ASSERT_GE(lines.size(), 4u);
      EXPECT_EQ(Lines(lines.begin(), lines.begin() + 2),
                (Lines{line, page ? L"Starting extraction..." : L"Starting archive creation..."}));
      const bool zeroes = fields[0].find(L".zip") == std::wstring::npos;
      EXPECT_EQ(page ? lines[lines.size() - 2] : lines.back(), page ? ablativeOutcome(fields[1], zeroes) : kSucceeded);
    } else {
      app.waitForStatus(kIdleStatus);
      EXPECT_EQ(app.log(), Lines{line});
    }
    EXPECT_EQ(std::tuple(app.page(), IsWindowVisible(app.control(page ? kArchiveEditId : kSourceEditId))),
              std::tuple(page, TRUE));
    EXPECT_EQ(app.text(page ? kArchiveEditId : kSourceEditId), fields[0]);
    EXPECT_EQ(app.text(page ? kDestinationEditId : kOutputEditId), fields[1]);
  }
}

TEST(QuickActions, OptionWithoutPathShowsTheMissingPathMessageFirst) {
  App app({L"--context-extract-here"});
  HWND box = app.waitForWindow(L"#32770");
  EXPECT_EQ(std::pair(textOf(box), textOf(GetDlgItem(box, 0xFFFF))),
            std::pair(std::wstring(L"Zarvik Archiver"), std::wstring(L"Missing path argument for context command.")));
  EXPECT_EQ(FindWindowW(L"ZarvikArchiverMainWindow", nullptr), nullptr) << "the window came before the answer";
  send(GetDlgItem(box, IDOK), BM_CLICK);
  app.waitForStatus(kIdleStatus);
  EXPECT_TRUE(app.log().empty());
}

}  // namespace
