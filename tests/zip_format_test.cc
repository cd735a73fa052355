// The zip reader on archives other tools made (tests/make_zip_corpus.py) and
// on hostile ones built byte by byte here, and the decoder's resume points.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <random>
#include <tuple>

#include "ablative.h"
#include "codecs/coding.h"
#include "codecs/crc32.h"
#include "consume/archive_checks.h"
#include "consume/journal.h"
#include "containers/format_table.h"
#include "containers/zip_fields.h"
#include "containers/zip_format.h"
#include "containers/zip_source.h"
#include "files/block_io.h"
#include "files/file_util.h"
#include "platform/env.h"
#include "test_util.h"

using namespace testutil;
using ablative::ZipDecoder;
using ablative::ZipDecodeResult;
using ablative::ZipEntry;

namespace {

// Decodes `compressed` from `from` on, handing the decoder at most `inPiece`
// bytes and `outPiece` bytes of room at a time.
ZipDecodeResult decodeAll(ZipDecoder& decoder, const Bytes& compressed, size_t from, size_t inPiece, size_t outPiece,
                          Bytes& decoded, std::wstring& errorText) {
  Bytes room(outPiece);
  for (size_t at = from;;) {
    size_t consumed = 0, produced = 0;
    const size_t piece = std::min(inPiece, compressed.size() - at);
    ZipDecodeResult result =
        decoder.decode(compressed.data() + at, piece, room.data(), room.size(), consumed, produced, errorText);
    at += consumed;
    decoded.insert(decoded.end(), room.begin(), room.begin() + produced);
    if (result != ZipDecodeResult::More) return result;
    if (consumed == 0 && produced == 0 && piece == 0) return errorText = L"stalled", ZipDecodeResult::Damaged;
  }
}

struct ReadZip {
  ablative::ZipDirectory directory;
  std::vector<Bytes> data;  // each entry's decoded bytes
  std::wstring error;       // the first refusal or damage, empty when none
};

// Everything a caller does before writing: read the directory, check each
// entry, then decode each entry in pieces.
ReadZip readZip(const fs::path& path, size_t inPiece = 4096, size_t outPiece = 1000) {
  ReadZip zip;
  ablative::FileHandle file;
  if (!ablative::openFile(wide(path), ablative::OpenMode::ReadOnly, file)) return zip.error = L"open failed", zip;
  if (!ablative::readZipDirectory(file, zip.directory, zip.error)) return zip;
  for (const ZipEntry& entry : zip.directory.entries) {
    if (!ablative::checkZipEntryDecodable(entry, zip.error)) return zip;
  }
  for (const ZipEntry& entry : zip.directory.entries) {
    Bytes compressed;
    ablative::readArchiveBlock(file, entry.dataOffset, static_cast<uint32_t>(entry.compressedSize), compressed,
                               zip.error);
    ZipDecoder decoder(entry);
    zip.data.emplace_back();
    if (decodeAll(decoder, compressed, 0, inPiece, outPiece, zip.data.back(), zip.error) != ZipDecodeResult::Finished) {
      return zip;
    }
  }
  return zip;
}

// The corpus's location, from the test's environment (set by tests/CMakeLists.txt).
fs::path corpusFolder() {
  const char* folder = std::getenv("ZIP_CORPUS");
  return folder == nullptr ? fs::path() : fs::path(folder);
}

// The plan of the archive at `path`, read as a run reads it; units past its end allowed.
ablative::ExtractionPlan planOf(const fs::path& path) {
  ablative::SourceReading reading;
  ablative::ExtractionPlan plan;
  std::wstring error;
  ablative::FileHandle file;
  EXPECT_TRUE(ablative::openFile(wide(path), ablative::OpenMode::ReadOnly, file));
  EXPECT_TRUE(ablative::zipSource().read(
      file, ablative::pointsScratchPathFor(ablative::journalPathFor(wide(path))), reading, error))
      << error;
  EXPECT_TRUE(ablative::planArchive(
      std::move(reading), [](uint32_t) { return true; }, plan, error))
      << error;
  return plan;
}

// A consuming run cuts a zip first where its last unit starts, taking the directory. Each corpus archive whose
// entries defer their sizes to descriptors (Info-ZIP streamed, with Zip64, in pieces, and without, bsdtar, Python,
// stored and deflated), cut so, reads as a cut zip: the entries before the last where and as the directory has them,
// each found after the one before from its data and descriptor alone, and the last with its sizes unknown; its units
// below the cut as the whole archive's, and the rest one unit of a length not known, from where the cut one's bytes
// went.
TEST(ZipCorpus, StreamedArchivesCutWhereTheirLastUnitStartsAreRead) {
  const fs::path folder = corpusFolder();
  if (folder.empty()) GTEST_SKIP() << "ZIP_CORPUS is not set: the corpus is made by tests/make_zip_corpus.py";
  ScratchDir scratch;
  std::vector<std::string> read;
  bool inPieces = false;
  for (const fs::directory_entry& item : fs::directory_iterator(folder)) {
    std::vector<ZipEntry> entries = readZip(item.path()).directory.entries;
    if (item.path().extension() != ".zip" ||
        std::none_of(entries.begin(), entries.end(), [](const ZipEntry& e) { return e.hasDataDescriptor; })) {
      continue;
    }
    const std::string name = item.path().filename().string();
    SCOPED_TRACE(name);
    const fs::path whole = scratch / ("whole-" + name), cutPath = scratch / name;
    fs::copy_file(item.path(), whole);
    const ablative::ExtractionPlan wholePlan = planOf(whole);
    const auto byOffset = [](const ablative::PlanUnit& a, const ablative::PlanUnit& b) { return a.offset < b.offset; };
    const auto top = std::max_element(wholePlan.units.begin(), wholePlan.units.end(), byOffset);
    const uint64_t topDestOffset = wholePlan.piecesOf(uint32_t(top - wholePlan.units.begin())).front().destOffset;
    std::vector<ablative::PlanUnit> below;
    std::copy_if(wholePlan.units.begin(), wholePlan.units.end(), std::back_inserter(below),
                 [&](const ablative::PlanUnit& unit) { return unit.offset < top->offset; });
    std::sort(below.begin(), below.end(), byOffset);
    std::sort(entries.begin(), entries.end(),
              [](const ZipEntry& a, const ZipEntry& b) { return a.localHeaderOffset < b.localHeaderOffset; });
    while (entries.back().dataOffset > top->offset) entries.pop_back();
    Bytes bytes = readFile(item.path());
    bytes.resize(top->offset);
    writeFile(cutPath, bytes);
    ablative::FileHandle file;
    ablative::ZipDirectory cut;
    std::wstring error;
    ASSERT_TRUE(ablative::openFile(wide(cutPath), ablative::OpenMode::ReadOnly, file));
    ASSERT_TRUE(ablative::readZipDirectory(file, cut, error)) << error;
    ASSERT_TRUE(cut.cut);
    ASSERT_EQ(cut.entries.size(), entries.size());
    for (size_t i = 0; i + 1 < entries.size(); ++i) {
      const ZipEntry &got = cut.entries[i], &want = entries[i];
      EXPECT_EQ(got.name, want.name);
      EXPECT_EQ(std::tie(got.dataOffset, got.compressedSize, got.uncompressedSize, got.crc),
                std::tie(want.dataOffset, want.compressedSize, want.uncompressedSize, want.crc));
    }
    EXPECT_EQ(cut.entries.back().uncompressedSize, ablative::kZipSizeUnknown);
    const ablative::ExtractionPlan cutPlan = planOf(cutPath);
    std::vector<ablative::PlanUnit> units = cutPlan.units;
    std::sort(units.begin(), units.end(), byOffset);
    ASSERT_EQ(units.size(), below.size() + 1);
    for (size_t u = 0; u < below.size(); ++u) {
      EXPECT_EQ(std::tie(units[u].offset, units[u].storedSize, units[u].rawSize, units[u].crc, units[u].lengthUnknown),
                std::tie(below[u].offset, below[u].storedSize, below[u].rawSize, below[u].crc, below[u].lengthUnknown));
    }
    const ablative::PlanUnit& rest = cutPlan.units.back();
    EXPECT_TRUE(rest.lengthUnknown && rest.offset == top->offset);
    EXPECT_EQ(cutPlan.piecesOf(uint32_t(cutPlan.units.size() - 1)).front().destOffset, topDestOffset);
    inPieces = inPieces || topDestOffset > 0;
    read.push_back(name);
  }
  EXPECT_GE(read.size(), 4u);  // bsdtar's two where it is installed
  EXPECT_TRUE(inPieces);
}

// A small zip writer for hostile archives: each entry stored as given, its
// local header repeating the central one (a data descriptor in its place when
// flag bit 3 is set).
struct Member {
  std::string name;
  Bytes data;  // as stored
  uint16_t method = 0;
  uint16_t flags = 0;
  uint64_t size = 0;  // decoded
  uint32_t crc = 0;
  size_t slack = 0;  // bytes after the data (and descriptor) that belong to no entry
};

Member storedMember(const std::string& name, const std::string& text, uint16_t flags = 0) {
  Bytes data = bytesOf(text);
  return {name, data, 0, flags, data.size(), ablative::crc32(data.data(), data.size())};
}

Bytes rawDeflate(const Bytes& raw) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&z, raw.size()));
  z.next_in = const_cast<Bytef*>(raw.data());
  z.avail_in = static_cast<uInt>(raw.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

Member deflatedMember(const std::string& name, const Bytes& raw) {
  return {name, rawDeflate(raw), 8, 0, raw.size(), ablative::crc32(raw.data(), raw.size()), 1};
}

void put(Bytes& out, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void patch(Bytes& zip, size_t at, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) zip[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

struct Layout {
  std::vector<size_t> local;    // each local header
  std::vector<size_t> central;  // each central header
  size_t end = 0;               // the end record
};

void putHeaderFields(Bytes& out, const Member& m, bool deferred) {
  put(out, 20, 2);  // version needed
  put(out, m.flags, 2);
  put(out, m.method, 2);
  put(out, 0, 2);     // time
  put(out, 0x21, 2);  // date: 1980-01-01
  put(out, deferred ? 0 : m.crc, 4);
  put(out, deferred ? 0 : m.data.size(), 4);
  put(out, deferred ? 0 : m.size, 4);
  put(out, m.name.size(), 2);
  put(out, 0, 2);  // extra length
}

Bytes buildZip(const std::vector<Member>& members, Layout& layout) {
  Bytes zip, central;
  for (const Member& m : members) {
    layout.local.push_back(zip.size());
    const bool deferred = m.flags & 8;
    put(zip, 0x04034b50, 4);
    putHeaderFields(zip, m, deferred);
    zip.insert(zip.end(), m.name.begin(), m.name.end());
    zip.insert(zip.end(), m.data.begin(), m.data.end());
    if (deferred) {
      for (uint64_t field : {uint64_t{0x08074b50}, uint64_t{m.crc}, m.data.size(), m.size}) put(zip, field, 4);
    }
    zip.insert(zip.end(), m.slack, 0);
  }
  for (size_t i = 0; i < members.size(); ++i) {
    layout.central.push_back(zip.size() + central.size());
    put(central, 0x02014b50, 4);
    put(central, 0x031E, 2);  // made by: Unix
    putHeaderFields(central, members[i], false);
    put(central, 0, 2 + 2 + 2);       // comment length, disk, internal attributes
    put(central, 0100644u << 16, 4);  // external attributes
    put(central, layout.local[i], 4);
    central.insert(central.end(), members[i].name.begin(), members[i].name.end());
  }
  const size_t centralAt = zip.size();
  zip.insert(zip.end(), central.begin(), central.end());
  layout.end = zip.size();
  put(zip, 0x06054b50, 4);
  put(zip, 0, 4);  // this disk, the directory's disk
  put(zip, members.size(), 2);
  put(zip, members.size(), 2);
  put(zip, central.size(), 4);
  put(zip, centralAt, 4);
  put(zip, 0, 2);  // comment length
  return zip;
}

// The same field in an entry's local and central headers.
void patchBoth(Bytes& zip, const Layout& l, size_t entry, size_t localField, uint64_t value, int width) {
  patch(zip, l.local[entry] + localField, value, width);
  patch(zip, l.central[entry] + localField + 2, value, width);
}
constexpr size_t kFlags = 6, kMethod = 8, kCrc = 14, kCompressed = 18, kUncompressed = 22;

struct HostileCase {
  const char* what;
  std::function<void(Bytes& zip, const Layout& l)> spoil;
  std::wstring error;
  uint64_t prefix = 0;
  uint64_t shift = 0;
};

// A self-extracting program in front, counted in the offsets as a tool that
// appends an archive to a program records them.
void prefixCounted(Bytes& zip, const Layout& l) {
  zip.insert(zip.begin(), 1000, 'M');
  const auto add1000 = [&](size_t at) { patch(zip, at, ablative::get32(&zip[at]) + 1000, 4); };
  for (size_t at : l.central) add1000(1000 + at + 42);  // the local header's offset
  add1000(1000 + l.end + 16);                           // the central directory's
}

TEST(ZipReader, HostileArchivesAreRefusedOrFoundDamagedBeforeAnythingIsWritten) {
  const Bytes mixed = mixedBytes(40000, 7);
  const std::vector<Member> members = {storedMember("a.txt", "hello"), deflatedMember("b/c.txt", mixed),
                                       storedMember("d.txt", "described", 8), storedMember("e.txt", "last")};
  Layout l;
  const Bytes valid = buildZip(members, l);
  const uint64_t bSize = members[1].data.size();
  const uint64_t aCoversB = l.local[1] - l.local[0] - 30 - 5 + 10;
  // clang-format off
  const std::vector<HostileCase> cases = {
    {"valid", [](Bytes&, const Layout&) {}, L""},
    {"prefix before the first entry", [](Bytes& z, const Layout&) { z.insert(z.begin(), 1000, 'M'); }, L"", 1000, 1000},
    {"prefix counted in the offsets", prefixCounted, L"", 1000, 0},
    {"no end record", [](Bytes& z, const Layout& l) { z.resize(l.end); }, L"Not a zip archive (no end of central directory record)"},
    {"multi-disk", [](Bytes& z, const Layout& l) { patch(z, l.end + 4, 1, 2); }, L"Multi-disk zip archive, which this program cannot extract"},
    {"truncated central directory", [](Bytes& z, const Layout& l) { z.erase(z.begin() + l.end - 10, z.begin() + l.end); },
     L"Invalid zip central directory (truncated or inconsistent)"},
    {"more entries than the directory holds", [](Bytes& z, const Layout& l) { patch(z, l.end + 8, 5, 2); patch(z, l.end + 10, 5, 2); },
     L"Invalid zip central directory (truncated or inconsistent)"},
    {"local name differs", [](Bytes& z, const Layout& l) { z[l.local[0] + 30] = 'A'; }, L"Local header does not match the central directory: a.txt"},
    {"local method differs", [](Bytes& z, const Layout& l) { patch(z, l.local[0] + kMethod, 8, 2); }, L"Local header does not match the central directory: a.txt"},
    {"local size differs", [](Bytes& z, const Layout& l) { patch(z, l.local[0] + kCompressed, 6, 4); }, L"Local header does not match the central directory: a.txt"},
    {"local UTF-8 flag alone", [](Bytes& z, const Layout& l) { patch(z, l.local[0] + kFlags, 0x800, 2); }, L""},
    {"central descriptor flag alone", [](Bytes& z, const Layout& l) { patch(z, l.central[0] + kFlags + 2, 8, 2); }, L""},
    {"local descriptor flag, no descriptor", [](Bytes& z, const Layout& l) { patch(z, l.local[0] + kFlags, 8, 2); },
     L"Data descriptor does not match the central directory: a.txt"},
    {"local encryption flag alone", [](Bytes& z, const Layout& l) { patch(z, l.local[0] + kFlags, 1, 2); }, L"Local header does not match the central directory: a.txt"},
    {"local header missing", [](Bytes& z, const Layout& l) { patch(z, l.central[0] + 42, 3, 4); }, L"Local header does not match the central directory: a.txt"},
    {"descriptor differs", [](Bytes& z, const Layout& l) { z[l.local[3] - 12] ^= 1; }, L"Data descriptor does not match the central directory: d.txt"},
    {"entry outside the file", [](Bytes& z, const Layout& l) { patch(z, l.central[0] + 42, 0xFFFFFF00, 4); }, L"Zip entry lies outside the archive: a.txt"},
    {"entries overlap", [&](Bytes& z, const Layout& l) { for (size_t f : {kCompressed, kUncompressed}) patchBoth(z, l, 0, f, aCoversB, 4); },
     L"Zip entries overlap: b/c.txt"},
    {"entry overlaps the central directory", [](Bytes& z, const Layout& l) { for (size_t f : {kCompressed, kUncompressed}) patchBoth(z, l, 3, f, 9, 4); },
     L"Zip entry overlaps the central directory: e.txt"},
    {"encrypted", [](Bytes& z, const Layout& l) { patchBoth(z, l, 0, kFlags, 1, 2); }, L"Encrypted entry, which this program cannot extract: a.txt"},
    {"strong encryption", [](Bytes& z, const Layout& l) { patchBoth(z, l, 0, kFlags, 0x41, 2); }, L"Encrypted entry, which this program cannot extract: a.txt"},
    {"AES", [](Bytes& z, const Layout& l) { patchBoth(z, l, 0, kMethod, 99, 2); }, L"Encrypted entry, which this program cannot extract: a.txt"},
    {"bzip2", [](Bytes& z, const Layout& l) { patchBoth(z, l, 1, kMethod, 12, 2); }, L"Unsupported compression method (bzip2): b/c.txt"},
    {"Deflate64", [](Bytes& z, const Layout& l) { patchBoth(z, l, 1, kMethod, 9, 2); }, L"Unsupported compression method (Deflate64): b/c.txt"},
    {"XZ", [](Bytes& z, const Layout& l) { patchBoth(z, l, 1, kMethod, 95, 2); }, L"Unsupported compression method (XZ): b/c.txt"},
    {"unknown method", [](Bytes& z, const Layout& l) { patchBoth(z, l, 1, kMethod, 77, 2); }, L"Unsupported compression method (77): b/c.txt"},
    {"stored sizes differ", [](Bytes& z, const Layout& l) { patchBoth(z, l, 0, kUncompressed, 6, 4); },
     L"Stored entry whose compressed and uncompressed sizes differ: a.txt"},
    {"CRC differs", [](Bytes& z, const Layout& l) { patchBoth(z, l, 0, kCrc, 0, 4); }, L"Checksum verification failed: a.txt"},
    {"inflates past the recorded size", [&](Bytes& z, const Layout& l) { patchBoth(z, l, 1, kUncompressed, mixed.size() - 1, 4); },
     L"Zip entry data is damaged (longer than recorded): b/c.txt"},
    {"inflates short of the recorded size", [&](Bytes& z, const Layout& l) { patchBoth(z, l, 1, kUncompressed, mixed.size() + 1, 4); },
     L"Zip entry data is damaged (ends early): b/c.txt"},
    {"deflate stream cut", [&](Bytes& z, const Layout& l) { patchBoth(z, l, 1, kCompressed, bSize - 1, 4); },
     L"Zip entry data is damaged (ends early): b/c.txt"},
    {"data after the deflate stream", [&](Bytes& z, const Layout& l) { patchBoth(z, l, 1, kCompressed, bSize + 1, 4); },
     L"Zip entry data is damaged (data after its end): b/c.txt"},
    {"invalid deflate block", [](Bytes& z, const Layout& l) { z[l.local[1] + 37] = 0xFF; }, L"Zip entry data is damaged (invalid deflate data): b/c.txt"},
  };
  // clang-format on
  ScratchDir scratch;
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes zip = valid;
    c.spoil(zip, l);
    writeFile(scratch / "hostile.zip", zip);
    const ReadZip read = readZip(scratch / "hostile.zip", 1000, 333);
    EXPECT_EQ(read.error, c.error);
    if (!c.error.empty()) continue;
    EXPECT_EQ(read.directory.prefixLength, c.prefix);
    EXPECT_EQ(read.directory.offsetShift, c.shift);
    EXPECT_TRUE(read.data[1] == mixed);
    EXPECT_TRUE(read.data[2] == bytesOf("described"));
  }
}

std::string ntfsExtra(uint64_t ticks) {
  Bytes field;
  for (auto [value, width] : std::initializer_list<std::pair<uint64_t, int>>{
           {0x000a, 2}, {32, 2}, {0, 4}, {1, 2}, {24, 2}, {ticks, 8}, {0, 8}, {0, 8}}) {
    put(field, value, width);
  }
  return {field.begin(), field.end()};
}

std::string timestampExtra(int32_t seconds) {
  Bytes field;
  put(field, 0x5455, 2);
  put(field, 5, 2);
  put(field, 1, 1);
  put(field, static_cast<uint32_t>(seconds), 4);
  return {field.begin(), field.end()};
}

std::string unicodePathExtra(const std::string& forRaw, const std::string& utf8) {
  Bytes field;
  put(field, 0x7075, 2);
  put(field, 5 + utf8.size(), 2);
  put(field, 1, 1);
  put(field, ablative::crc32(reinterpret_cast<const uint8_t*>(forRaw.data()), forRaw.size()), 4);
  return std::string(field.begin(), field.end()) + utf8;
}

TEST(ZipReader, NamesAndTimesFollowTheExtraFieldsThatVouchForThem) {
  constexpr uint8_t kDos = ablative::kZipMadeOnDos, kUnix = ablative::kZipMadeOnUnix;
  struct NameCase {
    std::string raw;
    uint16_t flags;
    std::string extra;
    uint8_t madeBy;
    std::string name;
  };
  // clang-format off
  const std::vector<NameCase> names = {
    {"caf\xC3\xA9", 0x800, "", kDos, "caf\xC3\xA9"},
    {"\x80\x82\xB0", 0, "", kDos, "\xC3\x87\xC3\xA9\xE2\x96\x91"},             // code page 437
    {"caf\xC3\xA9", 0, "", kUnix, "caf\xC3\xA9"},                             // Unix: the file system's bytes
    {"caf\xE9", 0, "", kUnix, "caf\xE9"},                                     // UTF-8 or not
    {"caf\xE9", 0x800, "", kDos, "caf\xE9"},                                  // flagged UTF-8, and not
    {"caf\xC3\xA9", 0, "", kDos, "caf\xE2\x94\x9C\xE2\x8C\x90"},  // elsewhere: code page 437
    {"cafe", 0, unicodePathExtra("cafe", "caf\xC3\xA9"), kDos, "caf\xC3\xA9"},
    {"cafe", 0, unicodePathExtra("other", "caf\xC3\xA9"), kDos, "cafe"},  // written for another name
    {"dir\\f\xC3\xA9", 0x800, "", ablative::kZipMadeOnNtfs, "dir/f\xC3\xA9"},  // Windows: '\' separates
    {"dir\\f", 0, "", kUnix, "dir\\f"},  // Unix: a name's own, for the path rules to refuse
  };
  // clang-format on
  for (const NameCase& c : names) EXPECT_EQ(ablative::decodeZipName(c.raw, c.flags, c.extra, c.madeBy), c.name);

  const uint64_t ntfs2020 = 116'444'736'000'000'000 + 16'000'000'000'000'000 + 1234567;
  EXPECT_EQ(ablative::zipModifiedNs(ntfsExtra(ntfs2020), 0x21, 0), 1'600'000'000'123'456'700);
  EXPECT_EQ(ablative::zipModifiedNs(timestampExtra(-86400) + ntfsExtra(ntfs2020), 0x21, 0), -86'400'000'000'000);
}

// Every point a decoder records resumes a fresh decoder that finishes the
// entry, byte for byte, fed in small pieces.
TEST(ZipDecoder, ResumesFromEveryBlockBoundaryItRecorded) {
  // Letters at random: literals fill a deflate block every 16 KiB or so.
  Bytes raw(1 << 19);
  std::mt19937 random(3);
  for (uint8_t& byte : raw) byte = static_cast<uint8_t>('a' + random() % 16);
  ZipEntry entry;
  entry.name = "big.bin";
  entry.method = ablative::kZipDeflated;
  const Bytes compressed = rawDeflate(raw);
  entry.compressedSize = compressed.size();
  entry.uncompressedSize = raw.size();
  entry.crc = ablative::crc32(raw.data(), raw.size());
  std::vector<ablative::InflatePoint> points;
  ZipDecoder first(entry);
  first.recordPoints(64 << 10, [&](const ablative::InflatePoint& point) { points.push_back(point); });
  Bytes decoded;
  std::wstring errorText;
  ASSERT_EQ(decodeAll(first, compressed, 0, 5000, 7000, decoded, errorText), ZipDecodeResult::Finished) << errorText;
  ASSERT_GE(points.size(), 4u);
  for (const ablative::InflatePoint& point : points) {
    ZipDecoder resumed(entry);
    ASSERT_TRUE(resumed.resumeAt(point));
    Bytes rest;
    EXPECT_EQ(decodeAll(resumed, compressed, point.inOffset, 97, 1 << 16, rest, errorText), ZipDecodeResult::Finished)
        << errorText;
    EXPECT_TRUE(rest == Bytes(raw.begin() + point.outOffset, raw.end())) << point.outOffset;
  }
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
  Bytes raw = window;
  raw.insert(raw.end(), window.begin(), window.begin() + 3);
  ZipEntry entry;
  entry.name = "far.bin";
  entry.method = ablative::kZipDeflated;
  entry.compressedSize = compressed.size();
  entry.uncompressedSize = raw.size();
  entry.crc = ablative::crc32(raw.data(), raw.size());
  std::vector<ablative::InflatePoint> points;
  ZipDecoder first(entry);
  first.recordPoints(1, [&](const ablative::InflatePoint& point) { points.push_back(point); });
  Bytes decoded, rest;
  std::wstring errorText;
  ASSERT_EQ(decodeAll(first, compressed, 0, 1000, 1000, decoded, errorText), ZipDecodeResult::Finished) << errorText;
  ASSERT_EQ(points.size(), 1u);
  ZipDecoder resumed(entry);
  ASSERT_TRUE(resumed.resumeAt(points[0]));
  EXPECT_EQ(decodeAll(resumed, compressed, points[0].inOffset, 100, 100, rest, errorText), ZipDecodeResult::Finished)
      << errorText;
  EXPECT_TRUE(rest == Bytes(window.begin(), window.begin() + 3));
}

TEST(ZipDecoder, AnEmptyEntryDeflatedWithoutAByteIsEmpty) {
  ZipEntry entry;
  entry.method = ablative::kZipDeflated;
  ZipDecoder decoder(entry);
  Bytes decoded;
  std::wstring errorText;
  EXPECT_EQ(decodeAll(decoder, {}, 0, 1, 1, decoded, errorText), ZipDecodeResult::Finished) << errorText;
}

}  // namespace

// Entries over a piece, stored and deflated, split into units that decode on
// their own, from their resume points, to the entry's bytes; a byte spoiled
// after the archive was read is found in its piece alone. The points wait in
// a scratch file beside the archive, which goes with the plan, or, where none
// can be made, in memory.
TEST(ZipSource, LargeEntriesArePiecesEachVerifiedOnItsOwn) {
  const Bytes big = mixedBytes(9 << 20, 11);
  const std::vector<Member> members = {storedMember("small.txt", "small"),
                                       deflatedMember("deflated.bin", big),
                                       {"stored.bin", big, 0, 0, big.size(), ablative::crc32(big.data(), big.size())}};
  for (const bool scratchRefused : {false, true}) {
    SCOPED_TRACE(scratchRefused ? "points in memory" : "points in a scratch file");
    Layout layout;
    ScratchDir scratch;
    const fs::path path = scratch / "big.zip";
    const fs::path points = scratch / "big.zip.zvkj.points";
    writeFile(path, buildZip(members, layout));
    ablative::FileHandle opened;
    ASSERT_TRUE(ablative::openFile(wide(path), ablative::OpenMode::ReadOnly, opened));
    const ablative::ArchiveSource& source = ablative::sourceFor(opened);
    ablative::SourceReading reading;
    ablative::ExtractionPlan plan;
    std::wstring errorText;
    ablative::setIoHook([&](const ablative::IoCall& call) {
      const bool scratchCall = call.path != nullptr && *call.path == wide(points);
      return scratchRefused && scratchCall && call.op == ablative::IoOp::Open ? ablative::diskFullErrorCode() : 0u;
    });
    ASSERT_TRUE(source.read(opened, ablative::pointsScratchPathFor(ablative::journalPathFor(wide(path))), reading,
                            errorText))
        << errorText;
    ablative::setIoHook({});
    EXPECT_EQ(fs::exists(points), !scratchRefused);
    ASSERT_TRUE(ablative::planArchive(
        std::move(reading), [](uint32_t) { return false; }, plan, errorText))
        << errorText;
    ablative::FileHandle archive;
    ASSERT_TRUE(ablative::openFile(wide(path), ablative::OpenMode::ReadWrite, archive));
    const auto readAll = [&](uint32_t file, std::vector<ablative::BlockRead>& reads) {
      Bytes whole(plan.files[file].length), stored, raw;
      uint64_t nextOffset = layout.local[file] + 30 + members[file].name.size();
      for (uint32_t u = 0; u < plan.units.size(); ++u) {
        const ablative::PlanUnit& unit = plan.units[u];
        const ablative::PlanPiece& piece = plan.piecesOf(u).front();
        if (piece.file != file) continue;
        EXPECT_EQ(unit.offset, nextOffset);  // contiguous, disjoint
        EXPECT_LE(unit.rawSize, ablative::kZipPieceBytes + (1 << 20));
        nextOffset = plan.endOf(u);
        reads.push_back(ablative::readUnit(source, archive, plan, u, stored, raw, errorText));
        std::copy(raw.begin(), raw.end(), whole.begin() + static_cast<ptrdiff_t>(piece.destOffset));
      }
      return whole;
    };
    for (uint32_t file : {1u, 2u}) {
      SCOPED_TRACE(file);
      std::vector<ablative::BlockRead> reads;
      EXPECT_TRUE(readAll(file, reads) == big);
      EXPECT_EQ(reads, std::vector<ablative::BlockRead>(3, ablative::BlockRead::Verified));
      const auto second =
          plan.units.begin() +
          (std::find_if(plan.pieces.begin(), plan.pieces.end(), [&](const auto& p) { return p.file == file; }) -
           plan.pieces.begin()) +
          1;
      const uint8_t spoiled = 0x55;
      ASSERT_TRUE(ablative::seekFile(archive, second->offset + second->storedSize / 2) &&
                  ablative::writeFully(archive, &spoiled, 1));
      reads.clear();
      readAll(file, reads);
      EXPECT_EQ(reads, (std::vector<ablative::BlockRead>{ablative::BlockRead::Verified, ablative::BlockRead::Damaged,
                                                         ablative::BlockRead::Verified}));
    }
    plan = {};
    EXPECT_FALSE(fs::exists(points));
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
  Bytes zip = buildZip({storedMember("a.txt", "a"), storedMember("l", "a.txt")}, layout);
  patch(zip, layout.central[1] + 38, 0120777u << 16, 4);  // external attributes: a symbolic link
  writeFile(path, zip);
  extractKeeping(wide(path), wide(scratch / "probe"));
  const bool linksMade = fs::is_symlink(scratch / "probe" / "l");
  const uint32_t code = ablative::diskFullErrorCode();
  using ablative::IoOp;
  for (const auto& [op, onLink, failing, prefix, name] :
       {std::tuple{IoOp::MakeLink, true, 0, L"Failed to create symbolic link ", "l"},
        std::tuple{IoOp::SetMetadata, true, 0, L"Failed to set the modification time of: ", "l"},
        std::tuple{IoOp::SetMetadata, false, 0, L"Failed to set the modification time of: ", "a.txt"},
        std::tuple{IoOp::SetMetadata, false, 1, L"Failed to set the permissions of: ", "a.txt"}}) {
    if (onLink && !linksMade) continue;  // where no link can be made the run skips links, and tries none
    int calls = 0;
    const std::wstring out = wide(scratch / "out");  // not the scratch link that probes the destination beside it
    ablative::setIoHook([&, op = op, onLink = onLink, failing = failing](const ablative::IoCall& call) {
      return call.op == op && (call.path != nullptr) == onLink && (!onLink || call.path->starts_with(out)) &&
                     calls++ == failing
                 ? code
                 : 0u;
    });
    const ablative::Status status = extractKeeping(wide(path), wide(scratch / "out"));
    ablative::setIoHook({});
    EXPECT_FALSE(status.ok());
    EXPECT_EQ(status.message, std::wstring(prefix) + wide(scratch / "out" / name) + L" (code=" + std::to_wstring(code) +
                                  L"): " + ablative::systemErrorText(code));
  }
}
