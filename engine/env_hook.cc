// The I/O hook of the platform seam, shared by both platform files.
#include <memory>

#include "env.h"

namespace ablative {

namespace {
std::unique_ptr<IoHook> activeHook;  // constant-initialised: valid before any static constructor runs
thread_local bool insideHook = false;
}  // namespace

void setIoHook(IoHook hook) { activeHook = hook ? std::make_unique<IoHook>(std::move(hook)) : nullptr; }

bool ioHookFails(const IoCall& call) {
  if (!activeHook || insideHook) return false;
  insideHook = true;
  uint32_t code = (*activeHook)(call);
  insideHook = false;
  if (code == 0) return false;
  setLastErrorCode(code);
  return true;
}

}  // namespace ablative
