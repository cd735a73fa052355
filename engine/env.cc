// The portable part of the platform seam: the I/O hook and the file handle,
// written once for both platforms.
#include "env.h"

#include <memory>

#include "env_platform.h"

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

FileHandle::FileHandle(FileHandle&& other) noexcept : native(other.native), position(other.position) {
  other.native = -1;
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    close();
    native = other.native;
    position = other.position;
    other.native = -1;
  }
  return *this;
}

FileHandle::~FileHandle() { close(); }

bool FileHandle::isOpen() const { return native != -1; }

bool FileHandle::close() {
  bool ok = true;
  if (native != -1) {
    const uint32_t saved = lastErrorCode();  // closing must not hide the error a caller is about to report
    ok = platform::closeNative(native);      // the handle is released even when this fails
    if (ok) setLastErrorCode(saved);
  }
  native = -1;
  position = 0;
  return ok;
}

}  // namespace ablative
