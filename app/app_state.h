// The record that the main window and its worker thread share, and the two
// worker operations. The worker reports only by posting WM_APP_LOG and
// WM_APP_DONE to the window and by storing progress into the atomics here.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ablative.h"

namespace zarvik {

// lParam: a heap-allocated std::wstring holding one log line; the window owns it once posted.
inline constexpr UINT WM_APP_LOG = WM_APP + 1;
// wParam: 1 success, 0 failure. Always the worker's last act.
inline constexpr UINT WM_APP_DONE = WM_APP + 2;

inline constexpr int kMinBlockSizeKb = 64;
// The block size field's text until the user changes it.
inline constexpr wchar_t kDefaultBlockSizeField[] = L"4096";
static_assert(ablative::kDefaultBlockSize == 4096 * 1024, "kDefaultBlockSizeField shows the default in KB");

struct AppState {
  HWND hwnd = nullptr;
  HWND tabControl = nullptr;
  HWND sourceEdit = nullptr;
  HWND outputEdit = nullptr;
  HWND blockSizeEdit = nullptr;
  HWND archiveEdit = nullptr;
  HWND destinationEdit = nullptr;
  HWND keepOriginalCheck = nullptr;
  HWND progressBar = nullptr;
  HWND logEdit = nullptr;
  HWND statusLabel = nullptr;
  HWND pauseButton = nullptr;
  std::vector<HWND> createPageControls;
  std::vector<HWND> extractPageControls;
  std::atomic<bool> busy{false};    // set and cleared only by the window
  std::atomic<bool> paused{false};  // written by the window, polled by the engine
  std::atomic<uint32_t> blocksTotal{0};
  std::atomic<uint32_t> blocksDone{0};
  std::atomic<uint64_t> bytesFreed{0};
};

// The block size in bytes for the "Block size in KB:" text: whole KB from 64
// up to what fits in 32 bits; anything else gives ablative::kDefaultBlockSize.
uint32_t blockSizeFromField(const std::wstring& text);

// Runs `operation`, which returns success or false with a reason. A failure,
// whether returned or raised as an exception, is logged as `prefix` + reason.
// Returns the operation's success.
bool runLogged(const std::wstring& prefix, const std::function<bool(std::wstring& reason)>& operation,
               const ablative::LogCallback& log);

// Starts `task` on a detached thread; false when no thread could be created.
bool startDetached(std::function<void()> task);

// Worker operations: read and check the fields, run the engine, then post
// WM_APP_DONE exactly once.
void runCreate(AppState* state);
void runExtract(AppState* state, bool resume);

}  // namespace zarvik
