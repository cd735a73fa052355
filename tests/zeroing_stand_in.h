// Wine has no FSCTL_SET_ZERO_DATA. Where the system says so, this I/O hook
// zeroes the range itself, with positional writes through the same handle,
// so that everything around it runs for real. Linked into test programs
// only, it is installed when they start; the shipped programs never have it.
#pragma once

#include <cstdint>

#include "platform/env.h"

namespace testutil {

uint32_t standInForZeroing(const ablative::IoCall& call);

}  // namespace testutil
