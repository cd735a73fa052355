#include "files/file_util.h"

#include <algorithm>

#include "files/paths.h"

namespace ablative {

namespace {
// Single transfers stay well below the 32-bit limit of the platform calls.
constexpr uint64_t kMaxChunk = 1u << 30;
}  // namespace

bool readUpTo(FileHandle& file, uint8_t* buffer, uint64_t length, uint64_t enough, uint64_t& got) {
  got = 0;
  while (got < length) {
    uint32_t chunk = static_cast<uint32_t>(std::min(length - got, kMaxChunk));
    uint32_t count = 0;
    if (!readSome(file, buffer + got, chunk, count)) return false;
    got += count;
    if (count == 0 || (count < chunk && got >= enough)) break;
  }
  return true;
}

bool readFully(FileHandle& file, uint8_t* buffer, uint64_t length, uint64_t& got) {
  return readUpTo(file, buffer, length, length, got) && got == length;
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

bool createFolders(const std::wstring& folder, std::vector<std::wstring>& gainedEntries) {
  std::vector<std::wstring> missing;
  for (std::wstring at = folder; !at.empty() && pathStatus(at).kind == PathKind::Missing;) {
    missing.push_back(at);
    const std::wstring parent = parentFolder(at);
    if (parent == at) break;
    at = parent;
  }
  for (auto at = missing.rbegin(); at != missing.rend(); ++at) {
    if (!createDirectories(*at)) return false;
    gainedEntries.push_back(parentFolder(*at));
  }
  return folder.empty() || pathStatus(folder).kind == PathKind::Directory;
}

}  // namespace ablative
