// The program's only window: two pages in a tab control, a progress bar with
// a status line and a Pause/Resume button, and a read-only log. It owns the
// AppState, starts the worker, and turns the worker's messages and counters
// into text on the screen.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "app_state.h"

namespace zarvik {

enum ControlId : int {
  kTabControlId = 1000,
  kSourceEditId = 1001,
  kSelectFileId = 1002,
  kSelectSourceFolderId = 1003,
  kOutputEditId = 1004,
  kSelectArchiveFileId = 1005,
  kBlockSizeEditId = 1006,
  kCreateButtonId = 1007,
  kArchiveEditId = 1010,
  kSelectArchiveId = 1011,
  kDestinationEditId = 1012,
  kSelectDestinationFolderId = 1013,
  kExtractButtonId = 1014,
  kResumeButtonId = 1015,
  kKeepOriginalCheckId = 1016,
  kPauseButtonId = 1017,
  kForecastLabelId = 1018,
  kProgressBarId = 1020,
  kLogEditId = 1021,
  kStatusLabelId = 1022,
  kAboutCommandId = 2001,
};

inline constexpr UINT_PTR kProgressTimerId = 1;
inline constexpr UINT kProgressTimerMs = 200;

// Progress bar position: done * 100 / total, truncated; 0 while total is 0.
uint32_t progressPercent(uint32_t blocksDone, uint32_t blocksTotal);

// "Progress: 3/10 blocks | Freed: 1.50 MB", with " | Paused" while paused.
std::wstring statusLineText(uint32_t blocksDone, uint32_t blocksTotal, uint64_t bytesFreed, bool paused);

// The open dialog's filter for archives: every format at once, then one entry
// a kind, then all files; description and pattern pairs, each ended by a zero,
// the last by the string's own terminator too.
std::wstring archiveOpenFilter();

void appendLog(HWND logEdit, const std::wstring& line);
void setBusy(AppState* state, bool busy);
void showPage(AppState* state, int page);    // 0 Create Archive, 1 Extract
void selectPage(AppState* state, int page);  // turns the tab to it too
// Shows on the Extract page, once worked out, what a run from its fields needs and whether it fits.
void requestForecast(AppState* state);

}  // namespace zarvik
