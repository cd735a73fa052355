// Shared by the extraction tests: archives packed or spelled out, extraction runs, the I/O hook in a scope.
#pragma once

#include <algorithm>
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
  size_t logged(const std::wstring& line) const { return size_t(std::count(log.begin(), log.end(), line)); }
};

struct ScenePiece {  // where a unit's piece goes in its file
  std::string path;
  uint64_t at, length;
};
struct SceneUnit {
  uint64_t offset, storedSize;
  std::vector<ScenePiece> pieces;
};

// Zvka5: 12-byte blocks that small files share, the files read-only (a resume after the metadata must not write
// them); Zvka4: the same laid out as version 4. Zip*: as Info-ZIP lays one out. Tar: ustar plus a hard link "hard.link" to the first file; TarGz, TarZst,
// TarXz, TarBz2: compressed. The tars come last.
enum class Packing { Zvka, Zvka4, Zvka5, ZipStored, ZipDeflated, Tar, TarGz, TarZst, TarXz, TarBz2 };

// A scratch folder for the archive x.zvka (whatever its packing), its journal and the destination.
struct Scene {
  Scene(const Tree& packed = {}, uint32_t blockSize = 4);  // packs a non-empty tree with createArchive
  Scene(const Tree& packed, Packing packing);
  RunResult run(bool resume, bool keepOriginal, const ablative::ProgressCallback& watch = {}) const;
  RunResult run(const ablative::ExtractOptions& options, const fs::path& destination,
                const ablative::ProgressCallback& watch = {}) const;
  std::vector<std::string> folder() const;  // the names in the scratch folder, sorted
  void pack(const ablative::CreateOptions& options, bool readOnlyFiles = false);  // the tree, with createArchive
  void readUnits();
  void asVersion4();  // rewrites a packed version-5 archive as version 4
  // Splits the archive into four volumes x.zvka.001 to x.zvka.004 (the last shorter), which `archive` then names.
  void splitIntoParts();
  Bytes archiveBytes() const;                     // its parts' concatenation, from the first until one is missing
  std::vector<std::string> archiveNames() const;  // as packed
  ScratchDir scratch;
  fs::path archive = scratch / "x.zvka", journal = scratch / "x.zvka.zvkj", out = scratch / "out";
  Tree tree;
  Bytes original;                  // the archive as packed
  ablative::ArchiveTables tables;  // of a .zvka archive
  std::vector<SceneUnit> units;    // as the engine plans them
  uint64_t dataStart = 0;          // what lies before it describes the archive, and is never released
  uint64_t groupBytes = ablative::kDefaultGroupBytes;  // what run(resume, keepOriginal) releases at once
  size_t parts = 1;
};

// Fails the `release`th release of a run releasing a unit at a time. For smallTree (a.txt: blocks 0-2, b/c.bin: 3-4,
// taken from the end) the third leaves b/c.bin released and cut away; the first, b/c.bin's last block recorded.
void interrupt(Scene& s, int release = 3);
// Releases a unit at a time, and stops when asked whether to for the `ask`th time once the run has written its
// journal: the asks of the pass over the archive before it are not counted.
ablative::ExtractOptions stoppingAt(const Scene& s, int ask);

// An archive createArchive would never write. Block offsets count from the data area; header fields left 0 and the
// path fields of records whose pathLength is 0 are filled in.
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
