// Quick actions: a start from the file manager's context menu ("--context-..."
// and a path) or with an archive or journal path alone. The command line is
// read before any window exists; the request is carried out while the main
// window is being created.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app_state.h"

namespace zarvik {

enum class QuickActionKind : int32_t { Archive = 1, Extract = 2, ExtractHere = 3, ExtractTo = 4, Open = 5 };

struct QuickAction {
  QuickActionKind kind = QuickActionKind::Open;
  std::wstring path;  // exactly as received
};

extern std::optional<QuickAction> pendingQuickAction;

struct ParsedCommandLine {
  std::optional<QuickAction> action;
  bool missingPath = false;  // an option came without its path
};

// `arguments` as split from the command line, the program itself first.
ParsedCommandLine parseArguments(const std::vector<std::wstring>& arguments);

// What a quick action does to the window: the fields it fills, the page it
// selects, its log line and the button command it posts.
struct QuickActionPlan {
  struct Field {
    HWND AppState::*control;
    std::wstring text;
  };
  std::vector<Field> fields;
  int page = -1;  // the tab to select; -1 leaves the current one
  std::wstring logLine;
  int command = 0;  // the start button's id; 0 starts nothing
};

QuickActionPlan planQuickAction(const QuickAction& action);

// Reads the process's command line into pendingQuickAction; shows the
// missing-path message when an option lacks its path.
void parseCommandLine();

// Carries out pendingQuickAction, if any, on the freshly built window.
void applyQuickAction(AppState* state);

}  // namespace zarvik
