#include "main_window.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cwchar>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "path_rules.h"
#include "resource.h"
#include "shell_registration.h"

namespace zarvik {

namespace {

const wchar_t kWindowClass[] = L"ZarvikArchiverMainWindow";
const wchar_t kWindowTitle[] = L"Zarvik Archiver - Windows";
constexpr int kWindowWidth = 720;
constexpr int kWindowHeight = 600;
const wchar_t* const kPageNames[] = {L"Create Archive", L"Extract"};

enum class Page { Both, Create, Extract };

struct Bounds {
  int x, y, width, height;  // client pixels
};

struct ControlRow {
  const wchar_t* className;
  const wchar_t* text;
  int id;
  Bounds bounds;
  DWORD style;
  DWORD exStyle;
  Page page;
  HWND AppState::*field;  // where the handle is kept; null for none
};

constexpr DWORD kPlain = WS_CHILD | WS_VISIBLE;
constexpr DWORD kEdit = kPlain | ES_AUTOHSCROLL;
constexpr DWORD kLog = kPlain | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY;
constexpr DWORD kSunken = WS_EX_CLIENTEDGE;

// Created in this order; each page lists its controls in the same order.
// clang-format off
const ControlRow kControls[] = {
    {L"SysTabControl32", L"", kTabControlId, {12, 12, 680, 280}, kPlain | WS_CLIPSIBLINGS, 0, Page::Both,
     &AppState::tabControl},
    {L"STATIC", L"Source file or folder:", 0, {28, 48, 170, 20}, kPlain, 0, Page::Create, nullptr},
    {L"EDIT", L"", kSourceEditId, {28, 70, 500, 24}, kEdit, kSunken, Page::Create, &AppState::sourceEdit},
    {L"BUTTON", L"Select File", kSelectFileId, {536, 70, 146, 24}, kPlain, 0, Page::Create, nullptr},
    {L"BUTTON", L"Select Folder", kSelectSourceFolderId, {536, 98, 146, 24}, kPlain, 0, Page::Create, nullptr},
    {L"STATIC", L"Archive output file:", 0, {28, 104, 170, 20}, kPlain, 0, Page::Create, nullptr},
    {L"EDIT", L"", kOutputEditId, {28, 126, 500, 24}, kEdit, kSunken, Page::Create, &AppState::outputEdit},
    {L"BUTTON", L"Select Archive File", kSelectArchiveFileId, {536, 126, 146, 24}, kPlain, 0, Page::Create, nullptr},
    {L"STATIC", L"Block size in KB:", 0, {28, 160, 120, 20}, kPlain, 0, Page::Create, nullptr},
    {L"EDIT", kDefaultBlockSizeField, kBlockSizeEditId, {148, 158, 120, 24}, kEdit, kSunken, Page::Create,
     &AppState::blockSizeEdit},
    {L"BUTTON", L"Create Archive", kCreateButtonId, {282, 156, 150, 28}, kPlain, 0, Page::Create, nullptr},
    {L"STATIC", L"Archive file:", 0, {28, 48, 150, 20}, kPlain, 0, Page::Extract, nullptr},
    {L"EDIT", L"", kArchiveEditId, {28, 70, 500, 24}, kEdit, kSunken, Page::Extract, &AppState::archiveEdit},
    {L"BUTTON", L"Select Archive", kSelectArchiveId, {536, 70, 146, 24}, kPlain, 0, Page::Extract, nullptr},
    {L"STATIC", L"Destination folder:", 0, {28, 104, 150, 20}, kPlain, 0, Page::Extract, nullptr},
    {L"EDIT", L"", kDestinationEditId, {28, 126, 500, 24}, kEdit, kSunken, Page::Extract, &AppState::destinationEdit},
    {L"BUTTON", L"Select Folder", kSelectDestinationFolderId, {536, 126, 146, 24}, kPlain, 0, Page::Extract, nullptr},
    {L"BUTTON", L"Keep original archive", kKeepOriginalCheckId, {28, 160, 300, 22}, kPlain | BS_AUTOCHECKBOX, 0,
     Page::Extract, &AppState::keepOriginalCheck},
    {L"BUTTON", L"Extract", kExtractButtonId, {282, 156, 150, 28}, kPlain, 0, Page::Extract, nullptr},
    {L"BUTTON", L"Resume Extraction", kResumeButtonId, {440, 156, 150, 28}, kPlain, 0, Page::Extract, nullptr},
    {L"STATIC", L"", kForecastLabelId, {28, 196, 654, 20}, kPlain, 0, Page::Extract, &AppState::forecastLabel},
    {L"msctls_progress32", L"", kProgressBarId, {16, 304, 668, 24}, kPlain, 0, Page::Both, &AppState::progressBar},
    // The status line runs under the Pause button; clipping keeps it from painting over the button.
    {L"STATIC", L"Idle", kStatusLabelId, {16, 334, 668, 20}, kPlain | WS_CLIPSIBLINGS, 0, Page::Both,
     &AppState::statusLabel},
    {L"BUTTON", L"Pause", kPauseButtonId, {600, 332, 84, 24}, kPlain | WS_DISABLED, 0, Page::Both,
     &AppState::pauseButton},
    {L"EDIT", L"", kLogEditId, {16, 360, 668, 174}, kLog, kSunken, Page::Both, &AppState::logEdit},
};
// clang-format on

enum class BrowseKind { OpenFile, OpenFiles, SaveFile, Folder };

struct BrowseCommand {
  int id;
  BrowseKind kind;
  const wchar_t* filter;  // description and pattern pairs, ended by an empty pair
  HWND AppState::*target;
};

// One description and pattern pair of a dialog's filter, each ended by a zero.
std::wstring filterPair(const std::wstring& description, const std::wstring& pattern) {
  return description + L'\0' + pattern + L'\0';
}

// "Label (*.a;*.b)" for the patterns "*.a;*.b".
std::wstring filterPairOf(const std::wstring& label, const std::vector<std::wstring>& extensions) {
  std::wstring patterns;
  for (const std::wstring& extension : extensions) patterns += (patterns.empty() ? L"*" : L";*") + extension;
  return filterPair(label + L" (" + patterns + L")", patterns);
}

// The open dialog's kinds of archive, by the engine's format names.
struct ArchiveKind {
  const wchar_t* label;
  std::initializer_list<std::wstring_view> formats;
};

const ArchiveKind kArchiveKinds[] = {{L"Zarvik Archive", {L"zvka"}},
                                     {L"Zip archive", {L"zip"}},
                                     {L"Tar archive", {L"tar", L"tar.gz", L"tar.zst", L"tar.xz", L"tar.bz2"}}};

// A string's own terminator ends the last pair, and so the filter.
const std::wstring kAllFilesFilter = filterPair(L"All Files", L"*.*");
const std::wstring kArchiveSaveFilter =
    filterPairOf(L"Zarvik Archive", {ablative::kArchiveExtension}) + kAllFilesFilter;
const std::wstring kArchiveOpenFilter = archiveOpenFilter();

const BrowseCommand kBrowseCommands[] = {
    {kSelectFileId, BrowseKind::OpenFile, kAllFilesFilter.c_str(), &AppState::sourceEdit},
    {kSelectSourceFolderId, BrowseKind::Folder, nullptr, &AppState::sourceEdit},
    {kSelectArchiveFileId, BrowseKind::SaveFile, kArchiveSaveFilter.c_str(), &AppState::outputEdit},
    {kSelectArchiveId, BrowseKind::OpenFiles, kArchiveOpenFilter.c_str(), &AppState::archiveEdit},
    {kSelectDestinationFolderId, BrowseKind::Folder, nullptr, &AppState::destinationEdit},
};

struct StartCommand {
  int id;
  const wchar_t* line;
  const wchar_t* keepingLine;  // when "Keep original archive" is checked
};

const StartCommand kStartCommands[] = {
    {kCreateButtonId, L"Starting archive creation...", L"Starting archive creation..."},
    {kExtractButtonId, L"Starting extraction...", L"Starting extraction and keeping the original archive..."},
    {kResumeButtonId, L"Resuming extraction...", L"Resuming extraction and keeping the original archive..."},
};

const int kStartButtonIds[] = {kCreateButtonId, kExtractButtonId, kResumeButtonId};

// The log line that announces a start command.
std::wstring startLine(int commandId, bool keepOriginal) {
  for (const StartCommand& command : kStartCommands) {
    if (command.id == commandId) return keepOriginal ? command.keepingLine : command.line;
  }
  return {};
}

AppState* stateOf(HWND hwnd) { return reinterpret_cast<AppState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)); }

std::wstring textOf(HWND control) {
  std::wstring text(GetWindowTextLengthW(control) + 1, L'\0');
  text.resize(GetWindowTextW(control, text.data(), static_cast<int>(text.size())));
  return text;
}

bool isChecked(HWND checkBox) { return SendMessageW(checkBox, BM_GETCHECK, 0, 0) == BST_CHECKED; }

// --- Building the window ----------------------------------------------------

HMENU buildMenu() {
  HMENU help = CreatePopupMenu();
  AppendMenuW(help, MF_STRING, kAboutCommandId, L"About");
  HMENU bar = CreateMenu();
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(help), L"Help");
  return bar;
}

void addTabItems(HWND tabControl) {
  for (int page = 0; page < static_cast<int>(std::size(kPageNames)); ++page) {
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<wchar_t*>(kPageNames[page]);
    SendMessageW(tabControl, TCM_INSERTITEMW, page, reinterpret_cast<LPARAM>(&item));
  }
}

void createControls(AppState* state) {
  auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(state->hwnd, GWLP_HINSTANCE));
  for (const ControlRow& row : kControls) {
    HWND control = CreateWindowExW(row.exStyle, row.className, row.text, row.style, row.bounds.x, row.bounds.y,
                                   row.bounds.width, row.bounds.height, state->hwnd,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.id)), instance, nullptr);
    // The dialog font, as dialogs have it: in the bold system font a label
    // such as "Block size in KB:" outruns its place.
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
    if (row.field != nullptr) state->*row.field = control;
    if (row.page == Page::Create) state->createPageControls.push_back(control);
    if (row.page == Page::Extract) state->extractPageControls.push_back(control);
  }
  addTabItems(state->tabControl);
  SendMessageW(state->progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  // Without this the control stops taking lines after about 32K characters.
  SendMessageW(state->logEdit, EM_SETLIMITTEXT, 0, 0);
  // Children stack in creation order, the first on top: lift the Pause
  // button above the status line so that it is seen and takes the clicks.
  SetWindowPos(state->pauseButton, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

// --- Operations -------------------------------------------------------------

void returnToIdle(AppState* state) {
  state->paused.exchange(false);
  SetWindowTextW(state->pauseButton, L"Pause");
  setBusy(state, false);
}

std::function<void()> workerFor(AppState* state, int commandId) {
  if (commandId == kCreateButtonId) return [state] { runCreate(state); };
  bool resume = commandId == kResumeButtonId;
  return [state, resume] { runExtract(state, resume); };
}

void startWorker(AppState* state, int commandId) {
  if (state->busy.load()) return;
  setBusy(state, true);
  state->paused.exchange(false);
  SetWindowTextW(state->pauseButton, L"Pause");
  state->blocksDone.exchange(0);
  state->blocksTotal.exchange(0);
  state->bytesFreed.exchange(0);
  SendMessageW(state->progressBar, PBM_SETPOS, 0, 0);
  appendLog(state->logEdit, startLine(commandId, isChecked(state->keepOriginalCheck)));
  if (!startDetached(workerFor(state, commandId))) {
    appendLog(state->logEdit, L"Failed to start worker thread.");
    returnToIdle(state);
  }
}

void togglePause(AppState* state) {
  if (!state->busy.load()) return;
  bool wasPaused = state->paused.load();
  state->paused.exchange(!wasPaused);
  SetWindowTextW(state->pauseButton, wasPaused ? L"Pause" : L"Resume");
  appendLog(state->logEdit, wasPaused ? L"Resumed." : L"Paused.");
}

// The chosen file, or several as the archive field shows them.
std::wstring browseForFile(HWND owner, BrowseKind kind, const wchar_t* filter) {
  // Room for a selection of many files: the dialog fails rather than cut it short.
  std::vector<wchar_t> path(kind == BrowseKind::OpenFiles ? 65536 : MAX_PATH, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof(dialog);
  dialog.hwndOwner = owner;
  dialog.lpstrFilter = filter;
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = path.data();
  dialog.nMaxFile = static_cast<DWORD>(path.size());
  const bool save = kind == BrowseKind::SaveFile;
  dialog.Flags = save ? OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST : OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
  if (kind == BrowseKind::OpenFiles) dialog.Flags |= OFN_ALLOWMULTISELECT | OFN_EXPLORER;
  BOOL chosen = save ? GetSaveFileNameW(&dialog) : GetOpenFileNameW(&dialog);
  return chosen ? archiveFieldText(dialogSelection(path.data())) : L"";
}

std::wstring browseForFolder(HWND owner) {
  // The new-style folder browser needs COM on the calling thread.
  HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  BROWSEINFOW browse{};
  browse.hwndOwner = owner;
  browse.lpszTitle = L"Select folder";
  browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_EDITBOX | BIF_NEWDIALOGSTYLE;
  std::wstring chosen;
  if (PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&browse)) {
    wchar_t path[MAX_PATH] = {};
    if (SHGetPathFromIDListW(item, path)) chosen = path;
    CoTaskMemFree(item);
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return chosen;
}

void browseInto(AppState* state, const BrowseCommand& command) {
  std::wstring chosen = command.kind == BrowseKind::Folder ? browseForFolder(state->hwnd)
                                                           : browseForFile(state->hwnd, command.kind, command.filter);
  if (chosen.empty()) return;
  SetWindowTextW(state->*command.target, chosen.c_str());
  if (command.target == &AppState::archiveEdit || command.target == &AppState::destinationEdit) {
    requestForecast(state);
  }
}

void showAbout(HWND owner) {
  MessageBoxW(owner, L"Zarvik Archiver\n\nDeveloper: Zarvik team\nCompany: Zarvik Archiver project",
              L"About Zarvik Archiver", MB_ICONINFORMATION | MB_OK);
}

// --- Message handlers -------------------------------------------------------

LRESULT onCreate(HWND hwnd) {
  // Never deleted: a detached worker may still use it after the window is
  // gone; it ends with the process.
  auto* state = new AppState{};
  state->hwnd = hwnd;
  SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
  SetMenu(hwnd, buildMenu());
  createControls(state);
  showPage(state, 0);
  applyQuickAction(state);
  DragAcceptFiles(hwnd, TRUE);
  SetTimer(hwnd, kProgressTimerId, kProgressTimerMs, nullptr);
  return 0;
}

void onDestroy(HWND hwnd) {
  if (AppState* state = stateOf(hwnd)) {
    KillTimer(hwnd, kProgressTimerId);
    state->createPageControls.clear();
    state->extractPageControls.clear();
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
  }
  PostQuitMessage(0);
}

void onNotify(AppState* state, const NMHDR& header) {
  if (header.idFrom != kTabControlId || header.code != TCN_SELCHANGE) return;
  showPage(state, SendMessageW(state->tabControl, TCM_GETCURSEL, 0, 0) != 0 ? 1 : 0);
}

// A person leaving a path field, or clicking the check box, as the edit and the button tell it.
bool changesForecast(int id, int code) {
  if (id == kArchiveEditId || id == kDestinationEditId) return code == EN_KILLFOCUS;
  return id == kKeepOriginalCheckId && code == BN_CLICKED;
}

void onCommand(AppState* state, int id, int code) {
  if (changesForecast(id, code)) return requestForecast(state);
  for (const BrowseCommand& command : kBrowseCommands) {
    if (command.id == id) return browseInto(state, command);
  }
  switch (id) {
    case kCreateButtonId:
    case kExtractButtonId:
    case kResumeButtonId: startWorker(state, id); break;
    case kPauseButtonId: togglePause(state); break;
    case kAboutCommandId: showAbout(state->hwnd); break;
  }
}

void onTimer(AppState* state) {
  uint32_t total = state->blocksTotal.load();
  uint32_t done = state->blocksDone.load();
  uint64_t freed = state->bytesFreed.load();
  SendMessageW(state->progressBar, PBM_SETPOS, progressPercent(done, total), 0);
  SetWindowTextW(state->statusLabel, statusLineText(done, total, freed, state->paused.load()).c_str());
}

void onLogLine(AppState* state, LPARAM line) {
  std::unique_ptr<std::wstring> owned(reinterpret_cast<std::wstring*>(line));
  appendLog(state->logEdit, *owned);
}

void onDone(AppState* state, bool succeeded) {
  appendLog(state->logEdit, succeeded ? L"Operation finished successfully." : L"Operation ended with errors.");
  returnToIdle(state);
  requestForecast(state);
}

void onForecast(AppState* state, WPARAM request, LPARAM line) {
  std::unique_ptr<std::wstring> owned(reinterpret_cast<std::wstring*>(line));
  if (request == state->forecastRequest.load()) SetWindowTextW(state->forecastLabel, owned->c_str());
}

void onDropFiles(AppState* state, HDROP drop) {
  std::vector<std::wstring> paths;
  const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
  for (UINT i = 0; i < count; ++i) {
    std::wstring path(DragQueryFileW(drop, i, nullptr, 0) + 1, L'\0');
    path.resize(DragQueryFileW(drop, i, path.data(), static_cast<UINT>(path.size())));
    paths.push_back(path);
  }
  DragFinish(drop);
  const DropTarget target = dropTargetOf(paths);
  if (target.page < 0) return;
  SetWindowTextW(target.page == 0 ? state->sourceEdit : state->archiveEdit, target.text.c_str());
  selectPage(state, target.page);
  if (target.page == 1) requestForecast(state);
}

// The labels stand on the white page: painted without a box of their own.
LRESULT onStaticColor(AppState* state, HDC context, HWND control) {
  if (control == state->logEdit) return 0;  // read-only, it keeps the grey that says so
  SetBkMode(context, TRANSPARENT);
  return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
}

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: return onCreate(hwnd);
    case WM_DESTROY: onDestroy(hwnd); return 0;
  }
  AppState* state = stateOf(hwnd);
  if (state == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
  switch (message) {
    case WM_NOTIFY: onNotify(state, *reinterpret_cast<const NMHDR*>(lParam)); return 0;
    case WM_COMMAND: onCommand(state, LOWORD(wParam), HIWORD(wParam)); return 0;
    case WM_TIMER: onTimer(state); return 0;
    case WM_APP_LOG: onLogLine(state, lParam); return 0;
    case WM_APP_DONE: onDone(state, wParam == 1); return 0;
    case WM_APP_FORECAST: onForecast(state, wParam, lParam); return 0;
    case WM_DROPFILES: onDropFiles(state, reinterpret_cast<HDROP>(wParam)); return 0;
    case WM_CTLCOLORSTATIC:
      if (LRESULT brush = onStaticColor(state, reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam))) {
        return brush;
      }
      break;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

// --- Start-up ---------------------------------------------------------------

struct AppIcons {
  HICON large;
  HICON small;
};

HICON loadAppIcon(HINSTANCE instance, int widthMetric, int heightMetric) {
  auto icon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP_ICON), IMAGE_ICON,
                                            GetSystemMetrics(widthMetric), GetSystemMetrics(heightMetric), 0));
  return icon != nullptr ? icon : LoadIconW(nullptr, IDI_APPLICATION);
}

void registerWindowClass(HINSTANCE instance, const AppIcons& icons) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = windowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = icons.large;
  windowClass.hIconSm = icons.small;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = kWindowClass;
  RegisterClassExW(&windowClass);
}

int runMessageLoop() {
  MSG message{};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {  // -1 is an error, not a message
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}

}  // namespace

std::wstring archiveOpenFilter() {
  std::wstring filter = filterPairOf(L"Archives", archiveExtensions());
  for (const ArchiveKind& kind : kArchiveKinds) {
    std::vector<std::wstring> extensions;
    for (const std::wstring_view format : kind.formats) {
      for (std::wstring& extension : archiveExtensionsOf(format)) extensions.push_back(std::move(extension));
    }
    filter += filterPairOf(kind.label, extensions);
  }
  return filter + kAllFilesFilter;
}

uint32_t progressPercent(uint32_t blocksDone, uint32_t blocksTotal) {
  if (blocksTotal == 0) return 0;
  return static_cast<uint32_t>(static_cast<uint64_t>(blocksDone) * 100 / blocksTotal);
}

std::wstring statusLineText(uint32_t blocksDone, uint32_t blocksTotal, uint64_t bytesFreed, bool paused) {
  wchar_t text[256];
  std::swprintf(text, std::size(text), L"Progress: %u/%u blocks | Freed: %.2f MB", blocksDone, blocksTotal,
                static_cast<double>(bytesFreed) / 1048576.0);
  return paused ? std::wstring(text) + L" | Paused" : std::wstring(text);
}

void appendLog(HWND logEdit, const std::wstring& line) {
  int end = GetWindowTextLengthW(logEdit);
  SendMessageW(logEdit, EM_SETSEL, end, end);
  std::wstring text = line + L"\r\n";
  SendMessageW(logEdit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

void setBusy(AppState* state, bool busy) {
  state->busy.exchange(busy);
  for (int id : kStartButtonIds) EnableWindow(GetDlgItem(state->hwnd, id), !busy);
  EnableWindow(state->pauseButton, busy);
}

void showPage(AppState* state, int page) {
  for (HWND control : state->createPageControls) ShowWindow(control, page == 0 ? SW_SHOW : SW_HIDE);
  for (HWND control : state->extractPageControls) ShowWindow(control, page == 1 ? SW_SHOW : SW_HIDE);
}

// Reads the archives, so asked for only once a field is left or chosen, and
// worked out on a thread of its own; an answer to an earlier request is dropped.
void requestForecast(AppState* state) {
  const uint32_t request = state->forecastRequest.fetch_add(1) + 1;
  if (state->busy.load()) return;  // a run is changing the archive; its end asks again
  SetWindowTextW(state->forecastLabel, L"");
  std::vector<std::wstring> named = archiveFieldPaths(textOf(state->archiveEdit));
  std::wstring destination = textOf(state->destinationEdit);
  const bool keep = isChecked(state->keepOriginalCheck);
  startDetached([=] { runForecast(state, named, destination, keep, request); });
}

void selectPage(AppState* state, int page) {
  SendMessageW(state->tabControl, TCM_SETCURSEL, page, 0);
  showPage(state, page);
}

namespace {

int runMainWindow(HINSTANCE instance, int showCommand) {
  parseCommandLine();
  registerShellVerbs();
  INITCOMMONCONTROLSEX commonControls{sizeof(commonControls), ICC_TAB_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&commonControls);
  AppIcons icons{loadAppIcon(instance, SM_CXICON, SM_CYICON), loadAppIcon(instance, SM_CXSMICON, SM_CYSMICON)};
  registerWindowClass(instance, icons);
  HWND window = CreateWindowExW(0, kWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                kWindowWidth, kWindowHeight, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) return 1;
  SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icons.large));
  SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icons.small));
  ShowWindow(window, showCommand);
  UpdateWindow(window);
  return runMessageLoop();
}

}  // namespace

}  // namespace zarvik

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  // A worker may still be running: it ends with the process, before the
  // runtime destroys objects under it.
  ExitProcess(static_cast<UINT>(zarvik::runMainWindow(instance, showCommand)));
}
