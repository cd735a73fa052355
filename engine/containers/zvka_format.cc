#include "containers/zvka_format.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "codecs/codec.h"
#include "codecs/coding.h"
#include "codecs/crc32.h"
#include "codecs/zstd_block.h"
#include "status.h"
#include "files/file_util.h"
#include "plan/archive_source.h"

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

// Version 4 derives how many blocks a file spans from where it starts and the
// blocks' raw sizes; a file that runs past the last block gets one more than
// there are, which checkFileRecord refuses.
void countBlocksOfEachFile(ArchiveTables& tables) {
  for (FileRecord& file : tables.files) {
    if (file.type != EntryType::File || file.size == 0) continue;
    uint64_t left = file.size, offset = file.firstOffset;
    uint32_t count = 0;
    for (uint64_t b = file.firstBlock; left > 0 && b < tables.blocks.size(); ++b, ++count, offset = 0) {
      const uint32_t raw = tables.blocks[b].rawSize;
      left -= std::min<uint64_t>(left, raw > offset ? raw - offset : 0);
    }
    file.blockCount =
        left > 0 ? static_cast<uint32_t>(std::min<uint64_t>(tables.blocks.size() + 1, UINT32_MAX)) : count;
  }
}

// Version 5 stores the entry table by column, each field of every entry in
// turn; the path offsets, first blocks, offsets and times as differences from
// the previous entry's (modulo their width), which mostly repeat.
struct EntryColumn {
  uint32_t offset;  // in the 40-byte record
  uint32_t width;
  bool delta;
};
constexpr EntryColumn kEntryColumns[] = {{0, 4, true},  {4, 4, false},  {8, 8, false},  {16, 4, true},
                                         {20, 4, true}, {24, 8, true},  {32, 4, false}, {36, 4, false}};

uint64_t getField(const uint8_t* in, uint32_t width) { return width == 8 ? get64(in) : get32(in); }

// Keeps the low `width` bytes, as the field holds them.
uint64_t putField(uint8_t* out, uint32_t width, uint64_t value) {
  if (width == 8) {
    put64(out, value);
    return value;
  }
  put32(out, static_cast<uint32_t>(value));
  return static_cast<uint32_t>(value);
}

void recordsToColumns(const uint8_t* records, size_t count, uint8_t* columns) {
  for (const EntryColumn& column : kEntryColumns) {
    uint64_t previous = 0;
    for (size_t i = 0; i < count; ++i, columns += column.width) {
      const uint64_t value = getField(records + i * kEntryRecordSize + column.offset, column.width);
      putField(columns, column.width, column.delta ? value - previous : value);
      previous = value;
    }
  }
}

void columnsToRecords(const uint8_t* columns, size_t count, uint8_t* records) {
  for (const EntryColumn& column : kEntryColumns) {
    uint64_t previous = 0;
    for (size_t i = 0; i < count; ++i, columns += column.width) {
      const uint64_t stored = getField(columns, column.width);
      previous = putField(records + i * kEntryRecordSize + column.offset, column.width,
                          column.delta ? stored + previous : stored);
    }
  }
}

// A Zstandard block yields at most 128 KiB and takes at least 4 bytes, so a
// frame cannot decode to more than this many bytes for each of its own.
constexpr uint64_t kLargestZstdExpansion = 32768;

// Version 5's path table and entry records from their frame, which must
// decode to exactly their size and match the CRC.
bool decodeCodedTables(const std::vector<uint8_t>& stored, uint64_t pathBytes, uint64_t entryBytes,
                       ArchiveTables& tables) {
  const ArchiveHeader& header = tables.header;
  std::vector<uint8_t> decoded(pathBytes + entryBytes);
  if (!zstdDecodeInto(stored.data(), stored.size(), decoded.data(), decoded.size()) ||
      crc32(decoded.data(), decoded.size()) != header.tablesCrc) {
    return false;
  }
  tables.pathTable.assign(decoded.begin(), decoded.begin() + static_cast<ptrdiff_t>(pathBytes));
  std::vector<uint8_t> records(entryBytes);
  columnsToRecords(decoded.data() + pathBytes, header.fileCount, records.data());
  tables.files.resize(header.fileCount);
  for (uint32_t i = 0; i < header.fileCount; ++i) {
    tables.files[i] = decodeFileRecord(header.version, &records[uint64_t{kEntryRecordSize} * i]);
  }
  return true;
}

// Version 5's tables from their one frame, which must lie in the archive and
// state their size in its header before their memory is taken.
bool readCodedTables(FileHandle& file, uint64_t archiveSize, ArchiveTables& tables) {
  const ArchiveHeader& header = tables.header;
  const uint64_t pathBytes = header.pathTableSize, entryBytes = uint64_t{kEntryRecordSize} * header.fileCount;
  std::vector<uint8_t> stored;
  return (pathBytes + entryBytes) / kLargestZstdExpansion <= header.tablesStoredSize &&
         readTable(file, kArchiveHeaderSize, header.tablesStoredSize, archiveSize, stored) &&
         zstdFrameStates(stored.data(), stored.size(), pathBytes + entryBytes) &&
         decodeCodedTables(stored, pathBytes, entryBytes, tables);
}

bool eachBlockHasOneFile(const ArchiveTables& tables) {
  std::vector<uint8_t> claimed(tables.blocks.size(), 0);
  uint64_t claims = 0;
  for (const FileRecord& record : tables.files) {
    for (uint64_t b = record.firstBlock; b < uint64_t{record.firstBlock} + record.blockCount; ++b) {
      if (b >= claimed.size() || claimed[b]) return false;
      claimed[b] = 1;
      ++claims;
    }
  }
  return claims == claimed.size();
}

// Version 4: the files' bytes laid end to end in table order are the blocks'
// raw bytes in index order, none left over, no block empty or over size.
bool filesFillTheBlocks(const ArchiveTables& tables) {
  for (const BlockRecord& stored : tables.blocks) {
    if (stored.rawSize == 0 || stored.rawSize > tables.header.blockSize) return false;
  }
  uint64_t block = 0, offset = 0;  // where the next file's bytes go
  for (const FileRecord& file : tables.files) {
    if (file.type != EntryType::File || file.size == 0) continue;
    if (block < tables.blocks.size() && offset == tables.blocks[block].rawSize) ++block, offset = 0;
    if (file.firstBlock != block || file.firstOffset != offset) return false;
    for (uint64_t left = file.size; left > 0; ++block, offset = 0) {
      if (block >= tables.blocks.size()) return false;
      const BlockRecord& stored = tables.blocks[block];
      if (offset >= stored.rawSize) return false;
      const uint64_t taken = std::min<uint64_t>(left, stored.rawSize - offset);
      left -= taken;
      if (left == 0) {
        offset += taken;
        break;
      }
    }
  }
  if (block < tables.blocks.size() && offset == tables.blocks[block].rawSize) ++block, offset = 0;
  return block == tables.blocks.size() && offset == 0;
}

// The block table, where the tables in front of it end.
Status readBlockTable(FileHandle& file, ArchiveTables& tables) {
  const ArchiveHeader& header = tables.header;
  std::vector<uint8_t> bytes;
  const uint64_t blockTableLength = uint64_t{kRecordSize} * header.blockCount;
  if (!readTable(file, blockTableOffset(header), blockTableLength, tables.archiveSize, bytes)) {
    return failure(StatusKind::Failed, L"Invalid archive block table");
  }
  tables.blocks.resize(header.blockCount);
  for (uint32_t i = 0; i < header.blockCount; ++i) {
    tables.blocks[i] = decodeBlockRecord(&bytes[uint64_t{kRecordSize} * i]);
  }
  if (header.version >= kArchiveVersion4) countBlocksOfEachFile(tables);
  return {};
}

}  // namespace

void encodeHeader(const ArchiveHeader& header, uint8_t* out) {
  std::memcpy(out, header.magic, 8);
  const bool coded = header.version >= kArchiveVersion5;
  putFields(out + 8, header.version, header.blockSize, header.sourceBytes, header.pathTableSize, header.fileCount,
            header.blockCount, coded ? header.tablesStoredSize : header.fileTableOffset, header.dataOffset,
            coded ? header.tablesCrc : header.reserved);
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
  if (header.version >= kArchiveVersion5) {
    std::swap(header.fileTableOffset, header.tablesStoredSize);
    std::swap(header.reserved, header.tablesCrc);
  }
  return header;
}

uint32_t fileRecordSize(uint32_t version) { return version >= kArchiveVersion4 ? kEntryRecordSize : kRecordSize; }

void encodeFileRecord(uint32_t version, const FileRecord& record, uint8_t* out) {
  if (version < kArchiveVersion4) {
    putFields(out, record.pathOffset, record.pathLength, record.size, record.firstBlock, record.blockCount);
    return;
  }
  putFields(out, record.pathOffset, record.pathLength, record.size, record.firstBlock, record.firstOffset,
            static_cast<uint64_t>(record.modifiedNs), record.mode, static_cast<uint32_t>(record.type));
}

FileRecord decodeFileRecord(uint32_t version, const uint8_t* in) {
  FileRecord record{
      .pathOffset = get32(in), .pathLength = get32(in + 4), .size = get64(in + 8), .firstBlock = get32(in + 16)};
  if (version < kArchiveVersion4) {
    record.blockCount = get32(in + 20);
    return record;
  }
  record.firstOffset = get32(in + 20);
  record.modifiedNs = static_cast<int64_t>(get64(in + 24));
  record.mode = get32(in + 32);
  record.type = static_cast<EntryType>(get32(in + 36));
  return record;
}

void encodeBlockRecord(const BlockRecord& record, uint8_t* out) {
  putFields(out, record.offset, record.storedSize, record.rawSize, record.crc, record.codec);
}

BlockRecord decodeBlockRecord(const uint8_t* in) {
  return BlockRecord{get64(in), get32(in + 8), get32(in + 12), get32(in + 16), get32(in + 20)};
}

ArchiveHeader newArchiveHeader(uint32_t version, uint32_t blockSize, uint64_t sourceBytes, uint32_t pathTableSize,
                               uint32_t fileCount, uint32_t blockCount) {
  ArchiveHeader header;
  std::copy(std::begin(kArchiveMagic), std::end(kArchiveMagic), header.magic);
  header.version = version;
  header.blockSize = blockSize;
  header.sourceBytes = sourceBytes;
  header.pathTableSize = pathTableSize;
  header.fileCount = fileCount;
  header.blockCount = blockCount;
  if (version < kArchiveVersion5) header.fileTableOffset = kArchiveHeaderSize + uint64_t{pathTableSize};
  header.dataOffset = dataStart(header);
  return header;
}

uint64_t blockTableOffset(const ArchiveHeader& header) {
  if (header.version >= kArchiveVersion5) return kArchiveHeaderSize + header.tablesStoredSize;
  return kArchiveHeaderSize + uint64_t{header.pathTableSize} +
         uint64_t{fileRecordSize(header.version)} * header.fileCount;
}

uint64_t dataStart(const ArchiveHeader& header) {
  return blockTableOffset(header) + uint64_t{kRecordSize} * header.blockCount;
}

namespace {

// The path table followed by the file table, as versions before 5 store them.
std::vector<uint8_t> plainTables(const ArchiveHeader& header, const std::vector<FileRecord>& files,
                                 const std::function<std::string(size_t file)>& pathOf) {
  const uint32_t recordSize = fileRecordSize(header.version);
  std::vector<uint8_t> bytes(uint64_t{header.pathTableSize} + uint64_t{recordSize} * files.size(), 0);
  uint8_t* record = bytes.data() + header.pathTableSize;
  for (size_t i = 0; i < files.size(); ++i, record += recordSize) {
    const std::string path = pathOf(i);
    std::copy(path.begin(), path.end(), bytes.data() + files[i].pathOffset);
    encodeFileRecord(header.version, files[i], record);
  }
  return bytes;
}

}  // namespace

std::vector<uint8_t> codeTables(const std::vector<uint8_t>& plain, uint32_t pathTableSize, int level,
                                uint32_t& decodedCrc) {
  std::vector<uint8_t> decoded(plain.size()), frame;
  std::copy_n(plain.begin(), pathTableSize, decoded.begin());
  recordsToColumns(plain.data() + pathTableSize, (plain.size() - pathTableSize) / kEntryRecordSize,
                   decoded.data() + pathTableSize);
  decodedCrc = crc32(decoded.data(), decoded.size());
  zstdEncodeWhole(decoded.data(), decoded.size(), level, frame);
  return frame;
}

std::vector<uint8_t> encodeTables(ArchiveHeader& header, const std::vector<FileRecord>& files,
                                  const std::function<std::string(size_t file)>& pathOf, int tablesLevel) {
  std::vector<uint8_t> tables = plainTables(header, files, pathOf);
  if (header.version >= kArchiveVersion5) {
    tables = codeTables(tables, header.pathTableSize, tablesLevel, header.tablesCrc);
    header.tablesStoredSize = tables.size();
    header.dataOffset = dataStart(header);
  }
  std::vector<uint8_t> bytes(dataStart(header), 0);
  encodeHeader(header, bytes.data());
  std::copy(tables.begin(), tables.end(), bytes.begin() + kArchiveHeaderSize);
  return bytes;
}

std::vector<uint8_t> encodeBlockTable(const std::vector<BlockRecord>& blocks) {
  std::vector<uint8_t> bytes(uint64_t{kRecordSize} * blocks.size());
  for (size_t i = 0; i < blocks.size(); ++i) encodeBlockRecord(blocks[i], &bytes[uint64_t{kRecordSize} * i]);
  return bytes;
}

Status readArchiveTables(FileHandle& file, ArchiveTables& tables) {
  tables = ArchiveTables{};
  if (!rewindArchive(file)) return failure(StatusKind::Failed, L"Unable to open archive file");
  uint64_t size = 0;
  if (!fileSize(file, size)) return failure(StatusKind::Failed, L"Unable to open archive file");
  tables.archiveSize = size;

  uint8_t raw[kArchiveHeaderSize];
  if (!readFully(file, raw, sizeof raw)) return failure(StatusKind::Failed, L"Invalid archive format (header read failed)");
  tables.header = decodeHeader(raw);
  const ArchiveHeader& header = tables.header;
  if (std::memcmp(header.magic, kArchiveMagic, 8) != 0) {
    return failure(StatusKind::Failed,
                L"Invalid archive format (bad magic). Ensure you selected a .zvka archive, not a .zvkj journal.");
  }
  if (header.version < kOldestArchiveVersion || header.version > kArchiveVersion5) {
    return failure(StatusKind::Failed, L"Archive version mismatch. Recreate archive using this app version.");
  }
  if (header.version >= kArchiveVersion5) {
    if (!readCodedTables(file, size, tables)) return failure(StatusKind::Failed, L"Invalid archive file table");
    return readBlockTable(file, tables);
  }

  uint64_t position = kArchiveHeaderSize;
  if (!readTable(file, position, header.pathTableSize, size, tables.pathTable)) {
    return failure(StatusKind::Failed, L"Invalid archive path table");
  }
  position += header.pathTableSize;

  std::vector<uint8_t> bytes;
  const uint32_t recordSize = fileRecordSize(header.version);
  uint64_t fileTableLength = uint64_t{recordSize} * header.fileCount;
  if (!readTable(file, position, fileTableLength, size, bytes)) return failure(StatusKind::Failed, L"Invalid archive file table");
  tables.files.resize(header.fileCount);
  for (uint32_t i = 0; i < header.fileCount; ++i) {
    tables.files[i] = decodeFileRecord(header.version, &bytes[uint64_t{recordSize} * i]);
  }

  return readBlockTable(file, tables);
}

Status checkFileRecord(const ArchiveTables& tables, size_t index) {
  const FileRecord& record = tables.files[index];
  // A link's target follows its path; its length is a 64-bit field, checked first so the sum cannot wrap.
  const uint64_t target = record.type == EntryType::Link ? record.size : 0, room = tables.pathTable.size();
  if (target > room || uint64_t{record.pathOffset} + record.pathLength > room - target) {
    return failure(StatusKind::Failed, L"Invalid archive path offsets");
  }
  const bool holdsData = record.type == EntryType::File;
  if (record.type > EntryType::Link || (!holdsData && (record.blockCount | record.firstBlock | record.firstOffset))) {
    return failure(StatusKind::Failed, L"Invalid archive file table");
  }
  // Every index firstBlock + j for j < blockCount must exist: the last one is enough.
  if (record.blockCount > 0 && uint64_t{record.firstBlock} + record.blockCount > tables.blocks.size()) {
    return failure(StatusKind::Failed, L"Invalid block index in archive");
  }
  return {};
}

Status checkBlockLayout(const ArchiveTables& tables, const std::function<bool(uint32_t block)>& mayLieBeyondEnd) {
  const std::vector<BlockRecord>& blocks = tables.blocks;
  if (tables.header.version >= kArchiveVersion4) {
    if (!filesFillTheBlocks(tables)) return failure(StatusKind::Failed, L"Invalid archive file table");
  } else if (!eachBlockHasOneFile(tables)) {
    return failure(StatusKind::Failed, L"Invalid archive block table");
  }

  const uint64_t tablesEnd = dataStart(tables.header);
  std::vector<uint32_t> byOffset(blocks.size());
  std::iota(byOffset.begin(), byOffset.end(), 0u);
  for (uint32_t b : byOffset) {
    const BlockRecord& block = blocks[b];
    // Offsets near 2^64 would wrap the end; nothing real lies there.
    if (block.offset < tablesEnd || block.offset > UINT64_MAX / 2)
      return failure(StatusKind::Failed, L"Invalid archive block table");
    bool inside = block.offset + block.storedSize <= tables.archiveSize;
    if (!inside && !(mayLieBeyondEnd && mayLieBeyondEnd(b))) return failure(StatusKind::Failed, L"Invalid archive block table");
  }
  std::sort(byOffset.begin(), byOffset.end(),
            [&](uint32_t a, uint32_t b) { return blocks[a].offset < blocks[b].offset; });
  for (size_t i = 1; i < byOffset.size(); ++i) {
    const BlockRecord& previous = blocks[byOffset[i - 1]];
    if (previous.offset + previous.storedSize > blocks[byOffset[i]].offset) {
      return failure(StatusKind::Failed, L"Invalid archive block table");
    }
  }
  return {};
}

std::string storedPath(const ArchiveTables& tables, size_t index) {
  const FileRecord& record = tables.files[index];
  return std::string(reinterpret_cast<const char*>(tables.pathTable.data()) + record.pathOffset, record.pathLength);
}

bool decodeBlock(uint32_t archiveVersion, uint32_t codec, const uint8_t* stored, size_t storedLength, uint32_t rawSize,
                 std::vector<uint8_t>& out) {
  if (archiveVersion == kOldestArchiveVersion) {
    // Version 2 had no Stored codec; whatever the field holds, the block is coded.
    return rleDecode(stored, storedLength, rawSize, out);
  }
  if (archiveVersion < kArchiveVersion || archiveVersion > kArchiveVersion5) return false;
  if (archiveVersion >= kArchiveVersion4 && codec == static_cast<uint32_t>(BlockCodec::Zstd)) {
    if (rawSize > kLargestZstdBlock) return false;
    out.resize(rawSize);
    return zstdDecodeInto(stored, storedLength, out.data(), rawSize);
  }
  if (codec == static_cast<uint32_t>(BlockCodec::Rle)) {
    return rleDecode(stored, storedLength, rawSize, out);
  }
  if (codec == static_cast<uint32_t>(BlockCodec::Stored)) {
    if (storedLength != rawSize) return false;
    out.assign(stored, stored + storedLength);
    return true;
  }
  return false;
}

}  // namespace ablative
