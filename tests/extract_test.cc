// Extraction end to end: round trips, space released while a run goes, refusals, hostile archives.
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "codecs/codec.h"
#include "codecs/coding.h"
#include "codecs/zstd_block.h"
#include "consume/journal.h"
#include "extract_fixture.h"
#include "files/path_safety.h"
#include "files/paths.h"

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#endif

using namespace testutil;
using namespace ablative;

namespace {

using Names = std::vector<std::string>;

uint64_t allocatedBytes([[maybe_unused]] const fs::path& path) {  // 0 where not measured
#ifndef _WIN32
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return uint64_t(st.st_blocks) * 512;
#endif
  return 0;
}

// Empty, small and large archives in both modes: --keep leaves the archive as it was and makes no journal; an
// ablative run frees space while it goes, then deletes the archive and, once that is durable, the journal.
TEST(Extract, RoundTripsInBothModes) {
  Tree large = smallTree();
  large["nested/\xF0\x9F\x98\x80 smile.txt"] = bytesOf("a name outside the BMP");
  large["big.bin"] = mixedBytes(1200000, 1);
  for (int kind = 0; kind < 6; ++kind) {
    const bool keep = kind % 2 == 0;
    SCOPED_TRACE(kind);
    Scene s(kind < 2 ? Tree{} : kind < 4 ? smallTree() : large, kind < 4 ? 4 : 65536);
    s.groupBytes = 8 << 10;  // several groups
    if (kind < 2) writeFile(s.archive, s.original = storedArchive({}).encode());
    const uint64_t before = allocatedBytes(s.archive);
    uint64_t stored = 0, halfway = 0;
    for (const BlockRecord& block : s.tables.blocks) stored += block.storedSize;
    std::vector<std::wstring> removals;  // and folder flushes: the archive's removal is durable before the journal's
    ScopedIoHook watch([&](const IoCall& call) {
      if (call.op == IoOp::Remove || call.op == IoOp::SyncDirectory) removals.push_back(*call.path);
      return 0u;
    });
    const RunResult run = s.run(false, keep, [&](const ProgressInfo& info) {
      if (info.blocksDone == info.blocksTotal / 2) halfway = allocatedBytes(s.archive);
    });
    ASSERT_TRUE(run.ok) << toUtf8(run.error);
    EXPECT_EQ(readTree(s.out), s.tree);
    EXPECT_TRUE(run.progress.empty() || run.progress.back().bytesFreed == (keep ? 0 : stored));
    EXPECT_EQ(readFile(s.archive), keep ? s.original : Bytes{});
    EXPECT_EQ(s.folder(), keep ? (Names{"out", "x.zvka"}) : Names{"out"});
    if (keep) continue;
    if (kind >= 4) {
      EXPECT_LE(halfway, before * 2 / 3);
    }
    EXPECT_EQ(std::vector(removals.end() - std::min<size_t>(5, removals.size()), removals.end()),
              (std::vector{wide(s.archive), wide(s.scratch.path()), wide(s.journal), wide(s.journal) + L".creating",
                           wide(s.journal) + L".points"}));
  }
}

#ifndef _WIN32
// Destination files outnumber the open descriptors allowed, yet each is made when its data arrives.
TEST(Extract, ManyMoreFilesThanOpenDescriptors) {
  std::vector<std::pair<std::string, Bytes>> contents;
  for (size_t i = 0; i < 10000; ++i) {
    std::string path = "d";  // spelled out: GCC 12 misreads "d" + std::to_string(...) under -O2
    path += std::to_string(i % 100) + "/f" + std::to_string(i);
    contents.emplace_back(path, i % 1000 == 0 ? bytesOf("x") : Bytes{});
  }
  Scene s;
  writeFile(s.archive, storedArchive(contents).encode());
  rlimit saved{}, low{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  low = {64, saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  const RunResult run = s.run(false, false);
  setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(run.ok) << toUtf8(run.error);
  EXPECT_TRUE(readFile(s.out / "d0" / "f0") == bytesOf("x") && fs::exists(s.out / "d99" / "f9999"));
  EXPECT_EQ(s.folder(), Names{"out"});
}
#endif

// Failures on the archive's and journal's side name the system's reason (and --keep where it would help), and a
// resume completes. An archive with a hard link or named through a symbolic link is refused untouched; --keep works.
TEST(Extract, TheArchiveAndJournalSideSayWhy) {
#ifdef _WIN32
  constexpr uint32_t kDenied = 5;  // ERROR_ACCESS_DENIED
#else
  constexpr uint32_t kDenied = EACCES;
#endif
  const std::wstring why = L" (" + systemErrorText(kDenied) + L")";
  Scene s(smallTree());
  const std::wstring archive = wide(s.archive), journal = wide(s.journal), temporary = temporaryPathFor(journal);
  const auto failedOpen = [&](const std::wstring& path, OpenMode mode, uint32_t code) {
    return [=](const IoCall& call) {
      return call.op == IoOp::Open && *call.path == path && call.mode == mode ? code : 0u;
    };
  };
  uint32_t journalOpens = 0;  // for state changes, once it is written whole
  const std::tuple<IoHook, std::wstring> cases[] = {
      {failedOpen(archive, OpenMode::ReadWrite, kDenied),
       L"Failed to open archive for ablation: " + archive + why + L"; extract with --keep, which only reads it"},
      {failedOpen(temporary, OpenMode::CreateNew, kDenied),
       L"Failed to initialize journal: " + journal + why + L"; extract with --keep, which needs no journal"},
      {failedOpen(temporary, OpenMode::CreateNew, diskFullErrorCode()),  // --keep would need more room still
       L"Failed to initialize journal: " + journal + L" (" + systemErrorText(diskFullErrorCode()) + L")"},
      {[&](const IoCall& call) {
         journalOpens += call.op == IoOp::Open && *call.path == journal && call.mode == OpenMode::ReadWrite;
         return call.op == IoOp::Write && journalOpens == 1 && call.offset == 16 ? kDenied : 0u;
       },
       L"Failed to update journal (DestWritten): " + journal + why}};
  for (const auto& [hook, message] : cases) {
    SCOPED_TRACE(toUtf8(message));
    {
      ScopedIoHook fails(hook);
      EXPECT_EQ(s.run(false, false).error, message);
    }
    EXPECT_TRUE(s.run(true, false).ok);
    EXPECT_EQ(readTree(s.out), s.tree);
    fs::remove_all(s.out);
    writeFile(s.archive, s.original);
  }
  const fs::path other = s.scratch / "other.zvka";
  std::vector<std::pair<fs::path, std::wstring>> refusals = {
      {other, L"The archive has other names (hard links): extract with --keep: " + wide(other)}};
  fs::create_hard_link(s.archive, other);
#ifndef _WIN32  // Windows makes symbolic links for its administrators alone
  const fs::path link = s.scratch / "link.zvka";
  const std::wstring real = wide(fs::canonical(s.archive));
  fs::create_symlink(s.archive, link);
  refusals.emplace_back(link, L"The archive is a symbolic link to " + real + L": name " + real +
                                  L" itself to consume it, or extract with --keep");
#endif
  for (const auto& [named, message] : refusals) {
    ExtractOutcome outcome;
    const Status refused = extractArchive(wide(named), wide(s.out), ExtractOptions{}, outcome, {}, {}, {});
    EXPECT_FALSE(refused.ok());
    EXPECT_EQ(refused.message, message);
    EXPECT_TRUE(readFile(s.archive) == s.original && !fs::exists(s.journal) && !fs::exists(s.out));
    const Status kept = extractKeeping(wide(named), wide(s.out));
    EXPECT_TRUE(kept.ok()) << toUtf8(kept.message);
    fs::remove_all(s.out);
  }
}

// Refused with the message and nothing written, in both modes and by `test`; a bad block stops before it is written.
TEST(Extract, RefusesHostileArchives) {
  // Windows rules only; extract beside the archive; found late; the versions it is made in (version 3 unless given)
  enum Flags { Windows = 1, Beside = 2, Late = 4, V3 = 8, V4 = 16, V5 = 32, Modern = V4 | V5 };
  const auto named = [](std::vector<std::string> paths) {
    return [paths](RawArchive& raw) { std::copy(paths.begin(), paths.end(), raw.paths.begin()); };
  };
  const std::wstring unsafe = L"Unsafe path in archive: ", table = L"Invalid archive block table";
  const std::wstring files = L"Invalid archive file table", index = L"Invalid block index in archive";
  const std::wstring undecodable = L"Decompression failed (unsupported or invalid block codec) in block 1 of: two";
  using Spoil = std::function<void(RawArchive&)>;
  // The second file's block a Zstandard frame of 64 bytes where its table says 4.
  const auto framed = [](RawArchive& raw) {
    Bytes frame;
    const Bytes content(64, '2');
    zstdEncodeIfSmaller(content.data(), content.size(), kDefaultZstdLevel, frame);
    raw.data.resize(4);
    raw.data.insert(raw.data.end(), frame.begin(), frame.end());
    raw.blocks[1].storedSize = uint32_t(frame.size()), raw.blocks[1].codec = uint32_t(BlockCodec::Zstd);
  };
  // clang-format off
  const std::tuple<Spoil, std::wstring, int> cases[] = {
      {named({"../evil"}), unsafe + L"../evil", 0}, {named({"/tmp/zarvik-evil"}), unsafe + L"/tmp/zarvik-evil", 0},
      {named({"C:/evil"}), unsafe + L"C:/evil", Windows}, {named({"one:evil"}), unsafe + L"one:evil", Windows},
      {named({"same", "same"}), unsafe + L"same", 0}, {named({"Same", "SAME"}), unsafe + L"SAME", Windows},
      {named({"one", "x.zvka"}), unsafe + L"x.zvka", Beside}, {named({"x.zvka.zvkj"}), unsafe + L"x.zvka.zvkj", Beside},
      {named({"X.ZVKA.ZVKJ.CREATING"}), unsafe + L"X.ZVKA.ZVKJ.CREATING", Beside | Windows},
      {[](RawArchive& raw) { raw.blocks[1].offset = 2; }, table, 0},                 // overlapping
      {[](RawArchive& raw) { raw.blocks[0].offset = uint64_t(0) - 10; }, table, 0},  // in the tables
      {[](RawArchive& raw) { raw.data.pop_back(); }, table, 0},                      // ends inside a block
      {[](RawArchive& raw) { raw.files[1].blockCount = 0; }, table, 0},              // unclaimed
      {[](RawArchive& raw) { raw.files[1].firstBlock = 0; }, table, 0},              // claimed twice
      {[](RawArchive& raw) { raw.files[1].firstBlock = 7; }, index, 0},
      {[](RawArchive& raw) { raw.files[1] = {4, 100, 4, 1, 1}; }, L"Invalid archive path offsets", 0},
      {[](RawArchive& raw) { raw.header.pathTableSize = 0xFFFFFFF0u; }, L"Invalid archive path table", 0},
      {[](RawArchive& raw) { raw.header.fileCount = 0xFFFFFFFFu; }, files, V3 | V5},  // version 5: before decoding
      {[](RawArchive& raw) { raw.header.blockCount = 0xFFFFFFFFu; }, table, 0},
      {[](RawArchive& raw) { std::copy_n("ZVKAWIN!", 8, raw.header.magic); },
       L"Invalid archive format (bad magic). Ensure you selected a .zvka archive, not a .zvkj journal.", 0},
      {[](RawArchive& raw) { raw.header.version = 6; },
       L"Archive version mismatch. Recreate archive using this app version.", 0},
      {[](RawArchive& raw) { raw.blocks[1].crc ^= 1; }, L"Checksum verification failed in block 1 of: two", Late},
      {[](RawArchive& raw) { raw.blocks[1].codec = 0, raw.blocks[1].rawSize = 0xFFFFFFF0u; },  // before allocating
       undecodable, Late},
      {framed, undecodable, Late | Modern},
      {[](RawArchive& raw) { raw.blocks[1].codec = uint32_t(BlockCodec::Zstd); }, undecodable, Late},  // not in v3
      {[](RawArchive& raw) { raw.files[1].type = EntryType(3); }, files, Modern},
      {[](RawArchive& raw) { raw.files[1].type = EntryType::Link, raw.files[1].size = ~0ull; },
       L"Invalid archive path offsets", Modern},  // a target length that wraps the sum
      {[](RawArchive& raw) { raw.files[1].firstOffset = 1; }, index, Modern},  // runs past the last block
      {[](RawArchive& raw) { raw.files[0].size = 3; }, files, Modern},         // leaves a byte of its block over
      {[](RawArchive& raw) {  // an empty block no file covers
         raw.files.clear(), raw.paths.clear(), raw.blocks.resize(1), raw.blocks[0].rawSize = 0, raw.data.clear();
       }, files, Modern},
      // version 5's coded tables: cut, beyond the end, decoding to other than their size, or failing their CRC
      {[](RawArchive& raw) { raw.header.tablesStoredSize = 10; }, files, V5},
      {[](RawArchive& raw) { raw.header.tablesStoredSize = 1u << 20; }, files, V5},
      {[](RawArchive& raw) { raw.header.pathTableSize = 7; }, files, V5},
      {[](RawArchive& raw) { raw.header.tablesCrc = 1; }, files, V5}};
  // clang-format on
  for (const auto& [spoil, message, flags] : cases) {
    for (auto [version, keep] : {std::pair{3u, false}, {3u, true}, {4u, false}, {4u, true}, {5u, false}, {5u, true}}) {
      if ((flags & Windows) != 0 && !kWindowsPathRules) continue;
      if ((flags & (V3 << (version - 3))) == 0 && (version != 3 || (flags & (V3 | Modern)) != 0)) continue;
      SCOPED_TRACE(toUtf8(message) + (keep ? " (keep)" : " (ablative)") + " version " + std::to_string(version));
      Scene s;
      RawArchive raw = storedArchive({{"one", bytesOf("1111")}, {"two", bytesOf("2222")}});
      if (version > 3) raw.header.version = version, raw.header.blockSize = 4;
      spoil(raw);
      writeFile(s.archive, raw.encode());
      if ((flags & Beside) != 0) {  // the archive's folder by another spelling: through a link, or "out/.."
        if (kWindowsPathRules) fs::create_directory(s.out), s.out /= "..";
        if (!kWindowsPathRules) fs::create_directory_symlink(s.scratch.path(), s.out);
      }
      EXPECT_EQ(s.run(false, keep).error, message);
      // `test` refuses what extraction refuses, but for the destination's own files
      if ((flags & Beside) == 0) {
        EXPECT_EQ(verifyArchive(wide(s.archive), {}).message, message);
      }
      EXPECT_EQ(readFile(s.archive), raw.encode());
      const Names untouched = (flags & Beside) != 0 ? Names{"out", "x.zvka"} : Names{"x.zvka"};
      EXPECT_TRUE((flags & Late) != 0 ? readFile(s.out / "two").empty() : s.folder() == untouched);
    }
  }
}

// A version-5 header stating 2^32 - 1 files over a frame of run-length blocks shaped to decode to their 160 GiB of
// records: refused for want of memory, the process going on, the archive untouched.
TEST(Extract, RefusesTablesLargerThanMemory) {
  constexpr uint64_t kRun = 128 << 10, kTableBytes = uint64_t{kEntryRecordSize} * 0xFFFFFFFFu;
  Bytes frame(13);
  put32(frame.data(), 0xFD2FB528u);
  frame[4] = 0xE0;  // one segment, its content size in 8 bytes
  put64(frame.data() + 5, kTableBytes);
  for (uint64_t at = 0; at < kTableBytes; at += kRun) {
    const uint64_t run = std::min(kRun, kTableBytes - at);
    const auto block = uint32_t(run << 3 | 2 | (at + run == kTableBytes ? 1 : 0));  // run-length, the last marked
    frame.insert(frame.end(), {uint8_t(block), uint8_t(block >> 8), uint8_t(block >> 16), 0});
  }
  ArchiveHeader header = newArchiveHeader(kArchiveVersion5, 4, 0, 0, 0xFFFFFFFFu, 0);
  header.tablesStoredSize = frame.size();
  Bytes archive(kArchiveHeaderSize);
  encodeHeader(header, archive.data());
  archive.insert(archive.end(), frame.begin(), frame.end());
  Scene s;
  writeFile(s.archive, archive);
  const std::wstring refused = L"Not enough memory to go on";
  EXPECT_EQ(verifyArchive(wide(s.archive), {}).message, refused);
  EXPECT_EQ(s.run(false, false).error, refused);
  EXPECT_EQ(readFile(s.archive), archive);
}

}  // namespace
