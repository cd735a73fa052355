// Shared by the fuzz targets: the engine reads archives and journals from
// files, so each input is written to a scratch file in memory-backed storage.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/env.h"

namespace fuzz {

// A per-process scratch folder, made once.
inline const std::string& scratchFolder() {
  static const std::string folder = [] {
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/zarvik-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
  }();
  return folder;
}

// Writes `data` to `name` in the scratch folder and returns its wide path.
inline std::wstring writeInput(const std::string& name, const uint8_t* data, size_t size) {
  std::string path = scratchFolder() + "/" + name;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || (size > 0 && ::write(fd, data, size) != static_cast<ssize_t>(size))) std::abort();
  ::close(fd);
  return ablative::fromUtf8(path);
}

}  // namespace fuzz
