// How creation and extraction honour a PauseCallback: between steps, by
// asking it again and again while it says to stay paused.
#pragma once

#include <chrono>
#include <thread>

#include "ablative.h"

namespace ablative {

// Returns once `isPaused`, if any, returns false; asks every 100 ms.
inline void waitWhilePaused(const PauseCallback& isPaused) {
  if (!isPaused) return;
  while (isPaused()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

}  // namespace ablative
