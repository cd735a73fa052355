// Wine has no FSCTL_SET_ZERO_DATA: where the system says so, this I/O hook zeroes the range itself through the same
// handle, so that all around it runs for real. Linked into test programs only, it is installed when they start.
#pragma once

#include <cstdint>

#include "platform/env.h"

namespace testutil {

uint32_t standInForZeroing(const ablative::IoCall& call);

}  // namespace testutil
