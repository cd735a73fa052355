// Archive creation: its lines, progress and pause, what the scan takes from the source, and that a failed run
// never leaves a file that reads as an archive.
#include <gtest/gtest.h>

#include "ablative.h"
#include "consume/archive_checks.h"
#include "containers/zvka_format.h"
#include "create/source_scan.h"
#include "platform/env.h"
#include "test_util.h"

using namespace testutil;

namespace {

struct CreateRun {
  bool ok = false;
  std::wstring errorText;
  std::vector<std::wstring> lines;
  std::vector<ablative::ProgressInfo> progress;
};

CreateRun create(const fs::path& source, const fs::path& archive, uint32_t blockSize,
                 const ablative::PauseCallback& isPaused = {}) {
  CreateRun run;
  const ablative::Status created = ablative::createArchive(
      wide(source), wide(archive), blockSize, [&](const ablative::ProgressInfo& info) { run.progress.push_back(info); },
      [&](const std::wstring& line) { run.lines.push_back(line); }, isPaused);
  run.ok = created.ok();
  run.errorText = created.message;
  return run;
}

TEST(CreateArchive, TenEqualBytesGiveTheDocumentedBlocksAndLines) {
  ScratchDir dir;
  writeFile(dir / "ten.txt", Bytes(10, 0x41));
  CreateRun run = create(dir / "ten.txt", dir / "out/ten.zvka", 4);
  ASSERT_TRUE(run.ok) << ablative::toUtf8(run.errorText);
  EXPECT_EQ(run.lines,
            (std::vector<std::wstring>{L"Packing: ten.txt", L"Archive created: " + wide(dir / "out/ten.zvka"),
                                       L"Summary: files=1, source-bytes=10, archive-data-bytes=6, ratio=0.600000"}));
  Bytes archive = readFile(dir / "out/ten.zvka");
  EXPECT_EQ(Bytes(archive.end() - 6, archive.end()), (Bytes{0x81, 0x41, 0x81, 0x41, 0x41, 0x41}));
  ASSERT_EQ(run.progress.size(), 3u);  // after every block
  EXPECT_EQ(std::tuple(run.progress[2].blocksDone, run.progress[2].blocksTotal, run.progress[2].bytesDone),
            std::tuple(3u, 3u, uint64_t{10}));
  run = create(dir / "ten.txt", dir / "out/paused.zvka", 4, [&, paused = 0]() mutable {
    return ++paused == 2;  // held once, before the second block, then released
  });
  EXPECT_TRUE(run.ok && readFile(dir / "out/paused.zvka") == archive);
}

TEST(CreateArchive, EmptyFileGivesAnArchiveOfTablesOnly) {
  ScratchDir dir;
  writeFile(dir / "empty.bin", "");
  CreateRun run = create(dir / "empty.bin", dir / "e.zvka", 4096);
  ASSERT_TRUE(run.ok);
  EXPECT_TRUE(run.progress.empty());
  EXPECT_EQ(run.lines.back(), L"Summary: files=1, source-bytes=0, archive-data-bytes=0, ratio=1.000000");
  EXPECT_EQ(fs::file_size(dir / "e.zvka"), 56u + 9u + 24u);
}

TEST(CreateArchive, RefusalsLeaveNoArchive) {
  ScratchDir dir;
  writeFile(dir / "src/f.txt", "x");
  writeFile(dir / "a-file", "blocks a folder");
  fs::create_directories(dir / "only-folders/a/b");
  struct Case {
    const char* name;
    fs::path source;
    fs::path archive;
    uint32_t blockSize;
    std::wstring message;
  };
  std::vector<Case> cases = {
      {"block size 0", dir / "src", dir / "out.zvka", 0, L"Block size must be greater than zero"},
      {"missing source first", dir / "absent", dir / "out.zvka", 0, L"Input path does not exist"},
      {"no files", dir / "only-folders", dir / "out.zvka", 4, L"Input directory contains no regular files"},
      {"parent is a file", dir / "src", dir / "a-file/sub/out.zvka", 4, L"Unable to create archive destination folder"},
      {"archive is a folder", dir / "src", dir / "src", 4, L"Unable to create archive file"},
  };
#ifndef _WIN32
  writeFile(dir / "bs/back\\slash.txt", "a backslash would become a folder on extraction");
  cases.push_back({"device", "/dev/null", dir / "out.zvka", 4, L"Input path is neither a file nor a directory"});
  cases.push_back({"backslash", dir / "bs", dir / "out.zvka", 4,
                   L"File name not supported by the archive format: " + wide(dir / "bs/back\\slash.txt")});
  writeFile(dir / "utf8/sub/bad\xFF.txt", "no UTF-8 form");
  cases.push_back({"not UTF-8", dir / "utf8", dir / "out.zvka", 4,
                   L"File name not supported by the archive format: " + wide(dir / "utf8/sub") + L"/bad\xDCFF.txt"});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CreateRun run = create(c.source, c.archive, c.blockSize);
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.errorText, c.message);
    EXPECT_FALSE(fs::exists(dir / "out.zvka"));
  }
  EXPECT_EQ(fs::directory_iterator(dir / "src")->path().filename(), "f.txt");  // no temporary file left
}

// The source changes after the scan, at a pause poll: the first comes before a.bin's first block, the fourth
// before b.bin's last, once b.bin is open. Whatever its size, the run fails.
TEST(CreateArchive, ChangedSourceFailsAndKeepsTheOldArchive) {
  struct Case {
    const char* name;
    size_t initialSize;
    std::function<void(const fs::path&)> change;
    int atPoll = 1;
  };
  const std::vector<Case> cases = {
      {"shrinks", 10, [](const fs::path& p) { fs::resize_file(p, 5); }},
      {"grows past a partial block", 10, [](const fs::path& p) { fs::resize_file(p, 11); }},
      {"grows after full blocks", 8, [](const fs::path& p) { fs::resize_file(p, 9); }},
      {"grows while read, after full blocks", 8, [](const fs::path& p) { fs::resize_file(p, 12); }, 4},
      {"grows from empty", 0, [](const fs::path& p) { fs::resize_file(p, 3); }},
      {"disappears", 10, [](const fs::path& p) { fs::remove(p); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    writeFile(dir / "src/a.bin", "first");
    writeFile(dir / "src/b.bin", Bytes(c.initialSize, 0x61));
    writeFile(dir / "out.zvka", "an earlier archive");
    int polls = 0;
    CreateRun run = create(dir / "src", dir / "out.zvka", 4, [&] {
      if (++polls == c.atPoll) c.change(dir / "src/b.bin");
      return false;
    });
    EXPECT_FALSE(run.ok);
    const std::wstring path = wide(dir / "src") + ablative::kPathSeparator + L"b.bin";
    EXPECT_TRUE(run.errorText == L"Source file changed or became unreadable during archiving: " + path ||
                run.errorText == L"Unable to open source file: " + path)
        << ablative::toUtf8(run.errorText);
    EXPECT_EQ(readFile(dir / "out.zvka"), bytesOf("an earlier archive"));
    EXPECT_FALSE(fs::exists(dir / "out.zvka.creating"));
  }
}

// Asked to stop before any file or block, the run stops there: the earlier archive stays, and no temporary file.
TEST(CreateArchive, StopOnRequestKeepsTheEarlierArchive) {
  ScratchDir dir;
  writeFile(dir / "src/a.bin", mixedBytes(200000, 1));  // blocks coded in the background
  writeFile(dir / "src/b/c.txt", "0123456789");
  writeFile(dir / "src/empty", "");
  int stopAt = 1;
  for (;; ++stopAt) {
    SCOPED_TRACE("stopped at ask " + std::to_string(stopAt));
    writeFile(dir / "out.zvka", "an earlier archive");
    ablative::CreateOptions options;
    options.blockSize = 64 << 10;
    options.shouldStop = [&, asks = 0]() mutable { return ++asks == stopAt; };
    const ablative::Status created =
        ablative::createArchive(wide(dir / "src"), wide(dir / "out.zvka"), options, {}, {}, {});
    if (created.ok()) break;
    EXPECT_EQ(created.message, L"Stopped on request");
    EXPECT_EQ(readFile(dir / "out.zvka"), bytesOf("an earlier archive"));
    EXPECT_FALSE(fs::exists(dir / "out.zvka.creating"));
  }
  EXPECT_EQ(stopAt, 3 + 4 + 1 + 1);  // asked before each file, a.bin's four blocks and c.txt's one
}

#ifndef _WIN32
// A link is stored as the file it leads to, under its own name, wherever that file lies; a dangling link and a link
// to a folder are passed over.
TEST(CreateArchive, LinksKeepTheirOwnNameInsideTheTree) {
  ScratchDir dir;
  writeFile(dir / "src/real.txt", "inside");
  writeFile(dir / "outside.txt", "from outside the tree");
  writeFile(dir / "src/folder/deep.txt", "deep");
  fs::create_symlink(dir / "src/real.txt", dir / "src/link-in.txt");
  fs::create_symlink(dir / "outside.txt", dir / "src/link-out.txt");
  fs::create_symlink(dir / "nowhere", dir / "src/dangling.txt");
  fs::create_directory_symlink(dir / "src/folder", dir / "src/folder-link");
  ablative::SourceFiles source;
  std::vector<std::string> names;
  ablative::collectSourceFiles(wide(dir / "src"), ablative::ScanScope::Files, source);
  for (const auto& entry : source.entries) names.push_back(entry.relativePathUtf8 + ":" + std::to_string(entry.size));
  EXPECT_EQ(names, (std::vector<std::string>{"folder/deep.txt:4", "link-in.txt:6", "link-out.txt:21", "real.txt:6"}));
}

// Names that only Windows refuses are packed here, and an extraction here takes them.
TEST(CreateArchive, WhatItPacksExtractionTakes) {
  ScratchDir dir;
  writeFile(dir / "src/a:b.txt", "a colon");
  writeFile(dir / "src/C:/what?.txt", "looks like a drive");
  CreateRun run = create(dir / "src", dir / "out.zvka", 4);
  ASSERT_TRUE(run.ok) << ablative::toUtf8(run.errorText);
  const ablative::Status verified = ablative::verifyArchive(wide(dir / "out.zvka"), {});
  EXPECT_TRUE(verified.ok()) << ablative::toUtf8(verified.message);
}

TEST(CreateArchive, RefusesCountsBeyondTheFormat) {
  ScratchDir dir;
  fs::create_directories(dir / "src");
  writeFile(dir / "src/huge.bin", "");
  fs::resize_file(dir / "src/huge.bin", (uint64_t{1} << 32) + 1);  // sparse: costs no disk
  CreateRun run = create(dir / "src", dir / "out.zvka", 1);
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(run.errorText, L"Source is too large for the archive format");
  EXPECT_FALSE(fs::exists(dir / "out.zvka"));
}
#endif

}  // namespace
