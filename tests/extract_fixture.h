// Shared by the extraction tests: archives packed from trees or spelled out record by record, extraction runs, and
// the I/O hook in a scope.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "ablative.h"
#include "containers/zvka_format.h"
#include "platform/env.h"
#include "test_util.h"
#include "zeroing_stand_in.h"

namespace testutil {

using Tree = std::map<std::string, Bytes>;  // relative UTF-8 path -> content
Tree smallTree();                           // five 4-byte blocks over two files, and an empty file
Tree readTree(const fs::path& root);

struct RunResult {
  bool ok = false;
  std::wstring error;
  ablative::StatusKind kind = ablative::StatusKind::Ok;
  std::vector<ablative::ProgressInfo> progress;
  std::vector<std::wstring> log;
  ablative::ExtractOutcome outcome;
};

// A zip of the tree as Info-ZIP lays one out, each entry stored or deflated.
Bytes zipOf(const Tree& tree, bool deflate);
// A ustar tar of the tree, with a hard link named `hardLink` to its first file after it.
Bytes tarOf(const Tree& tree, const std::string& hardLink);

// A unit of an archive's plan, where it lies and where its pieces go.
struct ScenePiece {
  std::string path;
  uint64_t at, length;  // in its file
};
struct SceneUnit {
  uint64_t offset, storedSize;
  std::vector<ScenePiece> pieces;
};

// Zvka4: version 4 in 12-byte blocks, so that small files share them, every file read-only, so that a run resumed
// after the metadata was set must not need to write them. Tar: with a hard link, "hard.link", to the first file, which
// the scene's tree holds as a file; TarGz: that tar as one gzip member.
enum class Packing { Zvka, Zvka4, ZipStored, ZipDeflated, Tar, TarGz };

// A scratch folder for the archive x.zvka (a zip, whatever its name says, when so packed), its journal and the
// destination.
struct Scene {
  Scene(const Tree& packed = {}, uint32_t blockSize = 4);  // packs a non-empty tree with createArchive
  Scene(const Tree& packed, Packing packing);
  RunResult run(bool resume, bool keepOriginal, const ablative::ProgressCallback& watch = {}) const;
  RunResult run(const ablative::ExtractOptions& options, const fs::path& destination,
                const ablative::ProgressCallback& watch = {}) const;
  std::vector<std::string> folder() const;  // the names in the scratch folder, sorted
  void pack(const ablative::CreateOptions& options, bool readOnlyFiles = false);  // the tree, with createArchive
  void readUnits();
  ScratchDir scratch;
  fs::path archive = scratch / "x.zvka", journal = scratch / "x.zvka.zvkj", out = scratch / "out";
  Tree tree;
  Bytes original;                  // the archive as packed
  ablative::ArchiveTables tables;  // of a .zvka archive
  std::vector<SceneUnit> units;
  uint64_t dataStart = 0;  // what lies before it describes the archive, and is never released
  uint64_t groupBytes = ablative::kDefaultGroupBytes;  // what run(resume, keepOriginal) releases at once
};

// An archive createArchive would never write. Block offsets count from the data area (wrapping below it reaches
// into the tables); header fields left 0 and the path fields of records whose pathLength is 0 are filled in.
struct RawArchive {
  ablative::ArchiveHeader header;
  std::vector<std::string> paths;
  std::vector<ablative::FileRecord> files;
  std::vector<ablative::BlockRecord> blocks;
  Bytes data;
  Bytes encode() const;
};
RawArchive storedArchive(const std::vector<std::pair<std::string, Bytes>>& contents);  // a Stored block a file

class ScopedIoHook {  // installs an I/O hook for its lifetime, with the stand-in for zeroing unless told not to
 public:
  explicit ScopedIoHook(ablative::IoHook hook, bool standIn = true);
  ~ScopedIoHook() { ablative::setIoHook(standInForZeroing); }
  ScopedIoHook(const ScopedIoHook&) = delete;
  ScopedIoHook& operator=(const ScopedIoHook&) = delete;
};
uint32_t ioErrorCode();  // the platform's code for an I/O error
inline uint32_t diskFullCode() { return ablative::diskFullErrorCode(); }

}  // namespace testutil
