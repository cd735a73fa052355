// Drives the real ZarvikArchiver.exe from another process, as a person would:
// it types into the edits, clicks buttons and tab headers, answers message
// boxes, and reads back what the window shows, the files it wrote and the
// registry. Every wait polls a condition with a time limit.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ablative.h"
#include "env.h"
#include "format.h"
#include "shell_registration.h"
#include "test_util.h"

using testutil::Bytes;
using testutil::ScratchDir;

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr milliseconds kPatience{60000};  // generous: a loaded 2-core machine under Wine
const wchar_t kMainClass[] = L"ZarvikArchiverMainWindow";
const wchar_t kIdleStatus[] = L"Progress: 0/0 blocks | Freed: 0.00 MB";
const wchar_t kSucceeded[] = L"Operation finished successfully.";
const wchar_t kFailed[] = L"Operation ended with errors.";

enum Id : int {
  kTab = 1000,
  kSource = 1001,
  kOutput = 1004,
  kBlockSize = 1006,
  kCreate = 1007,
  kArchive = 1010,
  kDestination = 1012,
  kExtract = 1014,
  kResume = 1015,
  kKeepOriginal = 1016,
  kPause = 1017,
  kProgress = 1020,
  kLog = 1021,
  kStatus = 1022,
  kAbout = 2001,
};

std::string utf8(const std::wstring& text) { return ablative::toUtf8(text); }

std::wstring pathText(const fs::path& path) { return fs::path(path).make_preferred().wstring(); }

bool waitFor(const std::function<bool()>& condition, milliseconds patience = kPatience) {
  auto deadline = std::chrono::steady_clock::now() + patience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    Sleep(20);
  }
  return true;
}

std::wstring programBesideDriver() {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return pathText(fs::path(self).parent_path() / L"ZarvikArchiver.exe");
}

// The tests' arguments hold no quotes and do not end in a backslash.
std::wstring quoted(const std::wstring& argument) { return L"\"" + argument + L"\""; }

// --- Another process's windows ----------------------------------------------

std::wstring classOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

std::wstring textOf(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 10000, &length)) return L"<no answer>";
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                      10000, &copied);
  text.resize(copied);
  return text;
}

LRESULT send(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 10000, &result);
  return static_cast<LRESULT>(result);
}

// x, y, width, height in the parent's client area.
std::array<long, 4> boundsInParent(HWND control) {
  RECT rect;
  GetWindowRect(control, &rect);
  MapWindowPoints(HWND_DESKTOP, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
  return {rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top};
}

std::vector<HWND> topLevelWindowsOf(DWORD processId) {
  struct Search {
    DWORD processId;
    std::vector<HWND> found;
  } search{processId, {}};
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == s->processId && IsWindowVisible(window)) s->found.push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::vector<std::wstring> splitLines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  size_t start = 0;
  for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

bool contains(const std::vector<std::wstring>& lines, const std::wstring& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// --- The program under test -------------------------------------------------

class App {
 public:
  explicit App(const std::vector<std::wstring>& arguments = {}, const std::wstring& program = programBesideDriver()) {
    std::wstring commandLine = quoted(program);
    for (const std::wstring& argument : arguments) commandLine += L" " + quoted(argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process_)) {
      ADD_FAILURE() << "cannot start " << utf8(program) << ": error " << GetLastError();
      return;
    }
  }

  // Ends the program at once. Closing its window takes Wine two seconds
  // without a window manager; closing is checked once, by
  // ClosingTheWindowEndsTheProgramEvenDuringAnOperation.
  ~App() {
    if (process_.hProcess == nullptr) return;
    TerminateProcess(process_.hProcess, 0);
    WaitForSingleObject(process_.hProcess, INFINITE);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }

  // Closes the window and waits for the program to end by itself.
  std::optional<DWORD> closeAndWaitForExit() {
    PostMessageW(window(), WM_CLOSE, 0, 0);
    if (!waitFor([&] { return WaitForSingleObject(process_.hProcess, 0) == WAIT_OBJECT_0; })) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
  }

  App(const App&) = delete;
  App& operator=(const App&) = delete;

  // The first visible top-level window of the program with `className`.
  HWND waitForWindow(const std::wstring& className) {
    HWND found = nullptr;
    bool shown = waitFor([&] {
      for (HWND window : topLevelWindowsOf(process_.dwProcessId)) {
        if (classOf(window) == className) found = window;
      }
      return found != nullptr || WaitForSingleObject(process_.hProcess, 0) == WAIT_OBJECT_0;
    });
    if (!shown || found == nullptr) {
      DWORD code = 0;
      GetExitCodeProcess(process_.hProcess, &code);
      ADD_FAILURE() << "no " << utf8(className) << " window appeared (program exit code " << code
                    << "; is there a display? test.sh runs the tests under scripts/with-xvfb.sh)";
    }
    return found;
  }

  HWND window() {
    if (window_ == nullptr) window_ = waitForWindow(kMainClass);
    return window_;
  }

  HWND control(int id) { return GetDlgItem(window(), id); }
  std::wstring text(int id) { return textOf(control(id)); }
  bool visible(int id) { return IsWindowVisible(control(id)) != FALSE; }
  bool enabled(int id) { return IsWindowEnabled(control(id)) != FALSE; }

  void type(int id, const std::wstring& text) {
    ASSERT_TRUE(visible(id)) << "field " << id << " is not on the page shown";
    send(control(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }

  void click(int id) {
    ASSERT_TRUE(visible(id) && enabled(id)) << "button " << id << " cannot be clicked now";
    send(control(id), BM_CLICK);
  }

  // The header's item rectangles live in the other process; a person aims
  // at the label, the driver walks along the header until the page turns.
  void clickTab(int page) {
    HWND tab = control(kTab);
    for (int x = 20; x < 400 && send(tab, TCM_GETCURSEL) != page; x += 10) {
      send(tab, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, 10));
      send(tab, WM_LBUTTONUP, 0, MAKELPARAM(x, 10));
    }
    ASSERT_EQ(send(tab, TCM_GETCURSEL), page);
  }

  // A left click through the system's input queue at a point of the client
  // area: it goes to whatever window the system finds there. Each event
  // carries the position, so no earlier pointer motion can move the click.
  void mouseClick(POINT point) {
    ClientToScreen(window(), &point);
    INPUT events[3] = {};
    const DWORD buttons[] = {MOUSEEVENTF_MOVE, MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP};
    for (int i = 0; i < 3; ++i) {
      events[i].type = INPUT_MOUSE;
      events[i].mi.dx = point.x * 65535 / (GetSystemMetrics(SM_CXSCREEN) - 1);
      events[i].mi.dy = point.y * 65535 / (GetSystemMetrics(SM_CYSCREEN) - 1);
      events[i].mi.dwFlags = MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE | buttons[i];
    }
    SendInput(3, events, sizeof(INPUT));
  }

  std::vector<std::wstring> log() { return splitLines(text(kLog)); }

  bool waitForLog(const std::wstring& line) {
    bool seen = waitFor([&] { return contains(log(), line); });
    EXPECT_TRUE(seen) << "log never showed: " << utf8(line) << "\nlog:\n" << utf8(text(kLog));
    return seen;
  }

  // The lines the log gained after its first `known` lines, once the
  // operation running then has ended.
  std::vector<std::wstring> linesUntilEnd(size_t known) {
    std::vector<std::wstring> lines;
    bool ended = waitFor([&] {
      std::vector<std::wstring> all = log();
      lines.assign(all.begin() + std::min(known, all.size()), all.end());
      return !lines.empty() && (lines.back() == kSucceeded || lines.back() == kFailed);
    });
    EXPECT_TRUE(ended) << "the operation did not end; log:\n" << utf8(text(kLog));
    return lines;
  }

  // Clicks a start button and returns the lines of the operation it started.
  std::vector<std::wstring> run(int button) {
    size_t known = log().size();
    click(button);
    return linesUntilEnd(known);
  }

  // The status line once the timer has refreshed it with `expected`.
  bool waitForStatus(const std::wstring& expected) {
    bool shown = waitFor([&] { return text(kStatus) == expected; });
    EXPECT_TRUE(shown) << "status line: " << utf8(text(kStatus)) << ", expected " << utf8(expected);
    return shown;
  }

  void expectIdle() {
    EXPECT_TRUE(enabled(kCreate) && enabled(kExtract) && enabled(kResume));
    EXPECT_FALSE(enabled(kPause));
    EXPECT_EQ(text(kPause), L"Pause");
  }

 private:
  PROCESS_INFORMATION process_{};
  HWND window_ = nullptr;
};

// A folder of files to pack, and what each holds.
struct Tree {
  fs::path root;
  std::vector<std::pair<std::string, Bytes>> files;  // relative path with "/", content
};

Tree makeTree(const fs::path& root) {
  Tree tree{root,
            {{"a.bin", testutil::mixedBytes(200 * 1024, 7)},
             {"empty.txt", {}},
             {"sub/c.txt", testutil::bytesOf("hello from the window\n")}}};
  for (const auto& [name, bytes] : tree.files) testutil::writeFile(root / name, bytes);
  return tree;
}

void expectSameTree(const Tree& tree, const fs::path& destination) {
  for (const auto& [name, bytes] : tree.files) {
    EXPECT_EQ(testutil::readFile(destination / name), bytes) << name;
  }
}

fs::path packWithEngine(const fs::path& source, const fs::path& archive, uint32_t blockSize) {
  std::wstring errorText;
  EXPECT_TRUE(ablative::createArchive(pathText(source), pathText(archive), blockSize, errorText, {}, {}, {}))
      << utf8(errorText);
  return archive;
}

uint32_t blockSizeOf(const fs::path& archive) {
  ablative::ArchiveTables tables;
  std::wstring errorText;
  EXPECT_TRUE(ablative::readAndCheckArchive(pathText(archive), tables, errorText)) << utf8(errorText);
  return tables.header.blockSize;
}

// What an ablative extraction ends with here: Wine cannot zero file ranges.
std::wstring ablativeOutcome(const std::wstring& destination) {
  return testutil::runningUnderWine() ? L"Extract failed: FSCTL_SET_ZERO_DATA failed (error 50)"
                                      : L"Extraction complete: " + destination;
}

// --- The window as built ----------------------------------------------------

struct ExpectedControl {
  const wchar_t* className;
  const wchar_t* text;
  int id;
  std::array<long, 4> bounds;  // x, y, width, height in the main window's client area
  DWORD style;
  DWORD exStyle;
  int page;  // 0 Create, 1 Extract, -1 both
};

const ExpectedControl kExpectedControls[] = {
    {L"SysTabControl32", L"", 1000, {12, 12, 680, 280}, 0x54000000, 0, -1},
    {L"Static", L"Source file or folder:", 0, {28, 48, 170, 20}, 0x50000000, 0, 0},
    {L"Edit", L"", 1001, {28, 70, 500, 24}, 0x50000080, 0x200, 0},
    {L"Button", L"Select File", 1002, {536, 70, 146, 24}, 0x50000000, 0, 0},
    {L"Button", L"Select Folder", 1003, {536, 98, 146, 24}, 0x50000000, 0, 0},
    {L"Static", L"Archive output file:", 0, {28, 104, 170, 20}, 0x50000000, 0, 0},
    {L"Edit", L"", 1004, {28, 126, 500, 24}, 0x50000080, 0x200, 0},
    {L"Button", L"Select Archive File", 1005, {536, 126, 146, 24}, 0x50000000, 0, 0},
    {L"Static", L"Block size in KB:", 0, {28, 160, 120, 20}, 0x50000000, 0, 0},
    {L"Edit", L"4096", 1006, {148, 158, 120, 24}, 0x50000080, 0x200, 0},
    {L"Button", L"Create Archive", 1007, {282, 156, 150, 28}, 0x50000000, 0, 0},
    {L"Static", L"Archive file:", 0, {28, 48, 150, 20}, 0x50000000, 0, 1},
    {L"Edit", L"", 1010, {28, 70, 500, 24}, 0x50000080, 0x200, 1},
    {L"Button", L"Select Archive", 1011, {536, 70, 146, 24}, 0x50000000, 0, 1},
    {L"Static", L"Destination folder:", 0, {28, 104, 150, 20}, 0x50000000, 0, 1},
    {L"Edit", L"", 1012, {28, 126, 500, 24}, 0x50000080, 0x200, 1},
    {L"Button", L"Select Folder", 1013, {536, 126, 146, 24}, 0x50000000, 0, 1},
    {L"Button", L"Keep original archive", 1016, {28, 160, 300, 22}, 0x50000003, 0, 1},
    {L"Button", L"Extract", 1014, {282, 156, 150, 28}, 0x50000000, 0, 1},
    {L"Button", L"Resume Extraction", 1015, {440, 156, 150, 28}, 0x50000000, 0, 1},
    {L"msctls_progress32", L"", 1020, {16, 304, 668, 24}, 0x50000000, 0, -1},
    // Clipped to its siblings so that it never paints over the Pause button.
    {L"Static", L"", 1022, {16, 334, 668, 20}, 0x54000000, 0, -1},
    {L"Button", L"Pause", 1017, {600, 332, 84, 24}, 0x58000000, 0, -1},
    {L"Edit", L"", 1021, {16, 360, 668, 174}, 0x50200844, 0x200, -1},
};

// Finds a control by id, or a label (id 0) by its text.
HWND findControl(HWND window, const ExpectedControl& expected) {
  if (expected.id != 0) return GetDlgItem(window, expected.id);
  for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    if (GetDlgCtrlID(child) == 0 && textOf(child) == expected.text) return child;
  }
  return nullptr;
}

TEST(MainWindow, IsBuiltFromTheControlTable) {
  App app;
  HWND window = app.window();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(textOf(window), L"Zarvik Archiver - Windows");
  EXPECT_EQ(GetWindowLongW(window, GWL_STYLE) & WS_OVERLAPPEDWINDOW, WS_OVERLAPPEDWINDOW);
  RECT outer;
  GetWindowRect(window, &outer);
  EXPECT_EQ(outer.right - outer.left, 720);
  EXPECT_EQ(outer.bottom - outer.top, 600);

  int children = 0;
  for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) ++children;
  EXPECT_EQ(children, 24);
  for (const ExpectedControl& expected : kExpectedControls) {
    SCOPED_TRACE(utf8(expected.text) + " " + std::to_string(expected.id));
    HWND control = findControl(window, expected);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(classOf(control), expected.className);
    if (expected.id != kStatus) {
      EXPECT_EQ(textOf(control), expected.text);  // the status line changes with the timer
    }
    EXPECT_EQ(boundsInParent(control), expected.bounds);
    // The Extract page starts hidden.
    DWORD style = expected.page == 1 ? expected.style & ~WS_VISIBLE : expected.style;
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(control, GWL_STYLE)), style);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(control, GWL_EXSTYLE)), expected.exStyle);
  }
  EXPECT_EQ(send(app.control(kTab), TCM_GETITEMCOUNT), 2);
  EXPECT_EQ(send(app.control(kTab), TCM_GETCURSEL), 0);
  EXPECT_EQ(send(app.control(kProgress), PBM_GETRANGE, TRUE), 0);
  EXPECT_EQ(send(app.control(kProgress), PBM_GETRANGE, FALSE), 100);
  app.waitForStatus(kIdleStatus);
  EXPECT_TRUE(app.log().empty());
  app.expectIdle();
}

TEST(MainWindow, PauseButtonLiesAboveTheStatusLineItOverlaps) {
  App app;
  HWND window = app.window();
  HWND pause = app.control(kPause), status = app.control(kStatus);
  bool pauseSeen = false;
  for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    if (child == pause) pauseSeen = true;
    if (child == status) break;
  }
  EXPECT_TRUE(pauseSeen) << "the status line is above the Pause button";
  POINT overlap{610, 340};  // inside both rectangles
  EXPECT_EQ(ChildWindowFromPointEx(window, overlap, CWP_SKIPINVISIBLE), pause);
}

TEST(MainWindow, AboutBoxNamesTheProgramAndItsMakers) {
  App app;
  PostMessageW(app.window(), WM_COMMAND, kAbout, 0);  // what the Help > About item sends
  HWND box = app.waitForWindow(L"#32770");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(textOf(box), L"About Zarvik Archiver");
  EXPECT_EQ(GetWindow(box, GW_OWNER), app.window());
  std::wstring message = textOf(GetDlgItem(box, 0xFFFF));
  EXPECT_TRUE(message.starts_with(L"Zarvik Archiver\n\nDeveloper: ")) << utf8(message);
  EXPECT_NE(message.find(L"\nCompany: "), std::wstring::npos) << utf8(message);
  send(GetDlgItem(box, IDOK), BM_CLICK);
  EXPECT_TRUE(waitFor([&] { return !IsWindow(box); }));
}

TEST(MainWindow, TabHeaderSwitchesThePages) {
  App app;
  const int createOnly[] = {kSource, kOutput, kBlockSize, kCreate};
  const int extractOnly[] = {kArchive, kDestination, kKeepOriginal, kExtract, kResume};
  const int always[] = {kTab, kProgress, kStatus, kPause, kLog};
  for (int page : {1, 0, 1}) {
    app.clickTab(page);
    for (int id : createOnly) EXPECT_EQ(app.visible(id), page == 0) << id;
    for (int id : extractOnly) EXPECT_EQ(app.visible(id), page == 1) << id;
    for (int id : always) EXPECT_TRUE(app.visible(id)) << id;
  }
}

// --- Operations -------------------------------------------------------------

TEST(Operations, CreateArchivePacksTheSourceAndReadiesTheExtractPage) {
  ScratchDir dir;
  Tree tree = makeTree(dir.path() / "photos");
  const std::wstring output = pathText(dir.path() / "backup");  // no extension: one is added
  const std::wstring archive = output + L".zvka";
  App app;
  app.type(kSource, pathText(tree.root));
  app.type(kOutput, output);
  app.type(kBlockSize, L"64");
  std::vector<std::wstring> lines = app.run(kCreate);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(std::vector<std::wstring>(lines.begin(), lines.begin() + 5),
            (std::vector<std::wstring>{L"Starting archive creation...", L"Packing: a.bin", L"Packing: empty.txt",
                                       L"Packing: sub/c.txt", L"Archive created: " + archive}));
  EXPECT_TRUE(lines[5].starts_with(L"Summary: files=3, source-bytes=204822, ")) << utf8(lines[5]);
  EXPECT_EQ(lines[6], kSucceeded);
  EXPECT_EQ(app.text(kOutput), archive);
  app.clickTab(1);
  EXPECT_EQ(app.text(kArchive), archive);
  // 200 KiB in 64 KiB blocks, nothing for the empty file, one small block.
  app.waitForStatus(L"Progress: 5/5 blocks | Freed: 0.00 MB");
  EXPECT_EQ(send(app.control(kProgress), PBM_GETPOS), 100);
  app.expectIdle();
  EXPECT_EQ(blockSizeOf(archive), 65536u);
  std::wstring errorText;
  ASSERT_TRUE(ablative::verifyArchive(archive, errorText, {})) << utf8(errorText);
}

TEST(Operations, BlockSizeFieldFallsBackToTheDefaultForUnusableValues) {
  ScratchDir dir;
  Tree tree = makeTree(dir.path() / "src");
  App app;
  app.type(kSource, pathText(tree.root));
  const std::pair<const wchar_t*, uint32_t> cases[] = {
      {L" 128kb", 131072}, {L"63", 4194304}, {L"abc", 4194304}, {L"4194304", 4194304}};
  for (const auto& [field, blockSize] : cases) {
    const std::wstring archive = pathText(dir.path() / (L"out" + std::to_wstring(blockSize) + L".zvka"));
    app.type(kOutput, archive);
    app.type(kBlockSize, field);
    EXPECT_EQ(app.run(kCreate).back(), kSucceeded) << utf8(field);
    EXPECT_EQ(blockSizeOf(archive), blockSize) << utf8(field);
  }
}

TEST(Operations, KeepOriginalExtractionRestoresTheTreeAndLeavesTheArchive) {
  ScratchDir dir;
  Tree tree = makeTree(dir.path() / "src");
  fs::path archive = packWithEngine(tree.root, dir.path() / "kept.zvka", 65536);
  const Bytes before = testutil::readFile(archive);
  const std::wstring destination = pathText(dir.path() / "out" / "restored");  // made by the engine
  App app;
  app.clickTab(1);
  app.type(kArchive, pathText(archive));
  app.type(kDestination, destination);
  app.click(kKeepOriginal);
  std::vector<std::wstring> lines = app.run(kExtract);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines.front(), L"Starting extraction and keeping the original archive...");
  EXPECT_EQ(std::vector<std::wstring>(lines.end() - 3, lines.end()),
            (std::vector<std::wstring>{L"Original archive kept as requested.", L"Extraction complete: " + destination,
                                       kSucceeded}));
  EXPECT_TRUE(contains(lines, L"Extracting: a.bin"));
  expectSameTree(tree, destination);
  EXPECT_EQ(testutil::readFile(archive), before);
  EXPECT_FALSE(fs::exists(pathText(archive) + L".zvkj"));
  app.waitForStatus(L"Progress: 5/5 blocks | Freed: 0.00 MB");
  app.expectIdle();
}

TEST(Operations, AblativeExtractionAndItsResumeReportTheEngineOutcome) {
  ScratchDir dir;
  Tree tree = makeTree(dir.path() / "src");
  fs::path archive = packWithEngine(tree.root, dir.path() / "data.zvka", 65536);
  const std::wstring destination = pathText(dir.path() / "data");
  App app;
  app.clickTab(1);
  app.type(kArchive, pathText(archive));
  app.type(kDestination, destination);
  std::vector<std::wstring> lines = app.run(kExtract);
  EXPECT_EQ(lines.front(), L"Starting extraction...");
  EXPECT_EQ(lines[lines.size() - 2], ablativeOutcome(destination));
  if (!testutil::runningUnderWine()) return;  // the rest needs the interrupted run
  EXPECT_EQ(lines.back(), kFailed);
  // Choosing the journal instead of the archive switches back to the archive.
  app.type(kArchive, pathText(archive) + L".zvkj");
  ASSERT_TRUE(fs::exists(pathText(archive) + L".zvkj"));
  lines = app.run(kResume);
  EXPECT_EQ(lines.front(), L"Resuming extraction...");
  EXPECT_EQ(lines[1], L"Info: Resume file selected; switched to archive: " + pathText(archive));
  EXPECT_EQ(lines[lines.size() - 2], ablativeOutcome(destination));
  EXPECT_EQ(app.text(kArchive), pathText(archive));
  app.expectIdle();
}

// Each refusal: one line, then the failure, and the window is idle again.
TEST(Operations, RefusalsAreOneLogLineEach) {
  ScratchDir dir;
  Tree tree = makeTree(dir.path() / "src");
  const std::wstring archive = pathText(packWithEngine(tree.root, dir.path() / "a.zvka", 65536));
  const std::wstring source = pathText(tree.root), file = pathText(tree.root / "sub" / "c.txt");
  const std::wstring missing = pathText(dir.path() / "missing");
  testutil::writeFile(dir.path() / "a.zvka.ZVKJ", std::string("ZVKJWIN\0", 8) + std::string(56, '\0'));
  struct Case {
    int button;
    std::vector<std::pair<int, std::wstring>> fields;
    std::wstring line;  // a line ending in ": " is checked as a prefix
  };
  const Case cases[] = {
      {kCreate, {{kSource, L""}, {kOutput, missing}}, L"Create failed: Set source file/folder and archive output path."},
      {kCreate, {{kSource, source}, {kOutput, L""}}, L"Create failed: Set source file/folder and archive output path."},
      {kCreate, {{kSource, missing}, {kOutput, missing}}, L"Create failed: Source must be an existing file or folder."},
      {kCreate, {{kSource, source}, {kOutput, source}}, L"Create failed: Archive output must be a file path."},
      {kExtract, {{kArchive, L""}, {kDestination, missing}}, L"Extract failed: Set archive file and destination folder."},
      {kExtract, {{kArchive, archive}, {kDestination, L""}}, L"Extract failed: Set archive file and destination folder."},
      {kResume, {{kArchive, missing + L".zvka.zvkj"}, {kDestination, missing}},
       L"Extract failed: Please select the .zvka archive file."},
      {kExtract, {{kArchive, missing + L".zvka"}, {kDestination, missing}},
       L"Extract failed: Archive path must be an existing file."},
      {kExtract, {{kArchive, source}, {kDestination, missing}}, L"Extract failed: Archive path must be an existing file."},
      {kExtract, {{kArchive, archive}, {kDestination, file}}, L"Extract failed: Destination must be a folder path."},
      // A journal named in capitals is not taken for one: the engine gets it and refuses it.
      {kExtract, {{kArchive, archive + L".ZVKJ"}, {kDestination, missing}},
       L"Extract failed: Invalid archive format (bad magic). Ensure you selected a .zvka archive, not a .zvkj journal."},
      // A destination inside a file cannot be made.
      {kExtract, {{kArchive, archive}, {kDestination, file + L"\\inside"}}, L"Extract failed: "},
  };
  App app;
  for (const Case& c : cases) {
    SCOPED_TRACE(utf8(c.line));
    app.clickTab(c.button == kCreate ? 0 : 1);
    for (const auto& [id, text] : c.fields) app.type(id, text);
    std::vector<std::wstring> lines = app.run(c.button);
    ASSERT_EQ(lines.size(), 3u) << utf8(app.text(kLog));
    if (c.line.ends_with(L": ")) {
      EXPECT_TRUE(lines[1].starts_with(c.line) && lines[1].size() > c.line.size()) << utf8(lines[1]);
    } else {
      EXPECT_EQ(lines[1], c.line);
    }
    EXPECT_EQ(lines[2], kFailed);
    app.expectIdle();
  }
  // Refused before anything was written into the fields.
  app.clickTab(0);
  EXPECT_EQ(app.text(kOutput), source);
  app.clickTab(1);
  EXPECT_EQ(app.text(kArchive), archive);
  app.waitForStatus(kIdleStatus);
  EXPECT_FALSE(fs::exists(missing));
}

// Reads "Progress: D/T blocks | ..." back into D.
uint32_t blocksDoneIn(const std::wstring& status) {
  return static_cast<uint32_t>(std::wcstoul(status.c_str() + std::wcslen(L"Progress: "), nullptr, 10));
}

TEST(Operations, PauseHoldsTheOperationAndTheStatusLineSaysSo) {
  ScratchDir dir;
  testutil::writeFile(dir.path() / "big" / "data.bin", testutil::mixedBytes(32 << 20, 3));
  const std::wstring archive = pathText(dir.path() / "big.zvka");
  App app;
  app.type(kSource, pathText(dir.path() / "big"));
  app.type(kOutput, archive);
  app.type(kBlockSize, L"64");  // 512 blocks
  size_t known = app.log().size();
  app.click(kCreate);
  // A real mouse click where the Pause button overlaps the status line.
  app.mouseClick(POINT{610, 340});
  app.waitForLog(L"Paused.");
  EXPECT_EQ(app.text(kPause), L"Resume");
  EXPECT_FALSE(app.enabled(kCreate));
  ASSERT_TRUE(waitFor([&] { return app.text(kStatus).ends_with(L" | Paused"); }));
  // The engine stops before its next block: for a second nothing may move.
  uint32_t heldAt = blocksDoneIn(app.text(kStatus));
  EXPECT_FALSE(waitFor(
      [&] {
        std::wstring status = app.text(kStatus);
        return blocksDoneIn(status) > heldAt + 1 || !status.ends_with(L" | Paused");
      },
      milliseconds(1000)));
  EXPECT_LT(blocksDoneIn(app.text(kStatus)), 512u);
  // A second start while busy does nothing: a posted click, then the Pause
  // button's own command, which runs after it.
  PostMessageW(app.window(), WM_COMMAND, kCreate, 0);
  PostMessageW(app.window(), WM_COMMAND, kPause, 0);
  app.waitForLog(L"Resumed.");
  std::vector<std::wstring> lines = app.linesUntilEnd(known);
  EXPECT_EQ(lines[0], L"Starting archive creation...");
  auto paused = std::find(lines.begin(), lines.end(), L"Paused.");
  ASSERT_NE(paused, lines.end());
  EXPECT_NE(std::find(paused, lines.end(), L"Resumed."), lines.end());
  EXPECT_EQ(std::count(lines.begin(), lines.end(), L"Starting archive creation..."), 1);
  EXPECT_EQ(lines.back(), kSucceeded);
  app.waitForStatus(L"Progress: 512/512 blocks | Freed: 0.00 MB");
  app.expectIdle();
}

TEST(Operations, LogKeepsEveryLineBeyondTheEditControlsUsualLimit) {
  ScratchDir dir;
  const int files = 800;  // about 60000 characters of "Packing: " lines
  for (int i = 0; i < files; ++i) {
    testutil::writeFile(dir / "many" / ("a-rather-long-file-name-for-the-log-" + std::to_string(i) + ".txt"),
                        std::string("x"));
  }
  App app;
  app.type(kSource, pathText(dir / "many"));
  app.type(kOutput, pathText(dir / "many.zvka"));
  std::vector<std::wstring> lines = app.run(kCreate);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::wstring& line) { return line.starts_with(L"Packing: "); }),
            files);
  EXPECT_EQ(lines.back(), kSucceeded);
}

TEST(Operations, ClosingTheWindowEndsTheProgramEvenDuringAnOperation) {
  ScratchDir dir;
  testutil::writeFile(dir / "big" / "data.bin", testutil::mixedBytes(8 << 20, 5));
  App app;
  app.type(kSource, pathText(dir / "big"));
  app.type(kOutput, pathText(dir / "big.zvka"));
  app.type(kBlockSize, L"64");
  app.click(kCreate);
  app.click(kPause);  // the worker stays alive, waiting
  app.waitForLog(L"Paused.");
  EXPECT_EQ(app.closeAndWaitForExit(), std::optional<DWORD>(0));
  EXPECT_FALSE(fs::exists(dir / "big.zvka"));  // cut off before it was complete
}

// --- Quick actions from the command line ------------------------------------

// Once the timer has refreshed the status line, any command a quick action
// posted has been handled: timer messages come after posted ones.
std::vector<std::wstring> logOnceSettled(App& app) {
  app.waitForStatus(kIdleStatus);
  return app.log();
}

TEST(QuickActions, AddToArchiveProposesAFreeNameAndStartsCreation) {
  ScratchDir dir;
  Tree tree = makeTree(dir.path() / "photos");
  testutil::writeFile(dir.path() / "photos.zvka", std::string("taken"));
  App app({L"--context-archive", pathText(tree.root)});
  std::vector<std::wstring> lines = app.linesUntilEnd(0);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], L"Quick action detected: starting archive creation...");
  EXPECT_EQ(lines[1], L"Starting archive creation...");
  EXPECT_EQ(lines.back(), kSucceeded);
  const std::wstring archive = pathText(dir.path() / "photos_1.zvka");
  EXPECT_EQ(app.text(kSource), pathText(tree.root));
  EXPECT_EQ(app.text(kOutput), archive);
  EXPECT_EQ(app.text(kBlockSize), L"4096");
  EXPECT_EQ(send(app.control(kTab), TCM_GETCURSEL), 0);
  EXPECT_TRUE(app.visible(kSource));
  EXPECT_EQ(blockSizeOf(archive), 4194304u);
}

TEST(QuickActions, ExtractEntriesFillTheExtractPageAndStart) {
  struct Case {
    const wchar_t* option;
    const char* argument;     // under the scratch folder
    const char* destination;  // under the scratch folder; "" is the folder itself
  };
  const Case cases[] = {
      {L"--context-extract-here", "a.zvka", ""},
      {L"--context-extract-to", "a.zvka", "a"},
      {L"--context-extract", "a.zvka.zvkj", "a"},  // a journal leads to its archive
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(utf8(c.option));
    ScratchDir dir;
    Tree tree = makeTree(dir.path() / "src");
    const std::wstring archive = pathText(packWithEngine(tree.root, dir.path() / "a.zvka", 65536));
    testutil::writeFile(dir.path() / "a.zvka.zvkj", std::string());
    const std::wstring destination = pathText(*c.destination ? dir / c.destination : dir.path());
    App app({c.option, pathText(dir / c.argument)});
    std::vector<std::wstring> lines = app.linesUntilEnd(0);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], L"Quick action detected: starting extraction...");
    EXPECT_EQ(lines[1], L"Starting extraction...");  // the archive is consumed
    EXPECT_EQ(lines[lines.size() - 2], ablativeOutcome(destination));
    EXPECT_EQ(send(app.control(kTab), TCM_GETCURSEL), 1);
    EXPECT_EQ(app.text(kArchive), archive);
    EXPECT_EQ(app.text(kDestination), destination);
  }
}

TEST(QuickActions, ArchiveAloneFillsTheExtractPageAndWaits) {
  struct Case {
    std::vector<const char*> existing;  // besides a.zvka; a trailing "/" makes a folder
    const char* argument;
    const char* archive;
    const char* destination;  // null: left empty
    const wchar_t* line;
  };
  const wchar_t* loaded = L"Archive loaded from file association.";
  const Case cases[] = {
      {{"a/"}, "a.zvka", "a.zvka", "a_extracted", loaded},  // "a" is taken
      {{}, "gone.zvka", "gone.zvka", nullptr, L"Archive path is not accessible. Check the path and try again."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argument);
    ScratchDir dir;
    testutil::writeFile(dir / "a.zvka", std::string("not checked before Extract is pressed"));
    for (const char* name : c.existing) {
      if (std::string(name).ends_with("/")) {
        fs::create_directories(dir / name);
      } else {
        testutil::writeFile(dir / name, std::string());
      }
    }
    App app({pathText(dir / c.argument)});
    EXPECT_EQ(logOnceSettled(app), std::vector<std::wstring>{c.line});
    EXPECT_EQ(send(app.control(kTab), TCM_GETCURSEL), 1);
    EXPECT_TRUE(app.visible(kArchive));
    EXPECT_EQ(app.text(kArchive), pathText(dir / c.archive));
    EXPECT_EQ(app.text(kDestination), c.destination ? pathText(dir / c.destination) : L"");
    app.expectIdle();
  }
}

TEST(QuickActions, UnusableRequestsStartNothing) {
  ScratchDir dir;
  fs::create_directories(dir / "folder");
  const std::wstring invalid = L"Quick action path is invalid. Waiting for manual input.";
  struct Case {
    std::vector<std::wstring> arguments;
    std::vector<std::wstring> log;
  };
  const Case cases[] = {
      {{L"--context-archive", pathText(dir / "missing")}, {invalid}},
      {{L"--context-extract-here", pathText(dir / "folder")}, {invalid}},
      {{L"--CONTEXT-ARCHIVE", pathText(dir / "folder")}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(utf8(c.arguments[0]));
    App app(c.arguments);
    EXPECT_EQ(logOnceSettled(app), c.log);
    EXPECT_EQ(send(app.control(kTab), TCM_GETCURSEL), 0);
    for (int field : {kSource, kOutput}) EXPECT_EQ(app.text(field), L"");
    app.expectIdle();
  }
}

TEST(QuickActions, OptionWithoutPathShowsTheMissingPathMessageFirst) {
  App app({L"--context-extract-here"});
  HWND box = app.waitForWindow(L"#32770");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(textOf(box), L"Zarvik Archiver");
  EXPECT_EQ(textOf(GetDlgItem(box, 0xFFFF)), L"Missing path argument for context command.");
  EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr);
  EXPECT_EQ(FindWindowW(kMainClass, nullptr), nullptr) << "the window came before the message was answered";
  send(GetDlgItem(box, IDOK), BM_CLICK);
  ASSERT_NE(app.window(), nullptr);
  EXPECT_TRUE(logOnceSettled(app).empty());
}

// --- What a start leaves behind ---------------------------------------------

// Every value the program writes, read back with its type and stored size.
void expectRegistryNames(const std::wstring& program) {
  for (const zarvik::RegistryValue& value : zarvik::shellVerbValues(program)) {
    SCOPED_TRACE(utf8(value.key) + " " + utf8(value.name));
    wchar_t data[4096] = {};
    DWORD type = 0, size = sizeof(data);
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, value.key.c_str(), value.name.empty() ? nullptr : value.name.c_str(),
                           RRF_RT_ANY, &type, data, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, (value.data.size() + 1) * sizeof(wchar_t));  // the terminator is stored
    EXPECT_EQ(std::wstring(data), value.data);
  }
}

TEST(ShellRegistration, EveryStartPointsTheMenuAtTheProgramStarted) {
  const std::wstring program = programBesideDriver();
  {
    App app;
    ASSERT_NE(app.window(), nullptr);
    expectRegistryNames(program);
  }
  ScratchDir dir;
  const fs::path moved = dir / "other place" / "ZarvikArchiver.exe";
  fs::create_directories(moved.parent_path());
  fs::copy_file(program, moved);
  {
    App app({}, pathText(moved));
    ASSERT_NE(app.window(), nullptr);
    expectRegistryNames(pathText(moved));
  }
  App original;  // leave the entries naming the build's program
  ASSERT_NE(original.window(), nullptr);
}

TEST(ProgramFile, CarriesTheIconGroupAndTheManifest) {
  HMODULE module = LoadLibraryExW(programBesideDriver().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  auto resourceBytes = [&](LPCWSTR name, LPCWSTR type) {
    HRSRC found = FindResourceW(module, name, type);
    if (found == nullptr) return std::string();
    auto* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
    return std::string(data, SizeofResource(module, found));
  };
#pragma pack(push, 1)
  struct GroupEntry {
    BYTE width, height, colors, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
  };
#pragma pack(pop)
  std::string group = resourceBytes(MAKEINTRESOURCEW(101), RT_GROUP_ICON);  // IDI_APP_ICON
  ASSERT_GE(group.size(), 6u);
  std::vector<int> sizes;
  for (size_t at = 6; at + sizeof(GroupEntry) <= group.size(); at += sizeof(GroupEntry)) {
    GroupEntry entry;
    std::memcpy(&entry, group.data() + at, sizeof(entry));
    int size = entry.width == 0 ? 256 : entry.width;
    sizes.push_back(size);
    EXPECT_EQ(entry.bitCount, 32);
    EXPECT_NE(LoadImageW(module, MAKEINTRESOURCEW(101), IMAGE_ICON, size, size, 0), nullptr) << size;
  }
  EXPECT_EQ(sizes, (std::vector<int>{16, 24, 32, 48, 64, 128, 256}));
  std::string manifest = resourceBytes(MAKEINTRESOURCEW(1), RT_MANIFEST);
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
  EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos) << manifest;
  EXPECT_EQ(manifest.find("Common-Controls"), std::string::npos) << manifest;
  FreeLibrary(module);
}

}  // namespace
