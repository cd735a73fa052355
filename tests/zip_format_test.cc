// The zip reader on hostile archives built byte by byte here, and the decoder's resume points; archives other
// tools made are read end to end in tests/zip_cli_test.sh.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <functional>
#include <tuple>

#include "ablative.h"
#include "codecs/coding.h"
#include "codecs/crc32.h"
#include "consume/archive_checks.h"
#include "consume/journal.h"
#include "containers/zip_fields.h"
#include "containers/zip_format.h"
#include "containers/zip_source.h"
#include "files/block_io.h"
#include "files/file_util.h"
#include "platform/env.h"
#include "test_util.h"

using namespace testutil;
using namespace ablative;

namespace {

// Decodes `compressed` from `from` on, handing the decoder at most `inPiece`
// bytes and `outPiece` bytes of room at a time; ok once the decoder is finished.
Status decodeAll(ZipDecoder& decoder, const Bytes& compressed, size_t from, size_t inPiece, size_t outPiece,
                 Bytes& decoded) {
  Bytes room(outPiece);
  for (size_t at = from;;) {
    size_t consumed = 0, produced = 0;
    const size_t piece = std::min(inPiece, compressed.size() - at);
    Status result = decoder.decode(compressed.data() + at, piece, room.data(), room.size(), consumed, produced);
    at += consumed;
    decoded.insert(decoded.end(), room.begin(), room.begin() + produced);
    if (!result.ok() || decoder.finished()) return result;
    if (consumed == 0 && produced == 0 && piece == 0) return failure(StatusKind::Failed, L"stalled");
  }
}

struct ReadZip {
  ZipDirectory directory;
  std::vector<Bytes> data;  // each entry's decoded bytes
  std::wstring error;       // the first refusal or damage, empty when none
};

// Everything a caller does before writing: read the directory, check each
// entry, then decode each entry in pieces.
ReadZip readZip(const fs::path& path, size_t inPiece = 4096, size_t outPiece = 1000) {
  ReadZip zip;
  FileHandle file;
  if (!openFile(wide(path), OpenMode::ReadOnly, file)) return zip;
  Status read = readZipDirectory(file, zip.directory);
  for (size_t i = 0; read.ok() && i < zip.directory.entries.size(); ++i) {
    read = checkZipEntryDecodable(zip.directory.entries[i]);
  }
  for (size_t i = 0; read.ok() && i < zip.directory.entries.size(); ++i) {
    const ZipEntry& entry = zip.directory.entries[i];
    Bytes compressed;
    readArchiveBlock(file, entry.dataOffset, static_cast<uint32_t>(entry.compressedSize), compressed);
    ZipDecoder decoder(entry);
    zip.data.emplace_back();
    read = decodeAll(decoder, compressed, 0, inPiece, outPiece, zip.data.back());
  }
  zip.error = read.message;
  return zip;
}

// Appends each value in its width, least significant byte first.
void put(Bytes& out, std::initializer_list<std::pair<uint64_t, int>> fields) {
  for (auto [value, width] : fields) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
}

void patch(Bytes& zip, size_t at, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) zip[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A small zip writer for hostile archives: each entry stored as given, its local header repeating the central one (a
// data descriptor in its place when flag bit 3 is set), deflated data followed by a byte that belongs to no entry.
struct Member {
  std::string name;
  Bytes raw;
  uint16_t method = 0;
  uint16_t flags = 0;
  Bytes data = method == kZipDeflated ? deflated(raw) : raw;  // as stored
  uint32_t crc = crc32(raw.data(), raw.size());

  static Bytes deflated(const Bytes& raw) {  // zlib's stream, its two-byte header and four-byte trailer left out
    uLongf length = compressBound(uLong(raw.size()));
    Bytes out(length);
    compress2(out.data(), &length, raw.data(), uLong(raw.size()), 6);
    return Bytes(out.begin() + 2, out.begin() + length - 4);
  }
};

struct Layout {  // where each local header, each central one and the end record start
  std::vector<size_t> local, central;
  size_t end = 0;
};

Bytes buildZip(const std::vector<Member>& members, Layout& layout) {
  const auto headerFields = [](Bytes& out, const Member& m, bool deferred) {  // version needed to extra length
    // clang-format off
    put(out, {{20, 2}, {m.flags, 2}, {m.method, 2}, {0, 2}, {0x21, 2} /* 1980-01-01 */, {deferred ? 0 : m.crc, 4},
              {deferred ? 0 : m.data.size(), 4}, {deferred ? 0 : m.raw.size(), 4}, {m.name.size(), 2}, {0, 2}});
    // clang-format on
  };
  Bytes zip, central;
  for (const Member& m : members) {
    layout.local.push_back(zip.size());
    put(zip, {{0x04034b50, 4}});
    headerFields(zip, m, m.flags & 8);
    zip.insert(zip.end(), m.name.begin(), m.name.end());
    zip.insert(zip.end(), m.data.begin(), m.data.end());
    if (m.flags & 8) put(zip, {{0x08074b50, 4}, {m.crc, 4}, {m.data.size(), 4}, {m.raw.size(), 4}});
    if (m.method == kZipDeflated && !m.data.empty()) zip.push_back(0);
  }
  for (size_t i = 0; i < members.size(); ++i) {
    layout.central.push_back(zip.size() + central.size());
    put(central, {{0x02014b50, 4}, {0x031E, 2}});  // made by: Unix
    headerFields(central, members[i], false);
    // comment length, disk, internal and external attributes, the local header's offset
    put(central, {{0, 6}, {0100644u << 16, 4}, {layout.local[i], 4}});
    central.insert(central.end(), members[i].name.begin(), members[i].name.end());
  }
  const size_t centralAt = zip.size();
  zip.insert(zip.end(), central.begin(), central.end());
  layout.end = zip.size();
  put(zip,
      {{0x06054b50, 4}, {0, 4}, {members.size(), 2}, {members.size(), 2}, {central.size(), 4}, {centralAt, 4}, {0, 2}});
  return zip;
}

constexpr size_t kFlags = 6, kMethod = 8, kCrc = 14, kCompressed = 18, kUncompressed = 22;
using Spoil = std::function<void(Bytes& zip, const Layout& l)>;

TEST(ZipReader, HostileArchivesAreRefusedOrFoundDamagedBeforeAnythingIsWritten) {
  const Bytes mixed = mixedBytes(40000, 7);
  // The last entry deflated to no bytes at all, as some writers leave an empty file.
  // clang-format off
  const std::vector<Member> members = {{"a.txt", bytesOf("hello")}, {"b/c.txt", mixed, kZipDeflated},
                                       {"d.txt", bytesOf("described"), 0, 8}, {"e.txt", {}, kZipDeflated, 0, {}}};
  // clang-format on
  Layout l;
  const Bytes valid = buildZip(members, l);
  const uint64_t bSize = members[1].data.size(), aCoversB = l.local[1] - l.local[0] - 30 - 5 + 10;
  // The field at `field` in entry `entry`'s local header, and in its central one where `central`.
  const auto field = [](size_t entry, size_t field, uint64_t value, int width = 2, bool central = true) -> Spoil {
    return [=](Bytes& z, const Layout& l) {
      patch(z, l.local[entry] + field, value, width);
      if (central) patch(z, l.central[entry] + field + 2, value, width);
    };
  };
  const auto at = [](std::function<size_t(const Layout&)> where, uint64_t value, int width) -> Spoil {
    return [=](Bytes& z, const Layout& l) { patch(z, where(l), value, width); };
  };
  const auto central = [](size_t field) { return [=](const Layout& l) { return l.central[0] + field; }; };
  const auto end = [](size_t field) { return [=](const Layout& l) { return l.end + field; }; };
  const std::wstring mismatch = L"Local header does not match the central directory: a.txt",
                     invalid = L"Invalid zip central directory (truncated or inconsistent)",
                     encrypted = L"Encrypted entry, which this program cannot extract: a.txt",
                     endsEarly = L"Zip entry data is damaged (ends early): b/c.txt";
  const std::tuple<const char*, Spoil, std::wstring, uint64_t, uint64_t> cases[] = {
      // clang-format off
    {"valid", [](Bytes&, const Layout&) {}, L"", 0, 0},
    {"prefix before the first entry", [](Bytes& z, const Layout&) { z.insert(z.begin(), 1000, 'M'); }, L"", 1000, 1000},
    {"no end record", [](Bytes& z, const Layout& l) { z.resize(l.end); }, L"Not a zip archive (no end of central directory record)", 0, 0},
    {"multi-disk", at(end(4), 1, 2), L"Multi-disk zip archive, which this program cannot extract", 0, 0},
    {"truncated central directory", [](Bytes& z, const Layout& l) { z.erase(z.begin() + l.end - 10, z.begin() + l.end); }, invalid, 0, 0},
    {"more entries than the directory holds", at(end(8), 0x00050005, 4), invalid, 0, 0},
    {"local name differs", field(0, 30, 'A', 1, false), mismatch, 0, 0},
    {"local method differs", field(0, kMethod, 8, 2, false), mismatch, 0, 0},
    {"local size differs", field(0, kCompressed, 6, 4, false), mismatch, 0, 0},
    {"local UTF-8 flag alone", field(0, kFlags, 0x800, 2, false), L"", 0, 0},
    {"central descriptor flag alone", at(central(kFlags + 2), 8, 2), L"", 0, 0},
    {"local descriptor flag, no descriptor", field(0, kFlags, 8, 2, false), L"Data descriptor does not match the central directory: a.txt", 0, 0},
    {"local encryption flag alone", field(0, kFlags, 1, 2, false), mismatch, 0, 0},
    {"local header missing", at(central(42), 3, 4), mismatch, 0, 0},
    {"descriptor differs", field(2, 30 + 5 + 9 + 4, 0, 4, false), L"Data descriptor does not match the central directory: d.txt", 0, 0},
    {"entry outside the file", at(central(42), 0xFFFFFF00, 4), L"Zip entry lies outside the archive: a.txt", 0, 0},
    {"entries overlap", field(0, kCompressed, aCoversB * 0x100000001, 8), L"Zip entries overlap: b/c.txt", 0, 0},
    {"entry overlaps the central directory", field(3, kCompressed, 9 * 0x100000001, 8), L"Zip entry overlaps the central directory: e.txt", 0, 0},
    {"encrypted", field(0, kFlags, 1), encrypted, 0, 0},
    {"AES", field(0, kMethod, 99), encrypted, 0, 0},
    {"bzip2", field(1, kMethod, 12), L"Unsupported compression method (bzip2): b/c.txt", 0, 0},
    {"Deflate64", field(1, kMethod, 9), L"Unsupported compression method (Deflate64): b/c.txt", 0, 0},
    {"XZ", field(1, kMethod, 95), L"Unsupported compression method (XZ): b/c.txt", 0, 0},
    {"unknown method", field(1, kMethod, 77), L"Unsupported compression method (77): b/c.txt", 0, 0},
    {"stored sizes differ", field(0, kUncompressed, 6, 4), L"Stored entry whose compressed and uncompressed sizes differ: a.txt", 0, 0},
    {"CRC differs", field(0, kCrc, 0, 4), L"Checksum verification failed: a.txt", 0, 0},
    {"inflates past the recorded size", field(1, kUncompressed, mixed.size() - 1, 4), L"Zip entry data is damaged (longer than recorded): b/c.txt", 0, 0},
    {"inflates short of the recorded size", field(1, kUncompressed, mixed.size() + 1, 4), endsEarly, 0, 0},
    {"deflate stream cut", field(1, kCompressed, bSize - 1, 4), endsEarly, 0, 0},
    {"data after the deflate stream", field(1, kCompressed, bSize + 1, 4), L"Zip entry data is damaged (data after its end): b/c.txt", 0, 0},
    {"invalid deflate block", field(1, 30 + 7, 0xFF, 1, false), L"Zip entry data is damaged (invalid deflate data): b/c.txt", 0, 0},
      // clang-format on
  };
  ScratchDir scratch;
  for (const auto& [what, spoil, error, prefix, shift] : cases) {
    SCOPED_TRACE(what);
    Bytes zip = valid;
    spoil(zip, l);
    writeFile(scratch / "hostile.zip", zip);
    // In pieces, and whole as a small entry's unit is (libdeflate first, zlib to name the damage).
    for (const auto& [inPiece, outPiece] : {std::pair<size_t, size_t>{1000, 333}, {SIZE_MAX, 1 << 20}}) {
      const ReadZip read = readZip(scratch / "hostile.zip", inPiece, outPiece);
      EXPECT_EQ(read.error, error) << "pieces of " << inPiece;
      if (!error.empty()) continue;
      EXPECT_EQ(std::tie(read.directory.prefixLength, read.directory.offsetShift), std::tie(prefix, shift));
      EXPECT_TRUE(read.data[1] == mixed && read.data[2] == bytesOf("described") && read.data[3].empty());
    }
  }
}

TEST(ZipReader, NamesFollowTheirFlagsTheSystemThatMadeThemAndTheFieldsThatVouchForThem) {
  const auto unicodePath = [](const std::string& forRaw, const std::string& utf8) {  // Info-ZIP's, version 1
    Bytes field;
    put(field, {{0x7075, 2}, {5 + utf8.size(), 2}, {1, 1}, {crc32(bytesOf(forRaw).data(), forRaw.size()), 4}});
    return std::string(field.begin(), field.end()) + utf8;
  };
  const std::tuple<std::string, uint16_t, std::string, uint8_t, std::string> names[] = {
      // clang-format off
    {"caf\xE9", 0, "", kZipMadeOnUnix, "caf\xE9"},  // Unix: the file system's bytes, UTF-8 or not
    {"caf\xE9", 0x800, "", kZipMadeOnDos, "caf\xE9"},                        // flagged UTF-8, and not
    {"caf\xC3\xA9", 0, "", kZipMadeOnDos, "caf\xE2\x94\x9C\xE2\x8C\x90"},    // elsewhere: code page 437
    {"cafe", 0, unicodePath("cafe", "caf\xC3\xA9"), kZipMadeOnDos, "caf\xC3\xA9"},
    {"cafe", 0, unicodePath("other", "caf\xC3\xA9"), kZipMadeOnDos, "cafe"},  // written for another name
    {"dir\\f\xC3\xA9", 0x800, "", kZipMadeOnNtfs, "dir/f\xC3\xA9"},           // Windows: '\' separates
    {"dir\\f", 0, "", kZipMadeOnUnix, "dir\\f"},  // Unix: a name's own, for the path rules to refuse
      // clang-format on
  };
  for (const auto& [raw, flags, field, madeBy, name] : names) EXPECT_EQ(decodeZipName(raw, flags, field, madeBy), name);
}

// A stored block of 32 KiB, then a fixed-code block whose one match reaches back the whole window (distance 32768,
// which zlib's own encoder never makes; other deflaters may): resumed at the point between them, the decoder needs
// every byte of the window the point keeps.
TEST(ZipDecoder, APointKeepsTheWholeWindow) {
  const Bytes window = mixedBytes(32768, 9);
  Bytes compressed = {0x00, 0x00, 0x80, 0xFF, 0x7F};  // not last, stored, 32768 bytes
  compressed.insert(compressed.end(), window.begin(), window.end());
  uint64_t bits = 0;
  int used = 0;
  const auto add = [&](uint64_t value, int count) { bits |= value << used, used += count; };
  const auto addCode = [&](uint32_t code, int count) {  // Huffman codes go most significant bit first
    for (int i = count - 1; i >= 0; --i) add((code >> i) & 1, 1);
  };
  add(1, 1), add(1, 2);  // last, fixed codes
  addCode(1, 7);         // length 3 (code 257)
  addCode(29, 5);        // distance code 29: 24577 and 13 extra bits
  add(32768 - 24577, 13);
  addCode(0, 7);  // end of block
  for (int at = 0; at < used; at += 8) compressed.push_back(uint8_t(bits >> at));
  Bytes raw = window, decoded, rest;
  raw.insert(raw.end(), window.begin(), window.begin() + 3);
  ZipEntry entry;
  entry.method = kZipDeflated;
  entry.compressedSize = compressed.size();
  entry.uncompressedSize = raw.size();
  entry.crc = crc32(raw.data(), raw.size());
  std::vector<InflatePoint> points;
  ZipDecoder first(entry), resumed(entry);
  first.recordPoints(1, [&](const InflatePoint& point) { points.push_back(point); });
  ASSERT_TRUE(decodeAll(first, compressed, 0, 1000, 1000, decoded).ok());
  ASSERT_EQ(points.size(), 1u);
  ASSERT_TRUE(resumed.resumeAt(points[0]));
  EXPECT_TRUE(decodeAll(resumed, compressed, points[0].inOffset, 100, 100, rest).ok());
  EXPECT_TRUE(rest == Bytes(window.begin(), window.begin() + 3));
}

// Entries over a piece, stored and deflated, are split into units each read on its own, a deflated one from its
// resume point, and verified: a byte spoiled after the archive was read is found in its piece alone.
TEST(ZipSource, LargeEntriesArePiecesEachVerifiedOnItsOwn) {
  const Bytes big = mixedBytes(9 << 20, 11);
  ScratchDir scratch;
  const fs::path path = scratch / "big.zip";
  Layout layout;
  writeFile(path, buildZip({{"small.txt", bytesOf("small")}, {"deflated.bin", big, kZipDeflated}, {"stored.bin", big}},
                           layout));
  FileHandle archive;
  ASSERT_TRUE(openFile(wide(path), OpenMode::ReadWrite, archive));
  SourceReading reading;
  ExtractionPlan plan;
  ASSERT_TRUE(zipSource().read(archive, pointsScratchPathFor(journalPathFor(wide(path))), {}, reading).ok());
  ASSERT_TRUE(planArchive(
                  std::move(reading), [](uint32_t) { return false; }, plan)
                  .ok());
  for (uint32_t file : {1u, 2u}) {
    std::vector<uint32_t> units;  // the file's, in archive order
    for (uint32_t u = 0; u < plan.units.size(); ++u) {
      if (plan.piecesOf(u).front().file == file) units.push_back(u);
    }
    ASSERT_EQ(units.size(), 3u);
    const PlanUnit& second = plan.units[units[1]];
    const uint8_t spoiled = 0x55;
    ASSERT_TRUE(seekFile(archive, second.offset + second.storedSize / 2) && writeFully(archive, &spoiled, 1));
    std::vector<StatusKind> reads;
    Bytes stored, raw;
    for (uint32_t u : units) reads.push_back(readUnit(zipSource(), archive, plan, u, stored, raw).kind);
    EXPECT_EQ(reads, (std::vector<StatusKind>{StatusKind::Ok, StatusKind::DamagedBlock, StatusKind::Ok})) << file;
  }
}

// A link that cannot be made, or a time or permission bits that cannot be set, fail the run naming the entry and the
// system's reason: the link and its own time (where the system makes links), then the file's time, then its
// permissions (the entry was made on Unix), last so that a read-only file refuses nothing after them. Only a link's
// calls name a path.
TEST(ZipSource, MetadataOrALinkThatCannotBeMadeFailsTheRunNamingIt) {
  ScratchDir scratch;
  Layout layout;
  const fs::path path = scratch / "a.zip";
  Bytes zip = buildZip({{"a.txt", bytesOf("a")}, {"l", bytesOf("a.txt")}}, layout);
  patch(zip, layout.central[1] + 38, 0120777u << 16, 4);  // external attributes: a symbolic link
  patch(zip, layout.central[0] + 38, 0100755u << 16, 4);  // executable, a mode no file is created with
  writeFile(path, zip);
  extractKeeping(wide(path), wide(scratch / "probe"));
  const bool linksMade = fs::is_symlink(scratch / "probe" / "l");
  const uint32_t code = diskFullErrorCode();
  const std::wstring out = wide(scratch / "out");  // not the scratch link that probes the destination beside it
  for (const auto& [op, onLink, failing, prefix, name] :
       {std::tuple{IoOp::MakeLink, true, 0, L"Failed to create symbolic link ", "l"},
        std::tuple{IoOp::SetMetadata, true, 0, L"Failed to set the modification time of: ", "l"},
        std::tuple{IoOp::SetMetadata, false, 0, L"Failed to set the modification time of: ", "a.txt"},
        std::tuple{IoOp::SetMetadata, false, 1, L"Failed to set the permissions of: ", "a.txt"}}) {
    if (onLink && !linksMade) continue;  // where no link can be made the run skips links, and tries none
    int calls = 0;
    setIoHook([&, op = op, onLink = onLink, failing = failing](const IoCall& call) {
      const bool aimed = call.op == op && (call.path != nullptr) == onLink && (!onLink || call.path->starts_with(out));
      return aimed && calls++ == failing ? code : 0u;
    });
    const Status status = extractKeeping(wide(path), out);
    setIoHook({});
    EXPECT_EQ(status.message, prefix + wide(scratch / "out" / name) + L" (code=" + std::to_wstring(code) + L"): " +
                                  systemErrorText(code));
  }
}

}  // namespace
