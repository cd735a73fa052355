// What each platform implements below the seam, for env.cc: env_posix.cc and
// env_windows.cc each define these with the system's calls.
#pragma once

#include <cstdint>

#include "env.h"

namespace ablative::platform {

// Releases a handle that is open; false when the system reported an error.
bool closeNative(intptr_t native);

}  // namespace ablative::platform
