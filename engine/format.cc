#include "format.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "coding.h"
#include "file_util.h"

namespace ablative {

namespace {

// Reads one table of `length` bytes, refusing before allocating when the
// archive cannot hold it.
bool readTable(FileHandle& file, uint64_t position, uint64_t length, uint64_t archiveSize,
               std::vector<uint8_t>& bytes) {
  if (position > archiveSize || length > archiveSize - position) return false;
  bytes.resize(length);
  return readFully(file, bytes.data(), length);
}

bool fail(std::wstring& errorText, const wchar_t* message) {
  errorText = message;
  return false;
}

}  // namespace

void encodeHeader(const ArchiveHeader& header, uint8_t* out) {
  std::memcpy(out, header.magic, 8);
  putFields(out + 8, header.version, header.blockSize, header.sourceBytes, header.pathTableSize, header.fileCount,
            header.blockCount, header.fileTableOffset, header.dataOffset, header.reserved);
}

ArchiveHeader decodeHeader(const uint8_t* in) {
  ArchiveHeader header;
  std::memcpy(header.magic, in, 8);
  header.version = get32(in + 8);
  header.blockSize = get32(in + 12);
  header.sourceBytes = get64(in + 16);
  header.pathTableSize = get32(in + 24);
  header.fileCount = get32(in + 28);
  header.blockCount = get32(in + 32);
  header.fileTableOffset = get64(in + 36);
  header.dataOffset = get64(in + 44);
  header.reserved = get32(in + 52);
  return header;
}

void encodeFileRecord(const FileRecord& record, uint8_t* out) {
  putFields(out, record.pathOffset, record.pathLength, record.size, record.firstBlock, record.blockCount);
}

FileRecord decodeFileRecord(const uint8_t* in) {
  return FileRecord{get32(in), get32(in + 4), get64(in + 8), get32(in + 16), get32(in + 20)};
}

void encodeBlockRecord(const BlockRecord& record, uint8_t* out) {
  putFields(out, record.offset, record.storedSize, record.rawSize, record.crc, record.codec);
}

BlockRecord decodeBlockRecord(const uint8_t* in) {
  return BlockRecord{get64(in), get32(in + 8), get32(in + 12), get32(in + 16), get32(in + 20)};
}

ArchiveHeader newArchiveHeader(uint32_t blockSize, uint64_t sourceBytes, uint32_t pathTableSize, uint32_t fileCount,
                               uint32_t blockCount) {
  ArchiveHeader header;
  std::copy(std::begin(kArchiveMagic), std::end(kArchiveMagic), header.magic);
  header.version = kArchiveVersion;
  header.blockSize = blockSize;
  header.sourceBytes = sourceBytes;
  header.pathTableSize = pathTableSize;
  header.fileCount = fileCount;
  header.blockCount = blockCount;
  header.fileTableOffset = kArchiveHeaderSize + uint64_t{pathTableSize};
  header.dataOffset = dataStart(header);
  return header;
}

uint64_t blockTableOffset(const ArchiveHeader& header) {
  return kArchiveHeaderSize + uint64_t{header.pathTableSize} + uint64_t{kRecordSize} * header.fileCount;
}

uint64_t dataStart(const ArchiveHeader& header) {
  return blockTableOffset(header) + uint64_t{kRecordSize} * header.blockCount;
}

std::vector<uint8_t> encodeTables(const ArchiveHeader& header, const std::vector<FileRecord>& files,
                                  const std::function<std::string_view(size_t file)>& pathOf) {
  std::vector<uint8_t> bytes(dataStart(header), 0);
  encodeHeader(header, bytes.data());
  uint8_t* const pathTable = bytes.data() + kArchiveHeaderSize;
  uint8_t* record = pathTable + header.pathTableSize;
  for (size_t i = 0; i < files.size(); ++i, record += kRecordSize) {
    const std::string_view path = pathOf(i);
    std::copy(path.begin(), path.end(), pathTable + files[i].pathOffset);
    encodeFileRecord(files[i], record);
  }
  return bytes;
}

std::vector<uint8_t> encodeBlockTable(const std::vector<BlockRecord>& blocks) {
  std::vector<uint8_t> bytes(uint64_t{kRecordSize} * blocks.size());
  for (size_t i = 0; i < blocks.size(); ++i) encodeBlockRecord(blocks[i], &bytes[uint64_t{kRecordSize} * i]);
  return bytes;
}

bool readArchiveTables(const std::wstring& archivePath, ArchiveTables& tables, std::wstring& errorText) {
  tables = ArchiveTables{};
  FileHandle file;
  if (!openFile(archivePath, OpenMode::ReadOnly, file)) return fail(errorText, L"Unable to open archive file");
  uint64_t size = 0;
  if (!fileSize(file, size)) return fail(errorText, L"Unable to open archive file");
  tables.archiveSize = size;

  uint8_t raw[kArchiveHeaderSize];
  if (!readFully(file, raw, sizeof raw)) return fail(errorText, L"Invalid archive format (header read failed)");
  tables.header = decodeHeader(raw);
  const ArchiveHeader& header = tables.header;
  if (std::memcmp(header.magic, kArchiveMagic, 8) != 0) {
    return fail(errorText,
                L"Invalid archive format (bad magic). Ensure you selected a .zvka archive, not a .zvkj journal.");
  }
  if (header.version != kOldestArchiveVersion && header.version != kArchiveVersion) {
    return fail(errorText, L"Archive version mismatch. Recreate archive using this app version.");
  }

  uint64_t position = kArchiveHeaderSize;
  if (!readTable(file, position, header.pathTableSize, size, tables.pathTable)) {
    return fail(errorText, L"Invalid archive path table");
  }
  position += header.pathTableSize;

  std::vector<uint8_t> bytes;
  uint64_t fileTableLength = uint64_t{kRecordSize} * header.fileCount;
  if (!readTable(file, position, fileTableLength, size, bytes)) return fail(errorText, L"Invalid archive file table");
  position += fileTableLength;
  tables.files.resize(header.fileCount);
  for (uint32_t i = 0; i < header.fileCount; ++i) tables.files[i] = decodeFileRecord(&bytes[uint64_t{kRecordSize} * i]);

  uint64_t blockTableLength = uint64_t{kRecordSize} * header.blockCount;
  if (!readTable(file, position, blockTableLength, size, bytes)) return fail(errorText, L"Invalid archive block table");
  tables.blocks.resize(header.blockCount);
  for (uint32_t i = 0; i < header.blockCount; ++i) {
    tables.blocks[i] = decodeBlockRecord(&bytes[uint64_t{kRecordSize} * i]);
  }
  return true;
}

bool checkFileRecord(const ArchiveTables& tables, size_t index, std::wstring& errorText) {
  const FileRecord& record = tables.files[index];
  if (uint64_t{record.pathOffset} + record.pathLength > tables.pathTable.size()) {
    return fail(errorText, L"Invalid archive path offsets");
  }
  // Every index firstBlock + j for j < blockCount must exist: the last one is enough.
  if (record.blockCount > 0 && uint64_t{record.firstBlock} + record.blockCount > tables.blocks.size()) {
    return fail(errorText, L"Invalid block index in archive");
  }
  return true;
}

bool checkBlockLayout(const ArchiveTables& tables, const std::function<bool(uint32_t block)>& mayLieBeyondEnd,
                      std::wstring& errorText) {
  const std::vector<BlockRecord>& blocks = tables.blocks;
  std::vector<uint8_t> claimed(blocks.size(), 0);
  uint64_t claims = 0;
  for (const FileRecord& record : tables.files) {
    for (uint64_t b = record.firstBlock; b < uint64_t{record.firstBlock} + record.blockCount; ++b) {
      if (b >= blocks.size() || claimed[b]) return fail(errorText, L"Invalid archive block table");
      claimed[b] = 1;
      ++claims;
    }
  }
  if (claims != blocks.size()) return fail(errorText, L"Invalid archive block table");

  const uint64_t tablesEnd = dataStart(tables.header);
  std::vector<uint32_t> byOffset(blocks.size());
  std::iota(byOffset.begin(), byOffset.end(), 0u);
  for (uint32_t b : byOffset) {
    const BlockRecord& block = blocks[b];
    // Offsets near 2^64 would wrap the end; nothing real lies there.
    if (block.offset < tablesEnd || block.offset > UINT64_MAX / 2)
      return fail(errorText, L"Invalid archive block table");
    bool inside = block.offset + block.storedSize <= tables.archiveSize;
    if (!inside && !(mayLieBeyondEnd && mayLieBeyondEnd(b))) return fail(errorText, L"Invalid archive block table");
  }
  std::sort(byOffset.begin(), byOffset.end(),
            [&](uint32_t a, uint32_t b) { return blocks[a].offset < blocks[b].offset; });
  for (size_t i = 1; i < byOffset.size(); ++i) {
    const BlockRecord& previous = blocks[byOffset[i - 1]];
    if (previous.offset + previous.storedSize > blocks[byOffset[i]].offset) {
      return fail(errorText, L"Invalid archive block table");
    }
  }
  return true;
}

std::string storedPath(const ArchiveTables& tables, size_t index) {
  const FileRecord& record = tables.files[index];
  return std::string(reinterpret_cast<const char*>(tables.pathTable.data()) + record.pathOffset, record.pathLength);
}

}  // namespace ablative
