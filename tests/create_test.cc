// Archive creation: refusals, what the scan takes, and that no failure, I/O error or power loss leaves a file that
// reads as an archive or loses the earlier one.
#include <gtest/gtest.h>

#include "ablative.h"
#include "consume/archive_checks.h"
#include "create/source_scan.h"
#include "extract_fixture.h"
#include "power_loss.h"

using namespace testutil;
using namespace ablative;

namespace {

Status create(const fs::path& source, const fs::path& archive, uint32_t blockSize, const PauseCallback& paused = {}) {
  return createArchive(wide(source), wide(archive), blockSize, {}, {}, paused);
}

fs::path volume(const fs::path& archive, int index) {
  return archive.string() + "." + std::string(index < 10 ? "00" : "0") + std::to_string(index);
}

// The archive a run left: the file, or its volumes from the first to the last before a missing one, joined.
Bytes joined(const fs::path& archive, uint64_t volumeBytes) {
  if (volumeBytes == 0) return readFile(archive);
  Bytes all;
  for (int i = 1; fs::exists(volume(archive, i)); ++i) {
    const Bytes part = readFile(volume(archive, i));
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

// The names in `folder` that begin with `prefix`.
size_t namesFrom(const fs::path& folder, const std::string& prefix) {
  return std::ranges::count_if(fs::directory_iterator(folder),
                               [&](const auto& entry) { return entry.path().filename().string().starts_with(prefix); });
}

TEST(CreateArchive, RefusalsLeaveNoArchive) {
  ScratchDir dir;
  writeFile(dir / "src/f.txt", "x");
  writeFile(dir / "a-file", "blocks a folder");
  fs::create_directories(dir / "only-folders/a/b");
  std::vector<std::tuple<fs::path, fs::path, uint32_t, std::wstring>> cases = {
      {dir / "src", dir / "out.zvka", 0, L"Block size must be greater than zero"},
      {dir / "absent", dir / "out.zvka", 0, L"Input path does not exist"},  // before the block size
      {dir / "only-folders", dir / "out.zvka", 4, L"Input directory contains no regular files"},
      {dir / "src", dir / "a-file/sub/out.zvka", 4, L"Unable to create archive destination folder"},
      {dir / "src", dir / "src", 4, L"Unable to create archive file"}};
#ifndef _WIN32
  writeFile(dir / "bs/back\\slash.txt", "a backslash would become a folder on extraction");
  writeFile(dir / "utf8/sub/bad\xFF.txt", "no UTF-8 form");
  writeFile(dir / "huge/huge.bin", "");
  fs::resize_file(dir / "huge/huge.bin", (uint64_t{1} << 32) + 1);  // sparse: costs no disk
  const std::wstring unsupported = L"File name not supported by the archive format: ";
  cases.insert(cases.end(),
               {{"/dev/null", dir / "out.zvka", 4, L"Input path is neither a file nor a directory"},
                {dir / "bs", dir / "out.zvka", 4, unsupported + wide(dir / "bs/back\\slash.txt")},
                {dir / "utf8", dir / "out.zvka", 4, unsupported + wide(dir / "utf8/sub") + L"/bad\xDCFF.txt"},
                {dir / "huge", dir / "out.zvka", 1, L"Source is too large for the archive format"}});
#endif
  for (const auto& [source, archive, blockSize, message] : cases) {
    SCOPED_TRACE(toUtf8(message));
    const Status run = create(source, archive, blockSize);
    EXPECT_FALSE(run.ok());
    EXPECT_EQ(run.message, message);
    EXPECT_FALSE(fs::exists(dir / "out.zvka"));
  }
  EXPECT_EQ(fs::directory_iterator(dir / "src")->path().filename(), "f.txt");  // no temporary file left
}

// The source changes after the scan, at a pause poll (the fourth: while b.bin is read): the run fails, the earlier
// archive stays.
TEST(CreateArchive, ChangedSourceFailsAndKeepsTheOldArchive) {
  const std::tuple<size_t, std::function<void(const fs::path&)>, int> cases[] = {
      {10, [](const fs::path& p) { fs::resize_file(p, 5); }, 1},   // shrinks
      {10, [](const fs::path& p) { fs::resize_file(p, 11); }, 1},  // grows past a partial block
      {8, [](const fs::path& p) { fs::resize_file(p, 9); }, 1},    // grows after full blocks
      {8, [](const fs::path& p) { fs::resize_file(p, 12); }, 4},   // the same, while read
      {0, [](const fs::path& p) { fs::resize_file(p, 3); }, 1},    // grows from empty
      {10, [](const fs::path& p) { fs::remove(p); }, 1}};          // disappears
  for (const auto& [initialSize, change, atPoll] : cases) {
    SCOPED_TRACE(initialSize);
    ScratchDir dir;
    writeFile(dir / "src/a.bin", "first");
    writeFile(dir / "src/b.bin", Bytes(initialSize, 0x61));
    writeFile(dir / "out.zvka", "an earlier archive");
    const Status run = create(dir / "src", dir / "out.zvka", 4, [&, polls = 0]() mutable {
      if (++polls == atPoll) change(dir / "src/b.bin");
      return false;
    });
    const std::wstring path = wide(dir / "src") + kPathSeparator + L"b.bin";
    EXPECT_TRUE(!run.ok() && (run.message == L"Source file changed or became unreadable during archiving: " + path ||
                              run.message == L"Unable to open source file: " + path))
        << toUtf8(run.message);
    EXPECT_EQ(readFile(dir / "out.zvka"), bytesOf("an earlier archive"));
    EXPECT_FALSE(fs::exists(dir / "out.zvka.creating"));
  }
}

// Volumes join to the archive one file holds, a volume ending in the block table, in a block, or at the archive's
// end (a set of one). An earlier set is replaced, its volumes numbered past the new set's last removed; a run that
// finds one of its volumes held by an extraction is refused, changing nothing.
TEST(CreateArchive, VolumesJoinToTheArchiveAndReplaceAnEarlierSet) {
  ScratchDir dir;
  writeFile(dir / "src/a.bin", mixedBytes(3000, 5));
  writeFile(dir / "src/b.txt", "small");
  ASSERT_TRUE(create(dir / "src", dir / "one.zvka", 16).ok());
  const Bytes whole = readFile(dir / "one.zvka");  // 189 blocks: a block table of 4536 bytes, then 3005 bytes at most
  const fs::path set = dir / "set.zvka";
  CreateOptions options;
  options.blockSize = 16;
  for (uint64_t size : {uint64_t{whole.size()}, uint64_t{1} << 20, uint64_t{1000}}) {
    SCOPED_TRACE(size);
    for (int i = 1; i <= 9; ++i) writeFile(volume(set, i), "an earlier volume");
    writeFile(dir / "set.zvka.0012", "one past a missing volume, spelt as a reader takes it");
    options.volumeBytes = size;
    ASSERT_TRUE(createArchive(wide(dir / "src"), wide(set), options, {}, {}, {}).ok());
    EXPECT_EQ(joined(set, size), whole);
    EXPECT_EQ(namesFrom(dir.path(), "set.zvka"), (whole.size() + size - 1) / size);
    EXPECT_EQ(fs::file_size(volume(set, 1)), std::min<uint64_t>(size, whole.size()));
  }
  FileHandle extraction;
  ASSERT_TRUE(openFile(wide(volume(set, 2)), OpenMode::ReadWrite, extraction) && lockFile(extraction, true));
  options.volumeBytes = whole.size();
  EXPECT_EQ(createArchive(wide(dir / "src"), wide(set), options, {}, {}, {}).message,
            L"Archive is in use by an extraction: " + wide(volume(set, 2)));
  EXPECT_TRUE(joined(set, 1) == whole && namesFrom(dir.path(), "set.zvka") == (whole.size() + 999) / 1000);
}

#ifndef _WIN32
// A link is stored as its file under its own name; a dangling link and one to a folder are passed over.
TEST(CreateArchive, LinksKeepTheirOwnNameInsideTheTree) {
  ScratchDir dir;
  writeFile(dir / "src/real.txt", "inside");
  writeFile(dir / "outside.txt", "from outside the tree");
  writeFile(dir / "src/folder/deep.txt", "deep");
  fs::create_symlink(dir / "src/real.txt", dir / "src/link-in.txt");
  fs::create_symlink(dir / "outside.txt", dir / "src/link-out.txt");
  fs::create_symlink(dir / "nowhere", dir / "src/dangling.txt");
  fs::create_directory_symlink(dir / "src/folder", dir / "src/folder-link");
  SourceFiles source;
  std::vector<std::string> names;
  collectSourceFiles(wide(dir / "src"), ScanScope::Files, 2, source);
  for (const auto& entry : source.entries) names.push_back(entry.relativePathUtf8 + ":" + std::to_string(entry.size));
  EXPECT_EQ(names, (std::vector<std::string>{"folder/deep.txt:4", "link-in.txt:6", "link-out.txt:21", "real.txt:6"}));
}
#endif

// 64 KiB blocks: a.bin's are coded in the background while the next is read, b.bin's in line.
struct Source {
  ScratchDir dir;
  Bytes good;  // the archive of src
  Source() {
    writeFile(dir / "src/a.bin", mixedBytes(200000, 3));
    writeFile(dir / "src/sub/b.bin", mixedBytes(5000, 4));
    writeFile(dir / "src/empty", "");
    EXPECT_TRUE(createArchive(wide(dir / "src"), wide(dir / "reference.zvka"), 64 << 10, {}, {}, {}).ok());
    good = readFile(dir / "reference.zvka");
  }
  Status create(const fs::path& archive, const LogCallback& log = {}, uint64_t volumeBytes = 0) const {
    CreateOptions options;
    options.blockSize = 64 << 10;
    options.volumeBytes = volumeBytes;
    return createArchive(wide(dir / "src"), wide(archive), options, {}, log, {});
  }
};

// Each platform call fails in turn, writing one file or volumes that split blocks: the run fails with a message (or
// does without it), no temporary file is left, the earlier archive stays unless already replaced, and no volume is
// left unless the whole set is.
TEST(CreateFaults, EveryFailingCallEndsCleanly) {
  const Source s;
  const fs::path archive = s.dir / "out/x.zvka";
  for (uint64_t volumeBytes : {0, 3000}) {  // 3000: 4 volumes of the 9614 bytes
    const Bytes earlier = volumeBytes ? Bytes{} : bytesOf("an earlier archive");
    for (uint32_t code : {diskFullCode(), ioErrorCode()}) {
      size_t n = 0;
      for (size_t calls = 1; calls >= n; ++n) {  // until the failing call is one the run never makes
        SCOPED_TRACE("call " + std::to_string(n) + " fails with " + std::to_string(code) + ", volumes of " +
                     std::to_string(volumeBytes));
        fs::remove_all(s.dir / "out");
        writeFile(volumeBytes ? s.dir / "out/other" : archive, earlier);
        calls = 0;
        Status run;
        {
          ScopedIoHook failing([&](const IoCall&) { return calls++ == n ? code : 0u; });
          run = s.create(archive, {}, volumeBytes);
        }
        const Bytes now = joined(archive, volumeBytes);
        EXPECT_TRUE(run.ok() ? now == s.good : now == earlier || now == s.good) << toUtf8(run.message);
        EXPECT_NE(run.ok(), !run.message.empty());
        EXPECT_EQ(namesFrom(s.dir / "out", "x.zvka"), now.empty() ? 0 : volumeBytes ? 4 : 1);  // nor temporaries
      }
      EXPECT_GT(n, 20u);
    }
  }
  ASSERT_TRUE(s.create(archive).ok());
  EXPECT_EQ(readFile(archive), s.good);
}

// A power loss at every flush, over an earlier file and into a new folder: the path holds the earlier file or the
// whole archive (the archive once reported created); a creation afterwards goes through.
TEST(CreateFaults, PowerLossLeavesTheEarlierFileOrTheWholeArchive) {
  const Source s;
  const Bytes earlier = bytesOf("an earlier archive");
  for (const char* name : {"x.zvka", "new/x.zvka"}) {
    const fs::path archive = s.dir / "out" / name;
    const bool replaces = archive.parent_path() == s.dir / "out";
    int crashAt = 0;
    for (bool crashed = true; crashed; ++crashAt) {
      SCOPED_TRACE(std::string(name) + ": power lost at flush " + std::to_string(crashAt / 2) +
                   (crashAt % 2 ? ", metadata kept" : ""));
      fs::remove_all(s.dir / "out");
      fs::create_directories(s.dir / "out");
      if (replaces) writeFile(archive, earlier);
      PowerLoss power(crashAt / 2, crashAt % 2 == 1);
      bool reported = false;
      {
        ScopedIoHook hook(std::ref(power));
        s.create(archive, [&](const std::wstring& line) { reported |= line.starts_with(L"Archive created"); });
      }
      crashed = power.crashed();
      power.rollBack();
      const Bytes now = readFile(archive);
      if (reported || now != s.good) {
        EXPECT_EQ(now, reported ? s.good : replaces ? earlier : Bytes{});
        EXPECT_TRUE(reported || replaces || !fs::exists(archive));
      }
      EXPECT_TRUE(now != s.good || verifyArchive(wide(archive), {}).ok());
      const Status again = s.create(archive);
      ASSERT_TRUE(again.ok()) << toUtf8(again.message);
      EXPECT_EQ(readFile(archive), s.good);
    }
    EXPECT_GE(crashAt, replaces ? 5 : 7);  // every flush: the file, its folder, a created folder's parent
  }
}

}  // namespace
