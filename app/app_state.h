// The record that the main window and its worker thread share, and the two
// worker operations. The worker reports only by posting WM_APP_LOG and
// WM_APP_DONE to the window and by storing progress into the atomics here.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ablative.h"

namespace zarvik {

// lParam: a heap-allocated std::wstring holding one log line; the window owns it once posted.
inline constexpr UINT WM_APP_LOG = WM_APP + 1;
// wParam: 1 success, 0 failure. Always the worker's last act.
inline constexpr UINT WM_APP_DONE = WM_APP + 2;
// lParam: a heap-allocated std::wstring, the Extract page's space forecast; wParam: the request it answers.
inline constexpr UINT WM_APP_FORECAST = WM_APP + 3;

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
  HWND forecastLabel = nullptr;
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
  std::atomic<uint32_t> forecastRequest{0};  // the latest; answers to earlier ones are dropped
  // Held while a forecast reads the archives, so that a run starts only once none does.
  std::mutex forecastReading;
};

// The block size in bytes for the "KB per block:" text: whole KB from 64
// up to what fits in 32 bits; anything else gives ablative::kDefaultBlockSize.
uint32_t blockSizeFromField(const std::wstring& text);

// Runs `operation`, which returns success or false with a reason. A failure,
// whether returned or raised as an exception, is logged as `prefix` + reason.
// Returns the operation's success.
bool runLogged(const std::wstring& prefix, const std::function<bool(std::wstring& reason)>& operation,
               const ablative::LogCallback& log);

// People's units from a kilobyte up, as the command line shows them: "123.5 MB".
std::wstring bytesInUnits(uint64_t bytes);

// What extracting the archive field's `named` paths (a journal standing for
// its archive) into `destination` needs, as `zarvik info` tells it.
ablative::Status forecastSpace(const std::vector<std::wstring>& named, const std::wstring& destination,
                               ablative::SpaceNeeds& space);

// "Needs 1.2 GB of 80.1 GB free: fits" or "...: does not fit", for a run that
// keeps the archive or consumes it; a consuming run that fits only in groups
// smaller than the window's adds " in groups of 16.8 MB".
std::wstring forecastLine(const ablative::SpaceNeeds& space, bool keepOriginal);

// For a run refused for space: the group size under which it would fit, or
// that none does.
std::wstring spaceAdvice(const ablative::SpaceNeeds& space, bool keepOriginal);

// Starts `task` on a detached thread; false when no thread could be created.
bool startDetached(std::function<void()> task);

// Worker operations: read and check the fields, run the engine, then post
// WM_APP_DONE exactly once.
void runCreate(AppState* state);
void runExtract(AppState* state, bool resume);
// Posts WM_APP_FORECAST with forecastLine, or an empty line where no
// forecast can be made (no such archive yet, no destination).
void runForecast(AppState* state, const std::vector<std::wstring>& named, const std::wstring& destination,
                 bool keepOriginal, uint32_t request);

}  // namespace zarvik
