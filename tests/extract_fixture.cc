#include "extract_fixture.h"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "codecs/codec.h"
#include "codecs/crc32.h"
#include "consume/archive_checks.h"
#include "consume/journal.h"
#include "containers/format_table.h"
#include "plan/archive_source.h"

namespace testutil {

using namespace ablative;

Tree smallTree() { return {{"a.txt", bytesOf("0123456789")}, {"b/c.bin", bytesOf("xyzxyz")}, {"b/empty", {}}}; }

Tree readTree(const fs::path& root) {
  Tree tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::u8string name = entry.path().lexically_relative(root).generic_u8string();
    if (entry.is_regular_file()) tree[std::string(name.begin(), name.end())] = readFile(entry.path());
  }
  return tree;
}

namespace {

// Raw deflate, or with window bits 31 one gzip member; a smaller memory level makes smaller blocks.
Bytes deflated(const Bytes& data, int windowBits = -15, int memLevel = 8) {
  Bytes out(compressBound(data.size()) + 64);
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, windowBits, memLevel, Z_DEFAULT_STRATEGY);
  z.next_in = const_cast<uint8_t*>(data.data()), z.avail_in = uInt(data.size());
  z.next_out = out.data(), z.avail_out = uInt(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Zstandard frames of 6 MiB each with a 128 KiB window, so that decoding starts again inside a frame after every
// 4 MiB, and at each frame.
Bytes zstdFramed(const Bytes& data) {
  Bytes out;
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, 17);
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
  for (size_t at = 0; at < data.size(); at += 6 << 20) {
    const size_t length = std::min<size_t>(6 << 20, data.size() - at);
    Bytes frame(ZSTD_compressBound(length));
    frame.resize(ZSTD_compress2(context, frame.data(), frame.size(), data.data() + at, length));
    out.insert(out.end(), frame.begin(), frame.end());
  }
  ZSTD_freeCCtx(context);
  return out;
}

// A first KiB, then the rest: an xz stream of blocks of that KiB and then of 2 MiB each, or two bzip2 streams (the
// second's blocks of 100 kB), so that a small tree's files lie in units of their own and a large one has units that
// start inside a stream.
Bytes xzOf(const Bytes& data) {
  Bytes out(data.size() * 2 + 4096);
  lzma_stream xz = LZMA_STREAM_INIT;
  if (lzma_easy_encoder(&xz, 0, LZMA_CHECK_CRC64) != LZMA_OK) throw std::runtime_error("no xz encoder");
  xz.next_out = out.data(), xz.avail_out = out.size();
  for (size_t at = 0, n = 1024; at < data.size(); at += n, n = 2 << 20) {
    xz.next_in = data.data() + at, xz.avail_in = std::min(n, data.size() - at);
    while (lzma_code(&xz, at + n < data.size() ? LZMA_FULL_FLUSH : LZMA_FINISH) == LZMA_OK) {
    }
  }
  out.resize(xz.total_out);
  lzma_end(&xz);
  return out;
}

Bytes bz2Of(const Bytes& data) {
  Bytes all;
  for (size_t at = 0, n = 1024; at < data.size(); at += n, n = data.size() - at) {
    Bytes out(2 * n + 600);
    auto length = unsigned(out.size());
    BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &length,
                             reinterpret_cast<char*>(const_cast<uint8_t*>(data.data() + at)), unsigned(n), 1, 0, 0);
    all.insert(all.end(), out.begin(), out.begin() + length);
  }
  return all;
}

template <typename... Fields>
void append(Bytes& out, Fields... fields) {
  ((out.resize(out.size() + sizeof fields),
    std::memcpy(out.data() + out.size() - sizeof fields, &fields, sizeof fields)),
   ...);
}

void append(Bytes& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }

Bytes zipOf(const Tree& tree, bool deflate) {
  Bytes zip, directory;
  const uint16_t method = deflate ? 8 : 0, utf8 = 0x0800, version = 20, date = 0x21, none = 0;
  for (const auto& [path, content] : tree) {
    const Bytes data = deflate ? deflated(content) : content;
    const uint32_t crc = crc32(content.data(), content.size()), offset = uint32_t(zip.size());
    const uint32_t stored = uint32_t(data.size()), raw = uint32_t(content.size());
    const auto name = uint16_t(path.size());
    append(zip, uint32_t{0x04034b50}, version, utf8, method, none, date, crc, stored, raw, name, none);
    append(zip, path);
    zip.insert(zip.end(), data.begin(), data.end());
    append(directory, uint32_t{0x02014b50}, uint16_t{0x0300 | version}, version, utf8, method, none, date, crc, stored,
           raw, name, none, none, none, none, uint32_t{0100644} << 16, offset);
    append(directory, path);
  }
  const auto count = uint16_t(tree.size());
  const auto at = uint32_t(zip.size()), size = uint32_t(directory.size());
  zip.insert(zip.end(), directory.begin(), directory.end());
  append(zip, uint32_t{0x06054b50}, none, none, count, count, size, at, none);
  return zip;
}

std::string octal(uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "%0*llo", digits, static_cast<unsigned long long>(value));
  return text;
}

// One ustar header; the checksum covers it with its own field as spaces.
void appendTarHeader(Bytes& tar, const std::string& path, uint64_t size, char type, const std::string& target) {
  Bytes header(512, 0);
  // clang-format off
  const std::pair<size_t, std::string> fields[] = {
      {0, path}, {100, "0000644"}, {108, "0000000"}, {116, "0000000"}, {124, octal(size, 11)},
      {136, octal(1600000000, 11)}, {148, "        "}, {156, std::string(1, type)}, {157, target}, {257, "ustar"},
      {263, "00"}};
  // clang-format on
  for (const auto& [at, text] : fields) std::copy(text.begin(), text.end(), &header[at]);
  uint32_t sum = 0;
  for (uint8_t byte : header) sum += byte;
  const std::string checksum = octal(sum, 6);
  std::copy(checksum.begin(), checksum.end(), &header[148]);
  tar.insert(tar.end(), header.begin(), header.end());
}

Bytes tarOf(const Tree& tree, const std::string& hardLink) {
  Bytes tar;
  for (const auto& [path, content] : tree) {
    appendTarHeader(tar, path, content.size(), '0', "");
    tar.insert(tar.end(), content.begin(), content.end());
    tar.resize((tar.size() + 511) / 512 * 512);
  }
  appendTarHeader(tar, hardLink, 0, '1', tree.begin()->first);
  tar.resize(tar.size() + 1024);
  return tar;
}

Bytes packedTar(const Bytes& tar, Packing packing) {
  switch (packing) {
    case Packing::TarGz: return deflated(tar, 31, 1);  // a block ends soon after each 4 MiB
    case Packing::TarZst: return zstdFramed(tar);
    case Packing::TarXz: return xzOf(tar);
    case Packing::TarBz2: return bz2Of(tar);
    default: return tar;
  }
}

}  // namespace

Scene::Scene(const Tree& packed, uint32_t blockSize) : tree(packed) {
  CreateOptions options;
  options.blockSize = blockSize;
  if (!packed.empty()) pack(options);
}

Scene::Scene(const Tree& packed, Packing packing) : Scene(packing == Packing::Zvka ? packed : Tree{}) {
  if (packing == Packing::Zvka) return;
  tree = packed;
  if (packing == Packing::Zvka5 || packing == Packing::Zvka4) {
    CreateOptions options;
    options.blockSize = 12, options.zstdLevel = kDefaultZstdLevel, options.threads = 2;
    pack(options, true);
    if (packing == Packing::Zvka4) asVersion4();
    return;
  }
  if (packing >= Packing::Tar) {
    writeFile(archive, packedTar(tarOf(tree, "hard.link"), packing));
    tree["hard.link"] = tree.begin()->second;
  } else {
    writeFile(archive, zipOf(tree, packing == Packing::ZipDeflated));
  }
  readUnits();
}

void Scene::pack(const CreateOptions& options, bool readOnlyFiles) {
  constexpr auto kWrite = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  for (const auto& [path, content] : tree) {
    writeFile(scratch / ("src/" + path), content);
    if (readOnlyFiles) fs::permissions(scratch / ("src/" + path), kWrite, fs::perm_options::remove);
  }
  if (const Status created = createArchive(wide(scratch / "src"), wide(archive), options, {}, {}, {}); !created.ok()) {
    throw std::runtime_error(toUtf8(created.message));
  }
  for (const auto& [path, content] : tree) fs::permissions(scratch / ("src/" + path), kWrite, fs::perm_options::add);
  fs::remove_all(scratch / "src");
  FileHandle file;
  openFile(wide(archive), OpenMode::ReadOnly, file);
  readArchiveTables(file, tables);
  readUnits();
}

// Version 4 is version 5 with its path and entry tables laid out plain, so the data moves by the difference.
void Scene::asVersion4() {
  const Bytes v5 = readFile(archive);
  ArchiveHeader header = newArchiveHeader(kArchiveVersion4, tables.header.blockSize, tables.header.sourceBytes,
                                          tables.header.pathTableSize, tables.header.fileCount,
                                          tables.header.blockCount);
  Bytes v4 = encodeTables(header, tables.files, [](size_t) { return std::string(); }, 0);
  std::copy(tables.pathTable.begin(), tables.pathTable.end(), v4.begin() + kArchiveHeaderSize);
  const uint64_t oldStart = ablative::dataStart(tables.header), newStart = ablative::dataStart(header);
  std::vector<BlockRecord> blocks = tables.blocks;
  for (BlockRecord& block : blocks) block.offset = block.offset - oldStart + newStart;
  const Bytes blockTable = encodeBlockTable(blocks);
  std::copy(blockTable.begin(), blockTable.end(), v4.begin() + blockTableOffset(header));
  v4.insert(v4.end(), v5.begin() + ptrdiff_t(oldStart), v5.end());
  writeFile(archive, v4);
  FileHandle file;
  openFile(wide(archive), OpenMode::ReadOnly, file);
  if (!readArchiveTables(file, tables).ok() || tables.header.version != kArchiveVersion4) {
    throw std::runtime_error("not read back as version 4");
  }
  units.clear();
  readUnits();
}

void Scene::readUnits() {
  original = readFile(archive);
  SourceReading reading;
  ExtractionPlan plan;
  FileHandle file;
  openFile(wide(archive), OpenMode::ReadOnly, file);
  Status read = sourceFor(file).read(file, pointsScratchPathFor(journalPathFor(wide(archive))), {}, reading);
  const auto noneDone = [](uint32_t) { return false; };
  if (read.ok()) read = planArchive(std::move(reading), noneDone, plan);
  if (!read.ok()) throw std::runtime_error(toUtf8(read.message));
  dataStart = plan.dataStart;
  for (uint32_t u = 0; u < plan.units.size(); ++u) {
    SceneUnit& unit = units.emplace_back(SceneUnit{plan.units[u].offset, plan.units[u].storedSize, {}});
    for (const PlanPiece& piece : plan.piecesOf(u))
      unit.pieces.push_back({plan.pathOf(piece.file), piece.destOffset, piece.length});
  }
}

RunResult Scene::run(bool resume, bool keepOriginal, const ProgressCallback& watch) const {
  ExtractOptions options;
  options.resume = resume, options.keepOriginal = keepOriginal, options.groupBytes = groupBytes;
  return run(options, out, watch);
}

RunResult Scene::run(const ExtractOptions& options, const fs::path& destination, const ProgressCallback& watch) const {
  RunResult result;
  const auto progress = [&](const ProgressInfo& info) {
    result.progress.push_back(info);
    if (watch) watch(info);
  };
  const auto log = [&](const std::wstring& line) { result.log.push_back(line); };
  const Status status = extractArchive(wide(archive), wide(destination), options, result.outcome, progress, log, {});
  result.ok = status.ok(), result.error = status.message, result.kind = status.kind;
  return result;
}

namespace {

fs::path partPath(const fs::path& stem, size_t part) {
  const std::string number = std::to_string(part);
  return stem.string() + "." + std::string(3 - number.size(), '0') + number;
}

}  // namespace

void Scene::splitIntoParts() {
  const fs::path stem = scratch / "x.zvka";
  const size_t partBytes = original.size() / 3;
  for (parts = 0; parts * partBytes < original.size(); ++parts) {
    const auto from = original.begin() + ptrdiff_t(parts * partBytes);
    writeFile(partPath(stem, parts + 1), Bytes(from, from + ptrdiff_t(std::min(partBytes, original.size() - parts * partBytes))));
  }
  fs::remove(stem);
  archive = partPath(stem, 1);
  journal = archive.string() + ".zvkj";
}

// A consuming run deletes parts from the last, so those left are the first ones, all whole but the last; at its end,
// the first goes before the others.
Bytes Scene::archiveBytes() const {
  if (parts == 1 || !fs::exists(archive)) return readFile(archive);
  Bytes all;
  const fs::path stem = scratch / "x.zvka";
  size_t part = 1;
  for (; part <= parts && fs::exists(partPath(stem, part)); ++part) {
    if (all.size() != (part - 1) * (original.size() / 3)) throw std::runtime_error("a part below another was cut");
    const Bytes bytes = readFile(partPath(stem, part));
    all.insert(all.end(), bytes.begin(), bytes.end());
  }
  for (; part <= parts; ++part) {
    if (fs::exists(partPath(stem, part))) throw std::runtime_error("a part below another is gone");
  }
  return all;
}

std::vector<std::string> Scene::archiveNames() const {
  if (parts == 1) return {"x.zvka"};
  std::vector<std::string> names;
  for (size_t part = 1; part <= parts; ++part) names.push_back(partPath("x.zvka", part).string());
  return names;
}

std::vector<std::string> Scene::folder() const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(scratch.path())) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void interrupt(Scene& s, int release) {
  int releases = 0;
  ScopedIoHook stop([&](const IoCall& call) {  // a stand-in for zeroing is asked a second time: not another release
    return call.op == IoOp::ZeroRange && call.stoodIn == nullptr && ++releases == release ? ioErrorCode() : 0u;
  });
  s.groupBytes = 1;
  const bool completed = s.run(false, false).ok;
  s.groupBytes = kDefaultGroupBytes;
  if (completed) throw std::runtime_error("the run was not stopped");
}

ExtractOptions stoppingAt(const Scene& s, int ask) {
  ExtractOptions options;
  options.groupBytes = 1;
  options.shouldStop = [ask, asks = 0, journal = s.journal]() mutable { return fs::exists(journal) && ++asks == ask; };
  return options;
}

Bytes RawArchive::encode() const {
  ArchiveHeader h = header;
  std::string table;
  std::vector<FileRecord> records = files;
  for (size_t i = 0; i < records.size() && i < paths.size(); table += paths[i++]) {
    FileRecord& r = records[i];
    if (r.pathLength == 0) r.pathOffset = uint32_t(table.size()), r.pathLength = uint32_t(paths[i].size());
  }
  if (h.magic[0] == 0) std::copy(std::begin(kArchiveMagic), std::end(kArchiveMagic), h.magic);
  for (auto [field, value] : {std::pair{&h.version, kArchiveVersion},
                              {&h.pathTableSize, uint32_t(table.size())},
                              {&h.fileCount, uint32_t(records.size())},
                              {&h.blockCount, uint32_t(blocks.size())}}) {
    if (*field == 0) *field = value;
  }
  const uint32_t recordSize = fileRecordSize(h.version);
  Bytes tables(table.begin(), table.end());
  tables.resize(table.size() + recordSize * records.size());
  uint8_t* record = tables.data() + table.size();
  for (const FileRecord& file : records) encodeFileRecord(h.version, file, std::exchange(record, record + recordSize));
  if (h.version >= kArchiveVersion5) {  // header fields set beforehand stand, to spoil the frame's
    uint32_t crc = 0;
    tables = codeTables(tables, uint32_t(table.size()), kDefaultZstdLevel, crc);
    if (h.tablesStoredSize == 0) h.tablesStoredSize = tables.size();
    if (h.tablesCrc == 0) h.tablesCrc = crc;
  }
  Bytes bytes(kArchiveHeaderSize + tables.size() + kRecordSize * blocks.size());
  encodeHeader(h, bytes.data());
  std::copy(tables.begin(), tables.end(), bytes.begin() + kArchiveHeaderSize);
  record = bytes.data() + kArchiveHeaderSize + tables.size();
  for (BlockRecord block : blocks) {
    block.offset += bytes.size();
    encodeBlockRecord(block, std::exchange(record, record + kRecordSize));
  }
  bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}

RawArchive storedArchive(const std::vector<std::pair<std::string, Bytes>>& contents) {
  RawArchive raw;
  for (const auto& [path, content] : contents) {
    const auto size = uint32_t(content.size()), stored = uint32_t(BlockCodec::Stored);
    raw.files.push_back({0, 0, size, uint32_t(raw.blocks.size()), size == 0 ? 0u : 1u});
    if (size != 0) raw.blocks.push_back({raw.data.size(), size, size, crc32(content.data(), size), stored});
    raw.paths.push_back(path);
    raw.data.insert(raw.data.end(), content.begin(), content.end());
  }
  return raw;
}

#ifdef _WIN32
uint32_t ioErrorCode() { return 1117; }  // ERROR_IO_DEVICE
#else
uint32_t ioErrorCode() { return EIO; }
#endif

ScopedIoHook::ScopedIoHook(IoHook hook, bool standIn) {
  if (standIn) {
    hook = [inner = std::move(hook)](const IoCall& call) {
      const uint32_t code = inner(call);
      return code != 0 ? code : standInForZeroing(call);
    };
  }
  setIoHook(std::move(hook));
}

}  // namespace testutil
