// The .zvka format as a source: its tables checked and mapped into a plan,
// block for unit, and its blocks read, decoded and verified.
#include "containers/zvka_source.h"

#include <algorithm>

#include "codecs/codec.h"
#include "codecs/crc32.h"
#include "containers/zvka_format.h"
#include "files/block_io.h"
#include "platform/utf8.h"

namespace ablative {

namespace {

bool recognises(std::span<const uint8_t> firstBytes, FileHandle&) {
  return firstBytes.size() >= sizeof kArchiveMagic &&
         std::equal(std::begin(kArchiveMagic), std::end(kArchiveMagic), firstBytes.begin());
}

// No buffer is sized for a block whose raw size its stored bytes cannot
// reach: a run-length coded byte stands for at most 65, and a Zstandard block
// is at most kLargestZstdBlock. Version 3 knows no Zstandard.
bool blockCanDecode(const ArchiveHeader& header, const BlockRecord& block) {
  if (block.codec == static_cast<uint32_t>(BlockCodec::Zstd)) {
    return header.version >= kArchiveVersion4 && block.rawSize <= kLargestZstdBlock;
  }
  return block.rawSize <= kRleLargestExpansion * uint64_t{block.storedSize};
}

// Version 2 had no Stored codec: its blocks are all run-length coded, whatever
// the field holds, so the plan names their coding as later versions do.
uint32_t codingOf(const ArchiveHeader& header, const BlockRecord& block) {
  return header.version == kOldestArchiveVersion ? static_cast<uint32_t>(BlockCodec::Rle) : block.codec;
}

EntryKind kindOf(EntryType type) {
  return type == EntryType::Folder ? EntryKind::Folder : type == EntryType::Link ? EntryKind::Link : EntryKind::File;
}

// Tables whose records and layout are checked. Each file's bytes run from
// where it starts through as many blocks as they take, a piece in each; a
// block's pieces come one after another, as the check requires.
void mapTables(const ArchiveTables& tables, ExtractionPlan& plan) {
  plan = ExtractionPlan{};
  plan.paths.assign(tables.pathTable.begin(), tables.pathTable.end());
  plan.archiveSize = tables.archiveSize;
  plan.dataStart = dataStart(tables.header);
  plan.files.resize(tables.files.size());
  plan.units.resize(tables.blocks.size());
  plan.pieces.reserve(tables.blocks.size());
  const bool withMetadata = tables.header.version >= kArchiveVersion4;
  for (uint32_t b = 0; b < tables.blocks.size(); ++b) {
    const BlockRecord& block = tables.blocks[b];
    plan.units[b] = PlanUnit{.offset = block.offset,
                             .storedSize = block.storedSize,
                             .rawSize = block.rawSize,
                             .crc = block.crc,
                             .coding = codingOf(tables.header, block),
                             .decodable = blockCanDecode(tables.header, block)};
  }
  for (uint32_t f = 0; f < tables.files.size(); ++f) {
    const FileRecord& record = tables.files[f];
    PlanFile& file = plan.files[f];
    file.pathOffset = record.pathOffset;
    file.pathLength = record.pathLength;
    file.kind = kindOf(record.type);
    if (file.kind == EntryKind::Link) file.targetLength = static_cast<uint32_t>(record.size);
    if (withMetadata) file.modifiedNs = record.modifiedNs, file.unixMode = record.mode & 07777;
    if (file.kind != EntryKind::File) continue;
    uint32_t offset = record.firstOffset;
    for (uint32_t j = 0; j < record.blockCount; ++j, offset = 0) {
      const uint32_t b = record.firstBlock + j;
      PlanUnit& unit = plan.units[b];
      // Before version 4 a file is its blocks, whatever its size field says.
      const uint64_t left = withMetadata ? record.size - file.length : unit.rawSize;
      const auto length = static_cast<uint32_t>(std::min<uint64_t>(left, unit.rawSize - offset));
      if (unit.pieceCount++ == 0) unit.firstPiece = static_cast<uint32_t>(plan.pieces.size());
      plan.pieces.push_back({.file = f, .rawOffset = offset, .length = length, .destOffset = file.length});
      file.length += length;
    }
  }
}

Status planFromTables(const ArchiveTables& tables, const UnitFilter& mayLieBeyondEnd, ExtractionPlan& plan) {
  for (size_t i = 0; i < tables.files.size(); ++i) {
    if (Status status = checkFileRecord(tables, i); !status.ok()) return status;
  }
  if (Status status = checkBlockLayout(tables, mayLieBeyondEnd); !status.ok()) return status;
  mapTables(tables, plan);
  return {};
}

// Bytes other than zeros past the last block (past the tables, where there
// is none) belong to no block.
Status findUnaccounted(FileHandle& file, const ArchiveTables& tables, std::wstring& unaccounted) {
  uint64_t end = dataStart(tables.header), nonZero = tables.archiveSize;
  for (const BlockRecord& block : tables.blocks) {
    if (block.offset < tables.archiveSize) end = std::max(end, block.offset + block.storedSize);
  }
  if (end >= tables.archiveSize) return {};
  if (Status status = findNonZero(file, end, tables.archiveSize, nonZero); !status.ok()) return status;
  if (nonZero < tables.archiveSize) {
    unaccounted = L"Data after the archive's last block: at byte " + std::to_wstring(nonZero);
  }
  return {};
}

Status readTables(FileHandle& archive, const std::wstring&, const StopCallback&, SourceReading& reading) {
  ArchiveTables tables;
  if (Status status = readArchiveTables(archive, tables); !status.ok()) return status;
  if (Status status = findUnaccounted(archive, tables, reading.unaccounted); !status.ok()) return status;
  reading.unitCount = static_cast<uint32_t>(tables.blocks.size());
  reading.facts =
      SourceFacts{zvkaSource().format, tables.header.version, tables.header.blockSize, tables.header.sourceBytes};
  reading.plan = [tables = std::move(tables)](const UnitFilter& mayLieBeyondEnd, ExtractionPlan& plan) {
    return planFromTables(tables, mayLieBeyondEnd, plan);
  };
  return {};
}

Status damaged(const ExtractionPlan& plan, uint32_t block, const wchar_t* reason) {
  return failure(StatusKind::DamagedBlock, reason + (L" in block " + std::to_wstring(block) + L" of: ") +
                                               nameFromBytes(plan.pathOf(plan.piecesOf(block).front().file)));
}

Status readStored(FileHandle& archive, const ExtractionPlan& plan, uint32_t block, std::vector<uint8_t>& stored) {
  const PlanUnit& unit = plan.units[block];
  Status read = readArchiveBlock(archive, unit.offset, unit.storedSize, stored);
  if (read.kind != StatusKind::EndedEarly) return read;
  return damaged(plan, block, L"Invalid archive block table");  // the archive ends early
}

Status decodeUnit(const ExtractionPlan& plan, uint32_t block, const std::vector<uint8_t>& stored,
                  std::vector<uint8_t>& raw) {
  const PlanUnit& unit = plan.units[block];
  // Codings as the latest version names them: codingOf made version 2's so,
  // and blockCanDecode refused Zstandard before version 4.
  if (!unit.decodable || !decodeBlock(kArchiveVersion4, unit.coding, stored.data(), stored.size(), unit.rawSize, raw)) {
    return damaged(plan, block, L"Decompression failed (unsupported or invalid block codec)");
  }
  if (crc32(raw.data(), raw.size()) != unit.crc) return damaged(plan, block, L"Checksum verification failed");
  return {};
}

// Streams as it checks: a damaged record ends the list where it stands.
Status listFiles(FileHandle& archive, const FileLister& onFile) {
  ArchiveTables tables;
  if (Status status = readArchiveTables(archive, tables); !status.ok()) return status;
  for (size_t i = 0; i < tables.files.size(); ++i) {
    if (Status status = checkFileRecord(tables, i); !status.ok()) return status;
    const FileRecord& record = tables.files[i];
    const std::string path = storedPath(tables, i);
    const size_t targetAt = record.pathOffset + path.size();
    const std::string target = record.type == EntryType::Link
                                   ? std::string(reinterpret_cast<const char*>(tables.pathTable.data()) + targetAt,
                                                 static_cast<size_t>(record.size))
                                   : "";
    onFile({path, record.type == EntryType::Folder ? 0 : record.size, kindOf(record.type), target});
  }
  return {};
}

}  // namespace

const ArchiveSource& zvkaSource() {
  static const ArchiveSource source{.format = L"zvka",
                                    .recognises = recognises,
                                    .read = readTables,
                                    .readStored = readStored,
                                    .decodeUnit = decodeUnit,
                                    .list = listFiles,
                                    .saveUnits = nullptr,
                                    .points = nullptr,
                                    .loadUnits = nullptr};
  return source;
}

}  // namespace ablative
