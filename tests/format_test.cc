// The archive layout as written, and the reader's checks in their order.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

#include "ablative.h"
#include "codecs/crc32.h"
#include "platform/env.h"
#include "test_util.h"

using namespace testutil;

namespace {

bool create(const fs::path& source, const fs::path& archive, uint32_t blockSize, std::wstring& errorText) {
  const ablative::Status created = ablative::createArchive(wide(source), wide(archive), blockSize, {}, {}, {});
  errorText = created.message;
  return created.ok();
}

// The archive's bytes are frozen: pinned by their CRC-32 at each block size. Large blocks are coded in the
// background: runs of them, coded and stored, within a file and across files, exercise its buffer handover. In
// archive order: whole paths by UTF-16 code unit, so "." sorts before "/" and a non-BMP name (a surrogate pair,
// D83D ...) before U+E000, unlike code-point order. Empty folders leave no trace.
TEST(ArchiveLayout, IsTheSameBytesAtEveryBlockSize) {
  ScratchDir dir;
  std::mt19937 random(11);
  Bytes noise(150000);  // stored raw: coding cannot shorten it
  for (uint8_t& byte : noise) byte = static_cast<uint8_t>(random());
  // clang-format off
  const std::pair<std::string, Bytes> files[] = {
      {"B.txt", bytesOf("B")}, {"a-b.txt", {}}, {"a.txt", bytesOf("AAAAAAAAAA")}, {"b/c.bin", {}},
      {"b/mixed.dat", mixedBytes(200000, 7)}, {"b/noise.bin", noise}, {"b/runs.dat", Bytes(70000, 0x41)},
      {"dir.txt", bytesOf("dir")}, {"dir/x.bin", bytesOf("x")},
      {"\xF0\x9F\x98\x80 smile/\xC3\xA9t\xC3\xA9.txt", bytesOf("non-BMP folder, accented file")},
      {"\xEE\x80\x80.txt", bytesOf("private use")}};
  // clang-format on
  for (const auto& [path, content] : files) writeFile(dir / ("src/" + path), content);
  fs::create_directories(dir / "src/empty/also-empty");
  const std::pair<uint32_t, uint32_t> pins[] = {
      {1, 0xAF2FBF8D}, {4, 0x384B734B}, {1000, 0x819DEC79}, {65536, 0x4B34315C}, {4u << 20, 0x1657BAA3}};
  for (const auto& [blockSize, crc] : pins) {
    std::wstring errorText;
    ASSERT_TRUE(create(dir / "src", dir / "out.zvka", blockSize, errorText)) << ablative::toUtf8(errorText);
    const Bytes archive = readFile(dir / "out.zvka");
    EXPECT_EQ(ablative::crc32(archive.data(), archive.size()), crc) << "block size " << blockSize;
  }
}

// The edges of the reader's checks, on a valid two-file archive damaged: a.txt (10 bytes) and b/c.bin (empty) in
// 4-byte blocks (81 41 at 188, 81 41 at 190, 41 41 stored at 192). The tables' checks come first, then every block;
// what extraction and `test` refuse in common is in the extraction tests.
TEST(ReaderChecks, EachDamageEndsInItsOwnMessage) {
  ScratchDir dir;
  writeFile(dir / "src/a.txt", "AAAAAAAAAA");
  writeFile(dir / "src/b/c.bin", "");
  std::wstring errorText;
  ASSERT_TRUE(create(dir / "src", dir / "good.zvka", 4, errorText));
  const auto set = [](size_t at, uint64_t value, size_t width) {
    return [=](Bytes& b) { std::memcpy(&b[at], &value, width); };
  };
  const std::wstring badMagic =
      L"Invalid archive format (bad magic). Ensure you selected a .zvka archive, not a .zvkj journal.";
  const std::wstring undecodable = L"Decompression failed (unsupported or invalid block codec) in block ";
  // clang-format off
  const std::tuple<const char*, std::function<void(Bytes&)>, std::wstring> cases[] = {
      {"intact", [](Bytes&) {}, L"accepted"},
      {"short header", [](Bytes& b) { b.resize(55); }, L"Invalid archive format (header read failed)"},
      {"journal magic", [](Bytes& b) { b[3] = 'J'; }, badMagic},
      {"version 1", set(8, 1, 4), L"Archive version mismatch. Recreate archive using this app version."},
      // Version 2 is read, and every block run-length decoded: the stored one then fails.
      {"version 2", set(8, 2, 4), undecodable + L"2 of: a.txt"},
      {"ends in path table", [](Bytes& b) { b.resize(60); }, L"Invalid archive path table"},
      {"ends in file table", [](Bytes& b) { b.resize(80); }, L"Invalid archive file table"},
      {"ends in block table", [](Bytes& b) { b.resize(150); }, L"Invalid archive block table"},
      {"path ends at table end", set(68 + 24 + 4, 7, 4), L"accepted"},
      {"path offset wraps", set(68, 0xFFFFFFFF, 4), L"Invalid archive path offsets"},
      {"repeat becomes literal", [](Bytes& b) { b[188] = 0x01; }, undecodable + L"0 of: a.txt"},
      {"unknown codec", [](Bytes& b) { b[116 + 48 + 20] = 7; }, undecodable + L"2 of: a.txt"},
      {"stored byte", [](Bytes& b) { b[193] = 0; }, L"Checksum verification failed in block 2 of: a.txt"},
  };
  // clang-format on
  for (const auto& [name, damage, message] : cases) {
    SCOPED_TRACE(name);
    Bytes archive = readFile(dir / "good.zvka");
    damage(archive);
    writeFile(dir / "bad.zvka", archive);
    const ablative::Status verified = ablative::verifyArchive(wide(dir / "bad.zvka"), {});
    EXPECT_EQ(verified.ok() ? L"accepted" : verified.message, message);
  }
}

}  // namespace
