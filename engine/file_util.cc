#include "file_util.h"

#include <algorithm>

namespace ablative {

namespace {
// Single transfers stay well below the 32-bit limit of the platform calls.
constexpr uint64_t kMaxChunk = 1u << 30;
}  // namespace

bool readFully(FileHandle& file, uint8_t* buffer, uint64_t length, uint64_t& got) {
  got = 0;
  while (got < length) {
    uint32_t chunk = static_cast<uint32_t>(std::min(length - got, kMaxChunk));
    uint32_t count = 0;
    if (!readSome(file, buffer + got, chunk, count)) return false;
    if (count == 0) return false;
    got += count;
  }
  return true;
}

bool readFully(FileHandle& file, uint8_t* buffer, uint64_t length) {
  uint64_t got = 0;
  return readFully(file, buffer, length, got);
}

bool writeFully(FileHandle& file, const uint8_t* buffer, uint64_t length) {
  uint64_t done = 0;
  while (done < length) {
    uint32_t chunk = static_cast<uint32_t>(std::min(length - done, kMaxChunk));
    uint32_t count = 0;
    if (!writeSome(file, buffer + done, chunk, count)) return false;
    if (count == 0) {
      setLastErrorCode(diskFullErrorCode());
      return false;
    }
    done += count;
  }
  return true;
}

}  // namespace ablative
