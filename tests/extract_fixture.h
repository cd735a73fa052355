// Shared by the extraction tests: source trees, archives made from them or
// crafted byte by byte, extraction runs, and the I/O hook in a scope.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ablative.h"
#include "env.h"
#include "format.h"
#include "test_util.h"

namespace testutil {

// Relative UTF-8 path ("/" between components) -> content.
using Tree = std::map<std::string, Bytes>;

// Several files with both codecs' kinds of content, an empty file, a nested
// folder and a name outside the Basic Multilingual Plane.
Tree sampleTree();
// Three blocks or more over two files at `blockSize` 4: small enough to test
// at every call.
Tree smallTree();

void writeTree(const fs::path& root, const Tree& tree);
Tree readTree(const fs::path& root);  // regular files only

// Writes `tree` under root/"src" and packs it into `archive`.
void makeArchive(const ScratchDir& scratch, const Tree& tree, uint32_t blockSize, const fs::path& archive);

ablative::ArchiveTables tablesOf(const fs::path& archive);

struct RunResult {
  bool ok = false;
  std::wstring error;
  std::vector<std::wstring> log;
  std::vector<ablative::ProgressInfo> progress;
};
RunResult extract(const fs::path& archive, const fs::path& destination, bool resume, bool keepOriginal);

// An archive spelled out record by record, for archives that createArchive
// would never write. Block offsets count from the start of the data area
// (wrapping below it reaches into the tables); path offsets and lengths are
// filled in from `paths` unless `keepPathFields`.
struct RawArchive {
  ablative::ArchiveHeader header;  // magic, version, counts and sizes filled in by encode() unless set
  std::vector<std::string> paths;
  std::vector<ablative::FileRecord> files;
  std::vector<ablative::BlockRecord> blocks;
  Bytes data;
  bool keepPathFields = false;
  bool keepCounts = false;
  Bytes encode() const;
};
// One Stored block per non-empty file.
RawArchive storedArchive(const std::vector<std::pair<std::string, Bytes>>& contents);

// Installs an I/O hook for its lifetime.
class ScopedIoHook {
 public:
  explicit ScopedIoHook(ablative::IoHook hook) { ablative::setIoHook(std::move(hook)); }
  ~ScopedIoHook() { ablative::setIoHook({}); }
  ScopedIoHook(const ScopedIoHook&) = delete;
  ScopedIoHook& operator=(const ScopedIoHook&) = delete;
};

// Ablative extraction needs a file system that releases ranges; Wine's does not.
inline bool canAblate() { return !runningUnderWine(); }

// The platform's codes for an I/O error and a full disk.
uint32_t ioErrorCode();
uint32_t diskFullCode();

// Names of the entries directly in `folder`, sorted.
std::vector<std::string> entriesOf(const fs::path& folder);

}  // namespace testutil
