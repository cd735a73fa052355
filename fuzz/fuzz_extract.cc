// A keep-original extraction of arbitrary bytes into a scratch folder, with
// every read cut short at a fuzzed length: whatever the archive says, nothing
// may be written outside the destination, and the archive stays as it was.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <string>

#include "ablative.h"
#include "env.h"
#include "fuzz_util.h"

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

void removeTree(const std::string& path) { ::nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); }

// The scratch folder holds only the archive and the destination afterwards.
void requireNothingOutside(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) std::abort();
  while (struct dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != ".." && name != "archive.zvka" && name != "out") std::abort();
  }
  ::closedir(dir);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte sets the longest read the file layer completes at once.
  const uint32_t readLimit = 1 + data[0] * 7u;
  data += 1;
  size -= 1;
  std::wstring archive = fuzz::writeInput("archive.zvka", data, size);
  const std::string folder = fuzz::scratchFolder();
  removeTree(folder + "/out");

  ablative::setIoHook([&](const ablative::IoCall& call) -> uint32_t {
    if (call.op == ablative::IoOp::Read && call.limit != nullptr && *call.limit > readLimit) *call.limit = readLimit;
    return 0;
  });
  std::wstring errorText;
  ablative::extractArchive(archive, ablative::fromUtf8(folder + "/out"), false, true, errorText, {}, {}, {});
  ablative::setIoHook({});

  requireNothingOutside(folder);
  struct stat st;
  if (::stat((folder + "/archive.zvka").c_str(), &st) != 0 || static_cast<size_t>(st.st_size) != size) std::abort();
  return 0;
}
