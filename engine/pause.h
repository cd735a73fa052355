// How creation and extraction honour a PauseCallback and a StopCallback:
// between steps, by asking them again and again while told to stay paused.
#pragma once

#include <chrono>
#include <thread>

#include "ablative.h"

namespace ablative {

// What a run fails with once its StopCallback asked it to stop.
inline constexpr wchar_t kStoppedOnRequest[] = L"Stopped on request";

inline bool stopRequested(const StopCallback& shouldStop) { return shouldStop && shouldStop(); }

inline Status stoppedOnRequest() { return failure(StatusKind::Stopped, kStoppedOnRequest); }

// Returns true once `isPaused`, if any, returns false, and false once
// `shouldStop`, if any, returns true, paused or not; asks every 100 ms.
inline bool waitWhilePaused(const PauseCallback& isPaused, const StopCallback& shouldStop = {}) {
  while (!stopRequested(shouldStop)) {
    if (!isPaused || !isPaused()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

}  // namespace ablative
