// The archive layout as written, and the reader's checks in their order.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

#include "ablative.h"
#include "codecs/codec.h"
#include "codecs/crc32.h"
#include "consume/archive_checks.h"
#include "containers/format_table.h"
#include "containers/zvka_format.h"
#include "platform/env.h"
#include "test_util.h"

using namespace testutil;
using ablative::ArchiveTables;

namespace {

void put(Bytes& out, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

struct SourceFile {
  std::string path;
  Bytes content;
};

// An independent model of the layout: what an archive of `files` (already in
// archive order) must be, byte for byte.
Bytes modelArchive(const std::vector<SourceFile>& files, uint32_t blockSize) {
  Bytes paths, fileTable, blockTable, data;
  uint64_t sourceBytes = 0, blockCount = 0;
  std::vector<Bytes> blocks;
  for (const SourceFile& file : files) {
    uint64_t count = (file.content.size() + blockSize - 1) / blockSize;
    put(fileTable, paths.size(), 4);
    put(fileTable, file.path.size(), 4);
    put(fileTable, file.content.size(), 8);
    put(fileTable, blockCount, 4);
    put(fileTable, count, 4);
    paths.insert(paths.end(), file.path.begin(), file.path.end());
    sourceBytes += file.content.size();
    blockCount += count;
    for (uint64_t at = 0; at < file.content.size(); at += blockSize) {
      size_t length = std::min<size_t>(blockSize, file.content.size() - at);
      blocks.emplace_back(file.content.begin() + at, file.content.begin() + at + length);
    }
  }
  uint64_t dataOffset = 56 + paths.size() + 24 * (files.size() + blockCount);
  for (const Bytes& raw : blocks) {
    Bytes coded = ablative::rleEncode(raw.data(), raw.size());
    bool rle = coded.size() < raw.size();
    const Bytes& stored = rle ? coded : raw;
    put(blockTable, dataOffset + data.size(), 8);
    put(blockTable, stored.size(), 4);
    put(blockTable, raw.size(), 4);
    put(blockTable, ablative::crc32(raw.data(), raw.size()), 4);
    put(blockTable, rle ? 0 : 1, 4);
    data.insert(data.end(), stored.begin(), stored.end());
  }
  Bytes archive = bytesOf(std::string("ZVKAWIN", 8));
  put(archive, 3, 4);
  put(archive, blockSize, 4);
  put(archive, sourceBytes, 8);
  put(archive, paths.size(), 4);
  put(archive, files.size(), 4);
  put(archive, blockCount, 4);
  put(archive, 56 + paths.size(), 8);
  put(archive, dataOffset, 8);
  put(archive, 0, 4);
  for (const Bytes* part : {&paths, &fileTable, &blockTable, &data})
    archive.insert(archive.end(), part->begin(), part->end());
  return archive;
}

bool create(const fs::path& source, const fs::path& archive, uint32_t blockSize, std::wstring& errorText) {
  return ablative::createArchive(wide(source), wide(archive), blockSize, errorText, {}, {}, {});
}

// The front ends list archives by these rows: a row under a name no source
// reports would drop its extensions from them.
TEST(FormatTable, EveryRowNamesASourceAndHasAnExtension) {
  for (const ablative::FormatExtensions& row : ablative::formatExtensions()) {
    EXPECT_NE(ablative::sourceNamed(std::wstring(row.format)), nullptr);
    EXPECT_FALSE(row.extensions.empty());
  }
}

TEST(ArchiveLayout, MatchesTheModelAtEveryBlockSize) {
  ScratchDir dir;
  std::mt19937 random(11);
  Bytes noise(150000);  // stored raw: coding cannot shorten it
  for (uint8_t& byte : noise) byte = static_cast<uint8_t>(random());
  // Large blocks are coded in the background: runs of them, coded and
  // stored, within a file and across files, exercise its buffer handover.
  // In archive order: whole paths by UTF-16 code unit, so "." sorts before "/" and a non-BMP name (a surrogate
  // pair, D83D ...) before U+E000, unlike code-point order. Empty folders leave no trace.
  std::vector<SourceFile> files = {
      {"B.txt", bytesOf("B")},
      {"a-b.txt", {}},
      {"a.txt", bytesOf("AAAAAAAAAA")},
      {"b/c.bin", {}},
      {"b/mixed.dat", mixedBytes(200000, 7)},
      {"b/noise.bin", noise},
      {"b/runs.dat", Bytes(70000, 0x41)},
      {"dir.txt", bytesOf("dir")},
      {"dir/x.bin", bytesOf("x")},
      {"\xF0\x9F\x98\x80 smile/\xC3\xA9t\xC3\xA9.txt", bytesOf("non-BMP folder, accented file")},
      {"\xEE\x80\x80.txt", bytesOf("private use")},
  };
  for (const SourceFile& file : files) writeFile(dir / ("src/" + file.path), file.content);
  fs::create_directories(dir / "src/empty/also-empty");
  for (uint32_t blockSize : {1u, 4u, 1000u, 65536u, 4u << 20}) {
    SCOPED_TRACE(blockSize);
    std::wstring errorText;
    ASSERT_TRUE(create(dir / "src", dir / "out.zvka", blockSize, errorText)) << ablative::toUtf8(errorText);
    EXPECT_EQ(readFile(dir / "out.zvka"), modelArchive(files, blockSize));
  }
}

// A valid two-file archive to damage: a.txt (10 bytes) and b/c.bin (empty), 4-byte blocks.
class ReaderChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(dir_ / "src/a.txt", "AAAAAAAAAA");
    writeFile(dir_ / "src/b/c.bin", "");
    std::wstring errorText;
    ASSERT_TRUE(create(dir_ / "src", dir_ / "good.zvka", 4, errorText));
    good_ = readFile(dir_ / "good.zvka");
  }

  // The tables' checks, then every block (blocks: 81 41 at 188, 81 41 at 190, 41 41 stored at 192).
  std::wstring readError(const Bytes& archive) {
    writeFile(dir_ / "bad.zvka", archive);
    std::wstring errorText = L"untouched";
    if (ablative::verifyArchive(wide(dir_ / "bad.zvka"), errorText, {})) return L"accepted";
    return errorText;
  }

  static void set32(Bytes& bytes, size_t at, uint32_t value) { std::memcpy(&bytes[at], &value, 4); }
  static void set64(Bytes& bytes, size_t at, uint64_t value) { std::memcpy(&bytes[at], &value, 8); }

  ScratchDir dir_;
  Bytes good_;
};

// The edges of the reader's checks; what extraction and `test` refuse in common is in the extraction tests.
TEST_F(ReaderChecks, EachDamageEndsInItsOwnMessage) {
  const std::wstring badMagic =
      L"Invalid archive format (bad magic). Ensure you selected a .zvka archive, not a .zvkj journal.";
  // clang-format off
  const std::tuple<const char*, std::function<void(Bytes&)>, std::wstring> cases[] = {
      {"intact", [](Bytes&) {}, L"accepted"},
      {"short header", [](Bytes& b) { b.resize(55); }, L"Invalid archive format (header read failed)"},
      {"magic without its zero", [](Bytes& b) { b[7] = 1; }, badMagic},
      {"journal magic", [](Bytes& b) { b[3] = 'J'; }, badMagic},
      {"version 1", [](Bytes& b) { set32(b, 8, 1); }, L"Archive version mismatch. Recreate archive using this app version."},
      // Version 2 is read, and every block run-length decoded: the stored one then fails.
      {"version 2", [](Bytes& b) { set32(b, 8, 2); }, L"Decompression failed (unsupported or invalid block codec) in block 2 of: a.txt"},
      {"informative offsets wrong", [](Bytes& b) { set64(b, 36, 1); set64(b, 44, 2); }, L"accepted"},
      {"ends in path table", [](Bytes& b) { b.resize(60); }, L"Invalid archive path table"},
      {"ends in file table", [](Bytes& b) { b.resize(80); }, L"Invalid archive file table"},
      {"ends in block table", [](Bytes& b) { b.resize(150); }, L"Invalid archive block table"},
      {"path ends at table end", [](Bytes& b) { set32(b, 68 + 24 + 4, 7); }, L"accepted"},
      {"path offset wraps", [](Bytes& b) { set32(b, 68, 0xFFFFFFFF); }, L"Invalid archive path offsets"},
      {"repeat becomes literal", [](Bytes& b) { b[188] = 0x01; }, L"Decompression failed (unsupported or invalid block codec) in block 0 of: a.txt"},
      {"unknown codec", [](Bytes& b) { b[116 + 48 + 20] = 7; }, L"Decompression failed (unsupported or invalid block codec) in block 2 of: a.txt"},
      {"stored byte", [](Bytes& b) { b[193] = 0; }, L"Checksum verification failed in block 2 of: a.txt"},
  };
  // clang-format on
  for (const auto& [name, damage, message] : cases) {
    SCOPED_TRACE(name);
    Bytes archive = good_;
    damage(archive);
    EXPECT_EQ(readError(archive), message);
  }
  ArchiveTables tables;
  std::wstring errorText;
  ablative::FileHandle absent;  // not opened: there is no such file
  EXPECT_FALSE(ablative::readArchiveTables(absent, tables, errorText));
  EXPECT_EQ(errorText, L"Unable to open archive file");
}

}  // namespace
