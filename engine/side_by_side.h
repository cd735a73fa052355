// Work split into shares run side by side: share 0 on the caller, each other
// on a thread of its own, or, where no thread can be started, on the caller
// after its own. Returns once every share has run. A share must not throw:
// one that might guards its own step (withinMemory), so that no thread is
// left running behind an exception.
#pragma once

#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

namespace ablative {

template <typename Work>
void runSideBySide(size_t shares, const Work& work) {
  std::vector<std::thread> helpers;
  helpers.reserve(shares > 0 ? shares - 1 : 0);
  size_t started = 1;
  try {
    for (; started < shares; ++started) helpers.emplace_back([&work, started] { work(started); });
  } catch (const std::system_error&) {
    // The caller runs the shares no thread took.
  }
  if (shares > 0) work(0);
  for (size_t share = started; share < shares; ++share) work(share);
  for (std::thread& helper : helpers) helper.join();
}

}  // namespace ablative
