// The tar reader on archives other tools made (tests/make_tar_corpus.py) and
// on hostile ones built byte by byte here.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "ablative.h"
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
  if (!ablative::readTarMembers(file, tar.contents, tar.error)) return tar;
  for (const TarMember& member : tar.contents.members) {
    Bytes stored;
    ablative::readArchiveBlock(file, member.dataOffset, static_cast<uint32_t>(member.storedSize), stored, tar.error);
    if (member.ranges.empty()) {
      tar.data.push_back(stored);
      continue;
    }
    Bytes whole(member.size);
    uint64_t from = 0;
    for (const ablative::TarDataRange& range : member.ranges) {
      std::copy_n(stored.begin() + from, range.length, whole.begin() + range.fileOffset);
      from += range.length;
    }
    tar.data.push_back(whole);
  }
  return tar;
}

std::string fromHex(const std::string& hex) {
  std::string text;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return text;
}

TEST(TarCorpus, MembersOfArchivesOtherToolsMadeReadAsTheyWereWritten) {
  const char* variable = std::getenv("TAR_CORPUS");
  if (variable == nullptr) GTEST_SKIP() << "TAR_CORPUS is not set: the corpus is made by tests/make_tar_corpus.py";
  const fs::path folder = variable;
  std::ifstream manifest(folder / "manifest.tsv");
  ASSERT_TRUE(manifest) << "no manifest in " << folder;
  const std::map<std::string, TarMemberKind> kinds = {{"file", TarMemberKind::File},
                                                      {"folder", TarMemberKind::Folder},
                                                      {"symlink", TarMemberKind::SymbolicLink},
                                                      {"hardlink", TarMemberKind::HardLink},
                                                      {"special", TarMemberKind::Special}};
  std::map<std::string, ReadTar> archives;
  std::map<std::string, size_t> seen;
  for (std::string line; std::getline(manifest, line);) {
    std::istringstream fields(line);
    std::string archive, pathHex, kind, size, mtime, mode, content, targetHex, sparse;
    fields >> archive >> pathHex >> kind >> size >> mtime >> mode >> content >> targetHex >> sparse;
    if (!archives.count(archive)) archives[archive] = readTar(folder / archive);
    const ReadTar& tar = archives[archive];
    ASSERT_EQ(tar.error, L"") << archive;
    const size_t index = seen[archive]++;
    ASSERT_LT(index, tar.contents.members.size()) << archive;
    const TarMember& member = tar.contents.members[index];
    SCOPED_TRACE(archive + " " + member.path);
    EXPECT_EQ(member.path, fromHex(pathHex));
    EXPECT_EQ(member.kind, kinds.at(kind));
    EXPECT_EQ(member.size, std::stoull(size));
    EXPECT_EQ(member.modifiedNs, std::stoll(mtime));
    if (mode != "*") {
      EXPECT_EQ(member.mode, std::stoul(mode, nullptr, 8));
    }
    if (content != "-") {
      EXPECT_TRUE(tar.data[index] == readFile(folder / content));
    }
    EXPECT_EQ(member.linkTarget, targetHex == "-" ? "" : fromHex(targetHex));
    EXPECT_EQ(!member.ranges.empty(), sparse == "1");
  }
  for (const auto& [archive, tar] : archives) {
    EXPECT_EQ(seen[archive], tar.contents.members.size()) << archive;
    // Tools pad to a 10240-byte record after the two end blocks.
    EXPECT_EQ(tar.contents.end, tarNextHeader(tar.contents.members.back())) << archive;
  }
}

// Every archive of the corpus extracts whole, its hard links made: those
// after members that hold no data whatever their size, and those `tar -u`
// left naming a file it replaced.
TEST(TarCorpus, EveryArchiveOtherToolsMadeExtracts) {
  const char* variable = std::getenv("TAR_CORPUS");
  if (variable == nullptr) GTEST_SKIP() << "TAR_CORPUS is not set: the corpus is made by tests/make_tar_corpus.py";
  ScratchDir scratch;
  for (const auto& entry : fs::directory_iterator(variable)) {
    if (entry.path().extension() != ".tar") continue;
    SCOPED_TRACE(entry.path().filename().string());
    const fs::path destination = scratch / entry.path().stem().string();
    const ablative::Status status = extractKeeping(wide(entry.path()), wide(destination));
    EXPECT_TRUE(status.ok()) << ablative::toUtf8(status.message);
  }
  const fs::path updated = scratch / "updated";
  EXPECT_TRUE(readFile(updated / "h") == readFile(fs::path(variable) / "content/updated-0"));
  EXPECT_TRUE(readFile(updated / "a") == readFile(fs::path(variable) / "content/updated-1"));
  EXPECT_TRUE(readFile(scratch / "dirtype-with-size/ustar/lnktype") ==
              readFile(fs::path(variable) / "content/regtype"));
}

// A ustar header for `name` followed by `data`, padded to whole blocks.
Bytes member(const std::string& name, char type, const std::string& data, const std::string& linkName = "") {
  Bytes block(512 + (data.size() + 511) / 512 * 512);
  auto field = [&](size_t at, const std::string& text) { std::copy(text.begin(), text.end(), block.begin() + at); };
  char number[13];
  field(0, name);
  field(100, "0000644");
  snprintf(number, sizeof number, "%011llo", static_cast<unsigned long long>(data.size()));
  field(124, number);
  field(136, "13000000000");
  block[156] = static_cast<uint8_t>(type);
  field(157, linkName);
  field(257, std::string("ustar\0"
                         "00",
                         8));
  field(512, data);
  return block;
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

Bytes sealed(Bytes header) {
  seal(header, 0);
  return header;
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

Bytes zeros(size_t length) { return Bytes(length); }

// Writes raw bytes into the header at `at` and seals it again.
void patch(Bytes& tar, size_t at, size_t field, const Bytes& bytes) {
  std::copy(bytes.begin(), bytes.end(), tar.begin() + at + field);
  seal(tar, at);
}

struct HostileCase {
  std::string what;
  std::function<Bytes()> make;
  std::wstring error;                   // empty: accepted
  std::vector<std::string> paths = {};  // accepted: the members' paths, a folder's with "/" after it
  std::wstring unaccounted = L"";       // accepted: what follows the end
};

TEST(TarReader, HostileArchivesAreRefusedWithTheFaultNamed) {
  const Bytes a = sealed(member("a.txt", '0', "hello")), b = sealed(member("b.txt", '0', std::string(600, 'b')));
  const Bytes valid = join({a, b, zeros(1024)});  // b's header at 1024, the end blocks at 2560
  const auto withB = [&](std::function<void(Bytes&)> spoil) {
    return [=] {
      Bytes tar = valid;
      spoil(tar);
      return tar;
    };
  };
  const auto sparse01 = [&](const std::string& map, const std::string& realSize) {
    return [=] {
      return join(
          {sealed(member("x", 'x',
                         pax({{"GNU.sparse.map", map}, {"GNU.sparse.size", realSize}, {"GNU.sparse.name", "s"}}))),
           sealed(member("GNUSparseFile.1/s", '0', "0123456789")), zeros(1024)});
    };
  };
  Bytes signedName = member("\xe9t\xe9.txt", '0', "old");  // a checksum some old tars summed signed
  {
    seal(signedName, 0);
    int sum = 0;
    std::fill_n(signedName.begin() + 148, 8, ' ');
    for (size_t i = 0; i < 512; ++i) sum += static_cast<int8_t>(signedName[i]);
    char text[8];
    snprintf(text, sizeof text, "%06o", sum);
    std::copy_n(text, 7, signedName.begin() + 148);
  }
  // clang-format off
  const std::vector<HostileCase> cases = {
    {"valid", [&] { return valid; }, L"", {"a.txt", "b.txt"}},
    {"no end blocks", [&] { return join({a, b}); }, L"", {"a.txt", "b.txt"}},
    {"one end block, then the file's end", [&] { return join({a, b, zeros(512)}); }, L"", {"a.txt", "b.txt"}},
    {"an old folder: a file whose name ends in a slash", [&] { return sealed(member("old/", '\0', "")); }, L"", {"old/"}},
    {"a volume label is no member", [&] { return join({sealed(member("label", 'V', "")), a, b}); }, L"", {"a.txt", "b.txt"}},
    {"a (Solaris) access control list is no member", [&] {
       return join({sealed(member("acl", 'A', "user::rw-")), a, b}); }, L"", {"a.txt", "b.txt"}},
    {"a time before 1970 in base-256", withB([](Bytes& t) { patch(t, 1024, 136, Bytes(12, 0xFF)); }), L"", {"a.txt", "b.txt"}},
    {"a signed checksum", [&] { return join({signedName, zeros(1024)}); }, L"", {"\xe9t\xe9.txt"}},
    {"a global header applies to every later member", [&] {
       return join({sealed(member("g", 'g', pax({{"path", "same"}}))), a, b}); }, L"", {"same", "same"}},
    {"an empty pax path clears the global one", [&] {
       return join({sealed(member("g", 'g', pax({{"path", "same"}}))), a, sealed(member("x", 'x', pax({{"path", ""}}))), b}); },
     L"", {"same", "b.txt"}},
    {"long names, a (Solaris) pax path over them", [&] {
       return join({sealed(member("L", 'L', std::string(300, 'L') + '\0')), a,
                    sealed(member("L", 'L', "long")), sealed(member("X", 'X', pax({{"path", "pax"}}))), b}); },
     L"", {std::string(300, 'L'), "pax"}},
    {"checksum mismatch", withB([](Bytes& t) { t[1024 + 300] = 1; }), L"Tar header checksum mismatch: b.txt"},
    {"negative base-256 size", withB([](Bytes& t) { patch(t, 1024, 124, Bytes(12, 0xFF)); }), L"Invalid tar header: b.txt"},
    {"absurd size", withB([](Bytes& t) { Bytes s(12); s[0] = 0x80; s[4] = 0x41; patch(t, 1024, 124, s); }), L"Invalid tar header: b.txt"},
    {"size not in octal", withB([](Bytes& t) { patch(t, 1024, 124, bytesOf("00000000009")); }), L"Invalid tar header: b.txt"},
    {"member past the end", withB([](Bytes& t) { patch(t, 1024, 124, bytesOf("00000010000")); }),
     L"Tar member runs past the end of the archive: b.txt"},
    {"header cut short", withB([](Bytes& t) { t.resize(1024 + 100); }), L"Tar archive ends inside a header: at byte 1024"},
    {"extended header, then the file's end", [&] { return join({a, sealed(member("x", 'x', pax({{"path", "p"}})))}); },
     L"Tar archive ends inside a header: at byte 2048"},
    {"extended header, then the end blocks", [&] { return join({sealed(member("x", 'x', pax({{"path", "p"}}))), zeros(1024)}); },
     L"Invalid tar header: at byte 1024"},
    {"oversized pax header", [&] { Bytes x = member("x", 'x', ""); patch(x, 0, 124, bytesOf("00004000001")); return join({a, x}); },
     L"Tar extended header too large: at byte 1024"},
    {"pax record with a bad length", [&] { return join({a, sealed(member("x", 'x', "99 path=p\n")), b}); },
     L"Invalid tar header: at byte 1024"},
    {"pax record without a key", [&] { return join({a, sealed(member("x", 'x', "6 =ab\n")), b}); },
     L"Invalid tar header: at byte 1024"},
    {"multivolume continuation", [&] { return join({a, sealed(member("cont", 'M', "")), zeros(1024)}); }, L"Invalid tar header: cont"},
    {"sparse map in order", sparse01("0,4,100,6,200,0", "200"), L"", {"s"}},
    {"sparse map out of order", sparse01("100,6,0,4", "200"), L"Invalid sparse map: s"},
    {"sparse map overlapping", sparse01("0,6,4,4", "200"), L"Invalid sparse map: s"},
    {"sparse map past the real size", sparse01("0,4,198,6", "200"), L"Invalid sparse map: s"},
    {"sparse map not adding up", sparse01("0,4,100,5", "200"), L"Invalid sparse map: s"},
    {"sparse 1.0 map longer than the data", [&] {
       return join({sealed(member("x", 'x', pax({{"GNU.sparse.major", "1"}, {"GNU.sparse.minor", "0"},
                                                  {"GNU.sparse.realsize", "10"}, {"GNU.sparse.name", "s"}}))),
                    sealed(member("s", '0', "3\n0\n")), zeros(1024)}); }, L"Invalid sparse map: s"},
    {"data after the end", withB([](Bytes& t) { t.resize(10240); t[5000] = 'x'; }),
     L"", {"a.txt", "b.txt"}, L"Data after the end of the tar archive: at byte 5000"},
    {"a header after a lone zero block", [&] { return join({a, zeros(512), b}); },
     L"", {"a.txt"}, L"Data after the end of the tar archive: at byte 1536"},
    {"a lone zero block, then part of a block", [&] { return join({a, zeros(512), Bytes(100, 'x')}); },
     L"", {"a.txt"}, L"Data after the end of the tar archive: at byte 1536"},
    // Whatever their size fields say, as GNU tar extracts them: a folder
    // (CPython's ustar/dirtype-with-size), a pre-POSIX hard link with its
    // target's size, a symbolic link, a FIFO, an old folder named with a slash.
    {"members that hold no data, whatever their size", [&] {
       Bytes folder = member("dir", '5', ""), hard = member("h", '1', "", "a.txt"), link = member("l", '2', "", "a.txt");
       Bytes fifo = member("p", '6', ""), old = member("old/", '0', "");
       for (Bytes* header : {&folder, &hard, &link, &fifo, &old}) patch(*header, 0, 124, bytesOf("00000000377"));
       return join({a, folder, hard, link, fifo, old, b, zeros(1024)}); },
     L"", {"a.txt", "dir/", "h", "l", "p", "old/", "b.txt"}},
    {"a pax size does not give a folder data", [&] {
       return join({sealed(member("x", 'x', pax({{"size", "600"}}))), sealed(member("dir", '5', "")), b}); },
     L"", {"dir/", "b.txt"}},
  };
  // clang-format on
  ScratchDir scratch;
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.what);
    writeFile(scratch / "hostile.tar", c.make());
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

TEST(TarReader, LooksLikeTarTakesCheckedHeadersOnly) {
  Bytes v7 = member("old.txt", '0', "");
  std::fill_n(v7.begin() + 257, 8, 0);
  Bytes noName = v7;
  noName[0] = 0;
  Bytes gnu = member("g.txt", '0', "");
  std::copy_n("ustar  ", 8, gnu.begin() + 257);
  Bytes badChecksum = sealed(member("a.txt", '0', ""));
  badChecksum[0] = 'b';
  EXPECT_TRUE(ablative::looksLikeTar(sealed(member("a.txt", '0', ""))));
  EXPECT_TRUE(ablative::looksLikeTar(sealed(gnu)));
  EXPECT_TRUE(ablative::looksLikeTar(sealed(v7)));
  EXPECT_FALSE(ablative::looksLikeTar(sealed(noName)));
  EXPECT_FALSE(ablative::looksLikeTar(badChecksum));
  EXPECT_FALSE(ablative::looksLikeTar(zeros(512)));
  EXPECT_FALSE(ablative::looksLikeTar(Bytes(100, '0')));
}

}  // namespace
