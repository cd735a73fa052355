// The tar reader on archives other tools made (tests/make_tar_corpus.py) and
// on hostile ones built byte by byte here.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>

#include "ablative.h"
#include "codecs/crc32.h"
#include "containers/tar_format.h"
#include "files/block_io.h"
#include "platform/env.h"
#include "test_util.h"

using namespace testutil;
using ablative::TarContents;
using ablative::TarMember;
using ablative::TarMemberKind;

namespace {

struct ReadTar {
  TarContents contents;
  std::vector<Bytes> data;  // each member's file as it reads back, holes as zeros
  std::wstring error;
};

ReadTar readTar(const fs::path& path) {
  ReadTar tar;
  ablative::FileHandle file;
  if (!ablative::openFile(wide(path), ablative::OpenMode::ReadOnly, file)) return tar.error = L"open failed", tar;
  if (const ablative::Status read = ablative::readTarMembers(file, {}, tar.contents); !read.ok()) {
    return tar.error = read.message, tar;
  }
  for (const TarMember& member : tar.contents.members) {
    Bytes stored;
    ablative::readArchiveBlock(file, member.dataOffset, static_cast<uint32_t>(member.storedSize), stored);
    Bytes& whole = tar.data.emplace_back(member.ranges.empty() ? stored : Bytes(member.size));
    uint64_t from = 0;
    for (const ablative::TarDataRange& range : member.ranges) {
      std::copy_n(stored.begin() + from, range.length, whole.begin() + range.fileOffset);
      from += range.length;
    }
  }
  return tar;
}

// Every member of the archives other tools made (tests/make_tar_corpus.py) reads as the manifest says, and every
// archive extracts whole.
TEST(TarCorpus, ArchivesOtherToolsMadeReadAsWrittenAndExtract) {
  const char* variable = std::getenv("TAR_CORPUS");
  if (variable == nullptr) GTEST_SKIP() << "TAR_CORPUS is not set: the corpus is made by tests/make_tar_corpus.py";
  const fs::path folder = variable;
  std::ifstream manifest(folder / "manifest.tsv");
  ASSERT_TRUE(manifest) << "no manifest in " << folder;
  const std::string kinds[] = {"file", "folder", "symlink", "hardlink", "special"};  // by TarMemberKind
  std::map<std::string, ReadTar> archives;
  std::map<std::string, size_t> seen;
  for (std::string archive, path, kind, size, mtime, mode, crc, target, sparse;
       manifest >> archive >> path >> kind >> size >> mtime >> mode >> crc >> target >> sparse;) {
    if (!archives.count(archive)) archives[archive] = readTar(folder / archive);
    const ReadTar& tar = archives[archive];
    ASSERT_EQ(tar.error, L"") << archive;
    const size_t index = seen[archive]++;
    ASSERT_LT(index, tar.contents.members.size()) << archive;
    const TarMember& member = tar.contents.members[index];
    SCOPED_TRACE(archive + " " + member.path);
    EXPECT_EQ(member.path, path);
    EXPECT_EQ(kinds[static_cast<int>(member.kind)], kind);
    EXPECT_EQ(member.size, std::stoull(size));
    EXPECT_EQ(member.modifiedNs, std::stoll(mtime));
    EXPECT_TRUE(mode == "*" || member.mode == std::stoul(mode, nullptr, 8)) << member.mode;
    const Bytes& data = tar.data[index];
    EXPECT_TRUE(crc == "-" || ablative::crc32(data.data(), data.size()) == std::stoul(crc, nullptr, 16));
    EXPECT_EQ(member.linkTarget, target == "-" ? "" : target);
    EXPECT_EQ(!member.ranges.empty(), sparse == "1");
  }
  ScratchDir scratch;
  for (const auto& [archive, tar] : archives) {
    EXPECT_EQ(seen[archive], tar.contents.members.size()) << archive;
    // Tools pad to a 10240-byte record after the two end blocks.
    EXPECT_EQ(tar.contents.end, tarNextHeader(tar.contents.members.back())) << archive;
    const ablative::Status status = extractKeeping(wide(folder / archive), wide(scratch / archive));
    EXPECT_TRUE(status.ok()) << archive << ": " << ablative::toUtf8(status.message);
  }
}

// Sets the checksum of the header at `at` from its bytes.
void seal(Bytes& tar, size_t at) {
  std::fill_n(tar.begin() + at + 148, 8, ' ');
  unsigned sum = 0;
  for (size_t i = 0; i < 512; ++i) sum += tar[at + i];
  char text[8];
  snprintf(text, sizeof text, "%06o", sum);
  std::copy_n(text, 7, tar.begin() + at + 148);
}

// Writes raw bytes into the header at `at` and seals it again.
void patch(Bytes& tar, size_t at, size_t field, const Bytes& bytes) {
  std::copy(bytes.begin(), bytes.end(), tar.begin() + at + field);
  seal(tar, at);
}

// A sealed ustar header for `name` followed by `data`, padded to whole blocks.
Bytes member(const std::string& name, char type, const std::string& data, const std::string& linkName = "") {
  Bytes block(512 + (data.size() + 511) / 512 * 512);
  char size[13];
  snprintf(size, sizeof size, "%011llo", static_cast<unsigned long long>(data.size()));
  // clang-format off
  const std::pair<size_t, std::string> fields[] = {{0, name}, {100, "0000644"}, {124, size}, {136, "13000000000"},
      {156, {type}}, {157, linkName}, {257, {"ustar\0" "00", 8}}, {512, data}};
  // clang-format on
  for (const auto& [at, text] : fields) std::copy(text.begin(), text.end(), block.begin() + at);
  seal(block, 0);
  return block;
}

// Pax records, each with its own length in front.
std::string pax(const std::vector<std::pair<std::string, std::string>>& records) {
  std::string body;
  for (const auto& [key, value] : records) {
    const std::string text = " " + key + "=" + value + "\n";
    size_t length = text.size() + 1;
    while (std::to_string(length).size() + text.size() != length) ++length;
    body += std::to_string(length) + text;
  }
  return body;
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

struct HostileCase {
  std::string what;
  Bytes tar;
  std::wstring error;                   // empty: accepted
  std::vector<std::string> paths = {};  // accepted: the members' paths, a folder's with "/" after it
  std::wstring unaccounted = L"";       // accepted: what follows the end
};

TEST(TarReader, HostileArchivesAreRefusedWithTheFaultNamed) {
  const Bytes a = member("a.txt", '0', "hello"), b = member("b.txt", '0', std::string(600, 'b'));
  const Bytes valid = join({a, b, Bytes(1024)});  // b's header at 1024, the end blocks at 2560
  const auto withB = [&](const auto& spoil) {
    Bytes tar = valid;
    spoil(tar);
    return tar;
  };
  Bytes oversized = member("x", 'x', "");
  patch(oversized, 0, 124, bytesOf("00004000001"));
  const Bytes paxPath = member("x", 'x', pax({{"path", "p"}}));
  // Whatever their size fields say, as GNU tar extracts them: a folder (CPython's ustar/dirtype-with-size), a
  // pre-POSIX hard link with its target's size, a symbolic link, a FIFO, an old folder named with a slash.
  Bytes noData;
  for (Bytes header : {member("dir", '5', ""), member("h", '1', "", "a.txt"), member("l", '2', "", "a.txt"),
                       member("p", '6', ""), member("old/", '0', "")}) {
    patch(header, 0, 124, bytesOf("00000000377"));
    noData.insert(noData.end(), header.begin(), header.end());
  }
  const auto sparse01 = [&](const std::string& map) {  // of a file of 200 bytes
    return join({member("x", 'x', pax({{"GNU.sparse.map", map}, {"GNU.sparse.size", "200"}, {"GNU.sparse.name", "s"}})),
                 member("GNUSparseFile.1/s", '0', "0123456789"), Bytes(1024)});
  };
  // clang-format off
  const HostileCase cases[] = {
    {"valid", valid, L"", {"a.txt", "b.txt"}},
    {"no end blocks", join({a, b}), L"", {"a.txt", "b.txt"}},
    {"checksum mismatch", withB([](Bytes& t) { t[1024 + 300] = 1; }), L"Tar header checksum mismatch: b.txt"},
    {"negative base-256 size", withB([](Bytes& t) { patch(t, 1024, 124, Bytes(12, 0xFF)); }), L"Invalid tar header: b.txt"},
    {"absurd size", withB([](Bytes& t) { Bytes s(12); s[0] = 0x80; s[4] = 0x41; patch(t, 1024, 124, s); }), L"Invalid tar header: b.txt"},
    {"size not in octal", withB([](Bytes& t) { patch(t, 1024, 124, bytesOf("00000000009")); }), L"Invalid tar header: b.txt"},
    {"member past the end", withB([](Bytes& t) { patch(t, 1024, 124, bytesOf("00000010000")); }),
     L"Tar member runs past the end of the archive: b.txt"},
    {"header cut short", withB([](Bytes& t) { t.resize(1024 + 100); }), L"Tar archive ends inside a header: at byte 1024"},
    {"extended header, then the file's end", join({a, paxPath}), L"Tar archive ends inside a header: at byte 2048"},
    {"extended header, then the end blocks", join({paxPath, Bytes(1024)}), L"Invalid tar header: at byte 1024"},
    {"oversized pax header", join({a, oversized}), L"Tar extended header too large: at byte 1024"},
    {"pax record with a bad length", join({a, member("x", 'x', "99 path=p\n"), b}), L"Invalid tar header: at byte 1024"},
    {"pax record without a key", join({a, member("x", 'x', "6 =ab\n"), b}), L"Invalid tar header: at byte 1024"},
    {"multivolume continuation", join({a, member("cont", 'M', ""), Bytes(1024)}), L"Invalid tar header: cont"},
    {"sparse map in order", sparse01("0,4,100,6,200,0"), L"", {"s"}},
    {"sparse map out of order", sparse01("100,6,0,4"), L"Invalid sparse map: s"},
    {"sparse map overlapping", sparse01("0,6,4,4"), L"Invalid sparse map: s"},
    {"sparse map past the real size", sparse01("0,4,198,6"), L"Invalid sparse map: s"},
    {"sparse map not adding up", sparse01("0,4,100,5"), L"Invalid sparse map: s"},
    {"sparse 1.0 map longer than the data", join({member("x", 'x', pax({{"GNU.sparse.major", "1"}, {"GNU.sparse.minor", "0"},
                                                                      {"GNU.sparse.realsize", "10"}, {"GNU.sparse.name", "s"}})),
                                                 member("s", '0', "3\n0\n"), Bytes(1024)}), L"Invalid sparse map: s"},
    {"data after the end", withB([](Bytes& t) { t.resize(10240); t[5000] = 'x'; }), L"", {"a.txt", "b.txt"},
     L"Data after the end of the tar archive: at byte 5000"},
    {"a header after a lone zero block", join({a, Bytes(512), b}), L"", {"a.txt"}, L"Data after the end of the tar archive: at byte 1536"},
    {"members that hold no data, whatever their size", join({a, noData, b, Bytes(1024)}), L"",
     {"a.txt", "dir/", "h", "l", "p", "old/", "b.txt"}},
    {"a pax size does not give a folder data", join({member("x", 'x', pax({{"size", "600"}})), member("dir", '5', ""), b}), L"",
     {"dir/", "b.txt"}},
  };
  // clang-format on
  ScratchDir scratch;
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.what);
    writeFile(scratch / "hostile.tar", c.tar);
    const ReadTar read = readTar(scratch / "hostile.tar");
    EXPECT_EQ(read.error, c.error);
    std::vector<std::string> paths;
    for (const TarMember& m : read.contents.members)
      paths.push_back(m.path + (m.kind == TarMemberKind::Folder ? "/" : ""));
    if (c.error.empty()) {
      EXPECT_EQ(paths, c.paths);
      EXPECT_EQ(read.contents.unaccounted, c.unaccounted);
    }
  }
}

// As `tar -u` leaves them: a hard link, then a newer version of the file it names, which it keeps naming the first.
TEST(TarReader, AHardLinkTakesTheFileItsNameHeldBeforeIt) {
  ScratchDir scratch;
  writeFile(scratch / "updated.tar",
            join({member("a", '0', "first"), member("h", '1', "", "a"), member("a", '0', "second"), Bytes(1024)}));
  const ablative::Status status = extractKeeping(wide(scratch / "updated.tar"), wide(scratch / "out"));
  ASSERT_TRUE(status.ok()) << ablative::toUtf8(status.message);
  EXPECT_EQ(std::pair(readFile(scratch / "out/h"), readFile(scratch / "out/a")),
            std::pair(bytesOf("first"), bytesOf("second")));
}

}  // namespace
