// The fuzz targets' driver, which hands each input to the target's fuzz::one, and their scratch files.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/env.h"

namespace fuzz {

// A finding: libFuzzer reports the abort with the input.
inline void require(bool holds) {
  if (!holds) std::abort();
}

struct Input {
  const uint8_t* data;
  size_t size;
  // Takes `count` leading bytes off the input as a big-endian number: the target's parameters.
  bool take(size_t count, uint32_t& value) {
    if (size < count) return false;
    for (value = 0; count > 0; --count, --size) value = value << 8 | *data++;
    return true;
  }
};

void one(Input input);  // each target's

// A per-process scratch folder, made once.
inline const std::string& scratchFolder() {
  static const std::string folder = [] {
    std::string pattern = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/zarvik-fuzz-XXXXXX";
    require(mkdtemp(pattern.data()) != nullptr);
    return pattern;
  }();
  return folder;
}

// Writes `data` to `name` in the scratch folder and returns its wide path.
inline std::wstring writeInput(const std::string& name, const uint8_t* data, size_t size) {
  std::string path = scratchFolder() + "/" + name;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  require(fd >= 0 && (size == 0 || ::write(fd, data, size) == static_cast<ssize_t>(size)));
  ::close(fd);
  return ablative::fromUtf8(path);
}

// writeInput, then opened for reading into `file`; false when it cannot be.
inline bool openInput(const std::string& name, Input input, ablative::FileHandle& file, std::wstring* path = nullptr) {
  const std::wstring written = writeInput(name, input.data, input.size);
  if (path) *path = written;
  return ablative::openFile(written, ablative::OpenMode::ReadOnly, file);
}

}  // namespace fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::one({data, size});
  return 0;
}
