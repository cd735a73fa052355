// Nothing is lost whatever fails (an I/O error or full disk at any call, a power loss at any flush); a resume ends.
#include <gtest/gtest.h>

#include <array>
#include <new>
#include <set>

#include "codecs/coding.h"
#include "extract_fixture.h"
#include "power_loss.h"

using namespace testutil;
using namespace ablative;

namespace {

using Names = std::vector<std::string>;

// Where a journal's states start: after its record in version 2.
size_t statesAt(const Bytes& journal) {
  return journal.size() < 32 || journal[8] != 2 ? 16 : 32 + size_t(get64(journal.data() + 16));
}

// After a failed or cut run: only the archive, its journal files and the destination exist, the archive's tables are
// unchanged, every unit whose bytes are gone is recorded as written and intact in its destination; a resume completes.
void expectNothingLostThenResume(const Scene& s, bool keep) {
  const std::string journalName = s.journal.filename().string();
  std::set<std::string> mayExist = {"out", journalName, journalName + ".creating", journalName + ".points"};
  for (const std::string& name : s.archiveNames()) mayExist.insert(name);
  for (const std::string& name : s.folder()) EXPECT_EQ(mayExist.count(name), 1u) << name;
  if (!fs::exists(s.archive) && !fs::exists(s.journal)) {  // the run completed
    EXPECT_EQ(readTree(s.out), s.tree);
    EXPECT_EQ(s.folder(), Names{"out"});
    return;
  }
  const Bytes now = s.archiveBytes(), journal = readFile(s.journal);  // empty when missing
  EXPECT_TRUE(now.empty() || (now.size() >= s.dataStart &&
                              std::equal(now.begin(), now.begin() + ptrdiff_t(s.dataStart), s.original.begin())));
  for (size_t b = 0; b < s.units.size(); ++b) {
    const SceneUnit& unit = s.units[b];
    const auto from = static_cast<ptrdiff_t>(unit.offset), to = from + ptrdiff_t(unit.storedSize);
    if (now.size() >= size_t(to) && std::equal(now.begin() + from, now.begin() + to, &s.original[from])) continue;
    SCOPED_TRACE("unit " + std::to_string(b));
    const size_t state = statesAt(journal) + b;
    ASSERT_GT(journal.size(), state) << "consumed without a journal";
    EXPECT_TRUE(journal[state] == 1 || journal[state] == 2) << "consumed while Pending";
    for (const ScenePiece& piece : unit.pieces) {
      const Bytes dest = readFile(s.out / piece.path), &want = s.tree.at(piece.path);
      ASSERT_GE(dest.size(), piece.at + piece.length) << "consumed before its bytes were written";
      EXPECT_TRUE(std::equal(want.begin() + piece.at, want.begin() + piece.at + piece.length, dest.begin() + piece.at));
    }
  }
  const RunResult resumed = s.run(true, keep);
  ASSERT_TRUE(resumed.ok) << toUtf8(resumed.error);
  EXPECT_EQ(readTree(s.out), s.tree);
  EXPECT_EQ(s.archiveBytes(), keep ? s.original : Bytes{});
  Names left = keep ? s.archiveNames() : Names{};
  left.insert(left.begin(), "out");
  EXPECT_EQ(s.folder(), left);
}

// Where the file system keeps no holes (FAT, exFAT) the archive cannot be made sparse, and runs release by cuts.
uint32_t noHoles(const IoCall& call) { return call.op == IoOp::MarkSparse ? ioErrorCode() : standInForZeroing(call); }

// One call fails: the run fails naming the injected code and loses nothing, or works around it.
void failEachCallInTurn(bool keep, uint64_t groupBytes = kDefaultGroupBytes, bool cutOnly = false,
                        Packing packing = Packing::Zvka, bool parts = false) {
  for (uint32_t code : {ioErrorCode(), diskFullCode()}) {
    const std::wstring coded = L"(code=" + std::to_wstring(code) + L"): " + systemErrorText(code);
    const std::wstring plain = L" (error " + std::to_wstring(code) + L")";
    size_t failing = 0;
    for (size_t calls = 1; calls >= failing; ++failing) {  // until the failing call is one the run never makes
      SCOPED_TRACE("call " + std::to_string(failing) + " fails with " + std::to_string(code));
      Scene s(smallTree(), packing);
      if (parts) s.splitIntoParts();
      s.groupBytes = groupBytes;
      calls = 0;
      IoOp failed{};
      ScopedIoHook failOne([&](const IoCall& call) {
        if (cutOnly && call.op == IoOp::MarkSparse) return ioErrorCode();
        return calls++ == failing ? (failed = call.op, code) : 0u;
      });
      const RunResult run = s.run(false, keep);
      setIoHook(cutOnly ? noHoles : standInForZeroing);
      const std::wstring& e = run.error;
      EXPECT_EQ(run.ok, e.empty()) << toUtf8(e);
      // With --keep, success means every file is durable: no flush may fail unnoticed.
      const bool flush = failed == IoOp::Flush || failed == IoOp::FlushFileSystem || failed == IoOp::SyncDirectory;
      EXPECT_TRUE(!keep || !run.ok || !flush || calls <= failing);
      EXPECT_TRUE(e.find(L"(code=") == e.npos || e.substr(e.find(L"(code=")) == coded) << toUtf8(e);
      EXPECT_TRUE(e.find(L" (error ") == e.npos || e.ends_with(plain)) << toUtf8(e);
      expectNothingLostThenResume(s, keep);
    }
    EXPECT_GT(failing, 20u);
  }
}

TEST(FaultInjection, KeepOriginalSurvivesAFailureAtEveryCall) { failEachCallInTurn(true); }

// Memory runs out at each call of a consuming run in turn (but a removal's, which clean-up makes while the step is
// undone): the run says so, offers to resume once it has consumed anything, loses nothing, and resumes.
TEST(FaultInjection, MemoryRunningOutAtEveryCallLosesNothing) {
  size_t failing = 0;
  for (size_t calls = 1; calls >= failing; ++failing) {
    SCOPED_TRACE("call " + std::to_string(failing));
    Scene s(smallTree());
    s.groupBytes = 1;
    calls = 0;
    RunResult run;
    {
      ScopedIoHook outOfMemory([&](const IoCall& call) {
        if (call.op != IoOp::Remove && calls++ == failing) throw std::bad_alloc();
        return 0u;
      });
      run = s.run(false, false);
    }
    EXPECT_TRUE(run.ok || run.error == L"Not enough memory to go on") << toUtf8(run.error);
    EXPECT_TRUE(run.ok || run.outcome.resumable || s.archiveBytes() == s.original);
    expectNothingLostThenResume(s, false);
  }
  EXPECT_GT(failing, 20u);
}

// Each run a test of its own, so that they go side by side.
struct AblativeRun {
  const char* name;
  uint64_t groupBytes;
  bool cutOnly;
  Packing packing;
  bool parts = false;  // split into volumes
};
class FaultInjectionAblative : public ::testing::TestWithParam<AblativeRun> {};

TEST_P(FaultInjectionAblative, SurvivesAFailureAtEveryCall) {
  const AblativeRun& run = GetParam();
  failEachCallInTurn(false, run.groupBytes, run.cutOnly, run.packing, run.parts);
}

const auto byName = [](const auto& info) { return std::string(info.param.name); };

// Files flushed together or alone; by cuts (a zip's directory goes with the first); shared blocks; a tar's link last;
// points at xz blocks and bzip2 blocks; volumes, deleted as cuts pass them.
INSTANTIATE_TEST_SUITE_P(Runs, FaultInjectionAblative,
                         ::testing::Values(AblativeRun{"OneGroup", kDefaultGroupBytes, false, Packing::Zvka},
                                           AblativeRun{"BlockAtATime", 1, false, Packing::Zvka},
                                           AblativeRun{"ByCuts", 8, true, Packing::Zvka},
                                           AblativeRun{"Zip", 1, false, Packing::ZipDeflated},
                                           AblativeRun{"ZipByCuts", 1, true, Packing::ZipDeflated},
                                           AblativeRun{"SharedBlocks", 1, false, Packing::Zvka5},
                                           AblativeRun{"TarByCuts", 1, true, Packing::Tar},
                                           AblativeRun{"TarZst", 1, false, Packing::TarZst},
                                           AblativeRun{"TarXz", 1, false, Packing::TarXz},
                                           AblativeRun{"TarBz2ByCuts", 1, true, Packing::TarBz2},
                                           AblativeRun{"ZipVolumes", 1, false, Packing::ZipDeflated, true},
                                           AblativeRun{"TarGzVolumesByCuts", 1, true, Packing::TarGz, true}),
                         byName);

// At every flush, both ways, and after the run, releasing one, two or all units at a time, by holes and by cuts; and
// for a large entry's pieces, each decoded from a point in the journal's tail. An earlier empty journal is replaced.
enum class Shape { Small, OneFile, Pieces };
struct Archive {
  const char* name;
  Shape shape;
  Packing packing;
  bool parts = false;  // split into volumes
};
class PowerCut : public ::testing::TestWithParam<Archive> {};

TEST_P(PowerCut, NothingIsLostAtAnyFlush) {
  const Tree oneFile = {{"large.bin", mixedBytes(44, 5)}};
  const Tree pieces = {{"large.bin", mixedBytes((4 << 20) + 300000, 5)}, {"small.txt", bytesOf("small")}};
  const auto [name, shape, packing, parts] = GetParam();
  const Tree tree = shape == Shape::Small ? smallTree() : shape == Shape::OneFile ? oneFile : pieces;
  for (int releases = 0; releases < 5; ++releases) {
    const uint64_t bound = std::array<uint64_t, 3>{1, 8, kDefaultGroupBytes}[releases % 3];
    const bool cutOnly = releases >= 3;
    if ((cutOnly && tree.size() == 1) || (tree == pieces && releases % 3 != 0)) continue;
    int crashAt = 0;
    for (bool crashed = true; crashed; ++crashAt) {
      SCOPED_TRACE(std::to_string(tree.size()) + " files, groups of " + std::to_string(bound) +
                   (cutOnly ? " bytes, released by cuts" : " bytes") + ": power lost at flush " +
                   std::to_string(crashAt / 2) + (crashAt % 2 ? ", metadata kept" : ""));
      Scene s(tree, packing);
      if (parts) s.splitIntoParts();
      s.groupBytes = bound;
      writeFile(s.out / tree.begin()->first, "stale content, longer than the stored file");  // replaced at first write
      Bytes pending = bytesOf(std::string("ZVKJWIN\0\1\0\0\0", 12));
      for (int i = 0; i < 4; ++i) pending.push_back(uint8_t(s.units.size() >> (8 * i)));
      pending.resize(16 + s.units.size(), 0);
      writeFile(s.journal, pending);
      PowerLoss power{crashAt / 2, crashAt % 2 == 1};
      {
        ScopedIoHook hook(
            [&](const IoCall& call) { return cutOnly && call.op == IoOp::MarkSparse ? ioErrorCode() : power(call); });
        s.run(false, false);  // a loss late in the run may go unnoticed by it
      }
      crashed = power.crashed();
      power.rollBack();
      ScopedIoHook resumeAlike(cutOnly ? noHoles : standInForZeroing, false);
      expectNothingLostThenResume(s, false);
    }
    EXPECT_GE(crashAt, 10);
  }
}

INSTANTIATE_TEST_SUITE_P(Trees, PowerCut,
                         ::testing::Values(Archive{"Tree", Shape::Small, Packing::Zvka},
                                           Archive{"OneFile", Shape::OneFile, Packing::Zvka},
                                           Archive{"TreeZip", Shape::Small, Packing::ZipDeflated},
                                           Archive{"PiecesZip", Shape::Pieces, Packing::ZipDeflated},
                                           Archive{"TreeV5", Shape::Small, Packing::Zvka5},
                                           Archive{"TreeTar", Shape::Small, Packing::Tar},
                                           Archive{"PiecesTarGz", Shape::Pieces, Packing::TarGz},
                                           Archive{"PiecesTarZst", Shape::Pieces, Packing::TarZst},
                                           Archive{"PiecesTarXz", Shape::Pieces, Packing::TarXz},
                                           Archive{"PiecesTarBz2", Shape::Pieces, Packing::TarBz2},
                                           Archive{"TreeVolumes", Shape::Small, Packing::Zvka, true}),
                         byName);

}  // namespace
