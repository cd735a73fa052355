// A keep-original extraction of arbitrary bytes into a scratch folder that may
// already hold links leading out of it, with every read cut short at a fuzzed
// length: whatever the archive says, nothing may be written outside the
// destination, and the archive stays as it was.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <initializer_list>
#include <string>

#include "ablative.h"
#include "fuzz_util.h"
#include "platform/env.h"

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

void removeTree(const std::string& path) { ::nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); }

// Links into "outside", at names the seed archives store, chosen by the bits of `plan`.
void plantLinks(const std::string& folder, uint8_t plan) {
  static const char* const kLinks[][2] = {{"a.txt", "outside/victim"},
                                          {"sub", "outside"},
                                          {"empty", "outside/victim"},
                                          {"sub/zeros.txt", "outside/victim"}};
  ::mkdir((folder + "/out").c_str(), 0755);
  for (int i = 0; i < 4; ++i) {
    if ((plan >> i & 1) == 0 || (i == 3 && (plan & 2) != 0)) continue;  // sub/zeros.txt needs a real sub
    if (i == 3) ::mkdir((folder + "/out/sub").c_str(), 0755);
    if (::symlink((folder + "/" + kLinks[i][1]).c_str(), (folder + "/out/" + kLinks[i][0]).c_str()) != 0) {
      std::abort();
    }
  }
}

// The names in `folder` are exactly `allowed`.
void requireOnly(const std::string& folder, std::initializer_list<std::string> allowed) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) std::abort();
  size_t seen = 0;
  while (struct dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) std::abort();
    ++seen;
  }
  ::closedir(dir);
  if (seen != allowed.size()) std::abort();
}

// Nothing but the destination changed: the scratch folder holds the archive, the destination and "outside" as it
// was made.
void requireNothingOutside(const std::string& folder) {
  requireOnly(folder, {"archive.zvka", "out", "outside"});
  requireOnly(folder + "/outside", {"victim"});
  char content[8] = {};
  FILE* victim = std::fopen((folder + "/outside/victim").c_str(), "rb");
  if (victim == nullptr || std::fread(content, 1, sizeof content, victim) != 6 || std::memcmp(content, "victim", 6)) {
    std::abort();
  }
  std::fclose(victim);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first byte sets the longest read the file layer completes at once,
  // the second which links the destination holds beforehand.
  const uint32_t readLimit = 1 + data[0] * 7u;
  const uint8_t links = data[1];
  data += 2;
  size -= 2;
  std::wstring archive = fuzz::writeInput("archive.zvka", data, size);
  const std::string folder = fuzz::scratchFolder();
  removeTree(folder + "/out");
  removeTree(folder + "/outside");
  ::mkdir((folder + "/outside").c_str(), 0755);
  fuzz::writeInput("outside/victim", reinterpret_cast<const uint8_t*>("victim"), 6);
  plantLinks(folder, links);

  ablative::setIoHook([&](const ablative::IoCall& call) -> uint32_t {
    if (call.op == ablative::IoOp::Read && call.limit != nullptr && *call.limit > readLimit) *call.limit = readLimit;
    return 0;
  });
  ablative::ExtractOptions keep;
  keep.keepOriginal = true;
  ablative::ExtractOutcome unused;
  ablative::extractArchive(archive, ablative::fromUtf8(folder + "/out"), keep, unused, {}, {}, {});
  ablative::setIoHook({});

  requireNothingOutside(folder);
  struct stat st;
  if (::stat((folder + "/archive.zvka").c_str(), &st) != 0 || static_cast<size_t>(st.st_size) != size) std::abort();
  return 0;
}
