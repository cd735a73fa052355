#include "command_line.h"

#include <commctrl.h>
#include <shellapi.h>

#include "main_window.h"
#include "path_rules.h"

namespace zarvik {

std::optional<QuickAction> pendingQuickAction;

namespace {

struct OptionName {
  const wchar_t* text;
  QuickActionKind kind;
};

const OptionName kOptions[] = {
    {L"--context-archive", QuickActionKind::Archive},
    {L"--context-extract", QuickActionKind::Extract},
    {L"--context-extract-here", QuickActionKind::ExtractHere},
    {L"--context-extract-to", QuickActionKind::ExtractTo},
};

const wchar_t kInvalidPathLine[] = L"Quick action path is invalid. Waiting for manual input.";
constexpr int kCreatePage = 0;
constexpr int kExtractPage = 1;

// Options match whole and case-sensitively.
std::optional<QuickActionKind> optionKind(const std::wstring& argument) {
  for (const OptionName& option : kOptions) {
    if (argument == option.text) return option.kind;
  }
  return std::nullopt;
}

// The path cannot be used: say so and leave the window as it is.
QuickActionPlan invalidPathPlan() {
  QuickActionPlan plan;
  plan.logLine = kInvalidPathLine;
  return plan;
}

// A journal leads to its archive while the archive is there, as for an extraction.
std::wstring redirectJournal(const std::wstring& path) {
  std::wstring archive;
  return ablative::archiveForExtraction(path, false, archive).ok() ? archive : path;
}

QuickActionPlan planArchive(const std::wstring& source) {
  if (!isRegularFile(source) && !isDirectory(source)) return invalidPathPlan();
  return {.fields = {{&AppState::sourceEdit, source},
                     {&AppState::outputEdit, makeUniquePath(source + ablative::kArchiveExtension)},
                     {&AppState::blockSizeEdit, kDefaultBlockSizeField}},
          .page = kCreatePage,
          .logLine = L"Quick action detected: starting archive creation...",
          .command = kCreateButtonId};
}

QuickActionPlan planExtract(const std::wstring& path, bool intoParent) {
  std::wstring archive = redirectJournal(path);
  if (!isRegularFile(archive)) return invalidPathPlan();
  std::wstring parent = parentOf(archive);
  std::wstring destination = intoParent ? parent : joinPath(parent, extractionFolderOf(archive));
  return {.fields = {{&AppState::archiveEdit, archive}, {&AppState::destinationEdit, destination}},
          .page = kExtractPage,
          .logLine = L"Quick action detected: starting extraction...",
          .command = kExtractButtonId};
}

// Fills the Extract page and waits for the user.
QuickActionPlan planOpen(const std::wstring& path) {
  std::wstring archive = redirectJournal(path);
  if (!isRegularFile(archive)) {
    return {.fields = {{&AppState::archiveEdit, archive}},
            .page = kExtractPage,
            .logLine = L"Archive path is not accessible. Check the path and try again."};
  }
  std::wstring parent = parentOf(archive), stem = extractionFolderOf(archive);
  std::wstring destination = joinPath(parent, stem);
  if (pathExists(destination)) destination = makeUniquePath(joinPath(parent, stem + L"_extracted"));
  return {.fields = {{&AppState::archiveEdit, archive}, {&AppState::destinationEdit, destination}},
          .page = kExtractPage,
          .logLine = L"Archive loaded from file association."};
}

}  // namespace

ParsedCommandLine parseArguments(const std::vector<std::wstring>& arguments) {
  ParsedCommandLine parsed;
  if (arguments.size() < 2) return parsed;
  std::optional<QuickActionKind> option = optionKind(arguments[1]);
  if (option && arguments.size() >= 3) {
    parsed.action = QuickAction{*option, arguments[2]};
  } else if (option) {
    parsed.missingPath = true;
  } else if (hasArchiveOrJournalExtension(arguments[1])) {
    parsed.action = QuickAction{QuickActionKind::Open, arguments[1]};
  }
  return parsed;
}

QuickActionPlan planQuickAction(const QuickAction& action) {
  switch (action.kind) {
    case QuickActionKind::Archive: return planArchive(action.path);
    case QuickActionKind::ExtractHere: return planExtract(action.path, true);
    case QuickActionKind::Extract:
    case QuickActionKind::ExtractTo: return planExtract(action.path, false);
    case QuickActionKind::Open: break;
  }
  return planOpen(action.path);
}

void parseCommandLine() {
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return;
  ParsedCommandLine parsed = parseArguments(std::vector<std::wstring>(arguments, arguments + count));
  LocalFree(arguments);
  if (parsed.missingPath) {
    MessageBoxW(nullptr, L"Missing path argument for context command.", L"Zarvik Archiver", MB_ICONERROR | MB_OK);
  }
  if (parsed.action) pendingQuickAction = parsed.action;
}

void applyQuickAction(AppState* state) {
  if (!pendingQuickAction) return;
  QuickActionPlan plan = planQuickAction(*pendingQuickAction);
  for (const QuickActionPlan::Field& field : plan.fields) SetWindowTextW(state->*field.control, field.text.c_str());
  if (plan.page >= 0) selectPage(state, plan.page);
  appendLog(state->logEdit, plan.logLine);
  // Posted, so the operation starts once the window is shown and the loop runs.
  if (plan.command != 0) PostMessageW(state->hwnd, WM_COMMAND, MAKEWPARAM(plan.command, 0), 0);
  else if (plan.page == kExtractPage) requestForecast(state);
}

}  // namespace zarvik
