#include "extract_fixture.h"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <stdexcept>

#include "ablative.h"
#include "codec.h"
#include "crc32.h"

namespace testutil {

Tree sampleTree() {
  Tree tree;
  tree["a.txt"] = bytesOf("ten bytes!");
  tree["big.bin"] = mixedBytes(150000, 7);
  tree["empty"] = {};
  tree["nested/deeper/runs.bin"] = Bytes(70000, 0x5A);
  tree["nested/\xF0\x9F\x98\x80 smile.txt"] = bytesOf("non-BMP name");
  tree["z/last.bin"] = mixedBytes(5000, 11);
  return tree;
}

Tree smallTree() {
  Tree tree;
  tree["a.txt"] = bytesOf("0123456789");
  tree["b/c.bin"] = bytesOf("xyzxyz");
  tree["b/empty"] = {};
  return tree;
}

void writeTree(const fs::path& root, const Tree& tree) {
  fs::create_directories(root);
  for (const auto& [path, content] : tree) writeFile(root / fs::path(std::u8string(path.begin(), path.end())), content);
}

Tree readTree(const fs::path& root) {
  Tree tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    std::u8string relative = entry.path().lexically_relative(root).generic_u8string();
    tree[std::string(relative.begin(), relative.end())] = readFile(entry.path());
  }
  return tree;
}

void makeArchive(const ScratchDir& scratch, const Tree& tree, uint32_t blockSize, const fs::path& archive) {
  const fs::path source = scratch.path() / "src";
  fs::remove_all(source);
  writeTree(source, tree);
  std::wstring error;
  if (!ablative::createArchive(wide(source), wide(archive), blockSize, error, {}, {}, {})) {
    throw std::runtime_error("createArchive failed: " + ablative::toUtf8(error));
  }
}

ablative::ArchiveTables tablesOf(const fs::path& archive) {
  ablative::ArchiveTables tables;
  std::wstring error;
  ablative::readArchiveTables(wide(archive), tables, error);
  return tables;
}

RunResult extract(const fs::path& archive, const fs::path& destination, bool resume, bool keepOriginal) {
  RunResult result;
  result.ok = ablative::extractArchive(
      wide(archive), wide(destination), resume, keepOriginal, result.error,
      [&](const ablative::ProgressInfo& info) { result.progress.push_back(info); },
      [&](const std::wstring& line) { result.log.push_back(line); }, {});
  return result;
}

Bytes RawArchive::encode() const {
  using namespace ablative;
  ArchiveHeader h = header;
  std::string table;
  std::vector<FileRecord> records = files;
  for (size_t i = 0; i < records.size(); ++i) {
    if (!keepPathFields && i < paths.size()) {
      records[i].pathOffset = static_cast<uint32_t>(table.size());
      records[i].pathLength = static_cast<uint32_t>(paths[i].size());
    }
    if (i < paths.size()) table += paths[i];
  }
  if (h.magic[0] == 0) std::copy(std::begin(kArchiveMagic), std::end(kArchiveMagic), h.magic);
  if (h.version == 0) h.version = kArchiveVersion;
  if (!keepCounts) {
    h.pathTableSize = static_cast<uint32_t>(table.size());
    h.fileCount = static_cast<uint32_t>(records.size());
    h.blockCount = static_cast<uint32_t>(blocks.size());
  }
  const uint64_t dataOffset = kArchiveHeaderSize + table.size() + uint64_t{kRecordSize} * (records.size() + blocks.size());
  Bytes bytes(kArchiveHeaderSize);
  encodeHeader(h, bytes.data());
  bytes.insert(bytes.end(), table.begin(), table.end());
  uint8_t record[kRecordSize];
  for (const FileRecord& file : records) {
    encodeFileRecord(file, record);
    bytes.insert(bytes.end(), record, record + kRecordSize);
  }
  for (BlockRecord block : blocks) {
    block.offset += dataOffset;
    encodeBlockRecord(block, record);
    bytes.insert(bytes.end(), record, record + kRecordSize);
  }
  bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}

RawArchive storedArchive(const std::vector<std::pair<std::string, Bytes>>& contents) {
  RawArchive raw;
  for (const auto& [path, content] : contents) {
    ablative::FileRecord file;
    file.size = content.size();
    file.firstBlock = static_cast<uint32_t>(raw.blocks.size());
    if (!content.empty()) {
      file.blockCount = 1;
      raw.blocks.push_back({raw.data.size(), static_cast<uint32_t>(content.size()),
                            static_cast<uint32_t>(content.size()), ablative::crc32(content.data(), content.size()),
                            static_cast<uint32_t>(ablative::BlockCodec::Stored)});
      raw.data.insert(raw.data.end(), content.begin(), content.end());
    }
    raw.paths.push_back(path);
    raw.files.push_back(file);
  }
  return raw;
}

uint32_t ioErrorCode() {
#ifdef _WIN32
  return 1117;  // ERROR_IO_DEVICE
#else
  return EIO;
#endif
}

uint32_t diskFullCode() { return ablative::diskFullErrorCode(); }

std::vector<std::string> entriesOf(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    std::u8string name = entry.path().filename().u8string();
    names.emplace_back(name.begin(), name.end());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace testutil
