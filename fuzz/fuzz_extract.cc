// A keep-original extraction of arbitrary bytes, into a folder that may hold links leading out, every read cut short
// at a fuzzed length: nothing is written outside the destination, and the archive stays as it was.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "ablative.h"
#include "fuzz_util.h"

namespace {

namespace fs = std::filesystem;
using fuzz::require;
using Names = std::set<std::string>;

// Links into "outside", at names the seed archives store, chosen by the bits of `plan`.
void plantLinks(const fs::path& folder, uint32_t plan) {
  static const char* const kLinks[][2] = {{"a.txt", "outside/victim"},
                                          {"sub", "outside"},
                                          {"empty", "outside/victim"},
                                          {"sub/zeros.txt", "outside/victim"}};
  fs::create_directory(folder / "out");
  for (int i = 0; i < 4; ++i) {
    if ((plan >> i & 1) == 0 || (i == 3 && (plan & 2) != 0)) continue;  // sub/zeros.txt needs a real sub
    if (i == 3) fs::create_directory(folder / "out/sub");
    fs::create_symlink(folder / kLinks[i][1], folder / "out" / kLinks[i][0]);
  }
}

Names namesIn(const fs::path& folder) {
  Names names;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

void requireNothingOutside(const fs::path& folder) {
  require(namesIn(folder) == Names{"archive.zvka", "out", "outside"} && namesIn(folder / "outside") == Names{"victim"});
  std::ifstream victim(folder / "outside/victim", std::ios::binary);
  require(std::string(std::istreambuf_iterator<char>(victim), {}) == "victim");
}

}  // namespace

void fuzz::one(Input input) {
  // The first byte sets the longest read completed at once, the second which links the destination holds.
  uint32_t readLimit = 0, links = 0;
  if (!input.take(1, readLimit) || !input.take(1, links)) return;
  readLimit = 1 + readLimit * 7u;
  std::wstring archive = writeInput("archive.zvka", input.data, input.size);
  const fs::path folder = scratchFolder();
  std::error_code ignored;
  fs::remove_all(folder / "out", ignored), fs::remove_all(folder / "outside", ignored);
  fs::create_directory(folder / "outside");
  writeInput("outside/victim", reinterpret_cast<const uint8_t*>("victim"), 6);
  plantLinks(folder, links);

  ablative::setIoHook([&](const ablative::IoCall& call) -> uint32_t {
    if (call.op == ablative::IoOp::Read && call.limit != nullptr && *call.limit > readLimit) *call.limit = readLimit;
    return 0;
  });
  ablative::ExtractOptions keep;
  keep.keepOriginal = true;
  ablative::ExtractOutcome unused;
  ablative::extractArchive(archive, (folder / "out").wstring(), keep, unused, {}, {}, {});
  ablative::setIoHook({});

  requireNothingOutside(folder);
  require(fs::file_size(folder / "archive.zvka", ignored) == input.size);
}
