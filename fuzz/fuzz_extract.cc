// A keep-original extraction of arbitrary bytes into a scratch folder that may already hold links leading out of
// it, with every read cut short at a fuzzed length: whatever the archive says, nothing may be written outside the
// destination, and the archive stays as it was.
#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "ablative.h"
#include "fuzz_util.h"

namespace {

using fuzz::require;

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }
void removeTree(const std::string& path) { ::nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); }

// Links into "outside", at names the seed archives store, chosen by the bits of `plan`.
void plantLinks(const std::string& folder, uint32_t plan) {
  static const char* const kLinks[][2] = {{"a.txt", "outside/victim"},
                                          {"sub", "outside"},
                                          {"empty", "outside/victim"},
                                          {"sub/zeros.txt", "outside/victim"}};
  ::mkdir((folder + "/out").c_str(), 0755);
  for (int i = 0; i < 4; ++i) {
    if ((plan >> i & 1) == 0 || (i == 3 && (plan & 2) != 0)) continue;  // sub/zeros.txt needs a real sub
    if (i == 3) ::mkdir((folder + "/out/sub").c_str(), 0755);
    require(::symlink((folder + "/" + kLinks[i][1]).c_str(), (folder + "/out/" + kLinks[i][0]).c_str()) == 0);
  }
}

// The names in `folder` are exactly `allowed`.
void requireOnly(const std::string& folder, const std::set<std::string>& allowed) {
  DIR* dir = ::opendir(folder.c_str());
  require(dir != nullptr);
  std::set<std::string> seen;
  while (struct dirent* entry = ::readdir(dir)) seen.insert(entry->d_name);
  ::closedir(dir);
  seen.erase("."), seen.erase("..");
  require(seen == allowed);
}

// Nothing but the destination changed: the scratch folder holds the archive, the destination and "outside" as it
// was made.
void requireNothingOutside(const std::string& folder) {
  requireOnly(folder, {"archive.zvka", "out", "outside"});
  requireOnly(folder + "/outside", {"victim"});
  char content[8] = {};
  FILE* victim = std::fopen((folder + "/outside/victim").c_str(), "rb");
  require(victim != nullptr && std::fread(content, 1, sizeof content, victim) == 6 &&
          !std::memcmp(content, "victim", 6));
  std::fclose(victim);
}

}  // namespace

void fuzz::one(Input input) {
  // The first byte sets the longest read the file layer completes at once, the second which links the destination
  // holds beforehand.
  uint32_t readLimit = 0, links = 0;
  if (!input.take(1, readLimit) || !input.take(1, links)) return;
  readLimit = 1 + readLimit * 7u;
  std::wstring archive = writeInput("archive.zvka", input.data, input.size);
  const std::string folder = scratchFolder();
  removeTree(folder + "/out");
  removeTree(folder + "/outside");
  ::mkdir((folder + "/outside").c_str(), 0755);
  writeInput("outside/victim", reinterpret_cast<const uint8_t*>("victim"), 6);
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
  require(::stat((folder + "/archive.zvka").c_str(), &st) == 0 && static_cast<size_t>(st.st_size) == input.size);
}
