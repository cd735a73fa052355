// The .zvka format as a source: its tables checked and mapped into a plan,
// block for unit, and its blocks read, decoded and verified.
#include "zvka_source.h"

#include <algorithm>

#include "block_io.h"
#include "codec.h"
#include "crc32.h"
#include "format.h"
#include "path_safety.h"

namespace ablative {

namespace {

bool recognises(std::span<const uint8_t> firstBytes, FileHandle&) {
  return firstBytes.size() >= sizeof kArchiveMagic &&
         std::equal(std::begin(kArchiveMagic), std::end(kArchiveMagic), firstBytes.begin());
}

// A run-length coded byte stands for at most 65, so a block claiming more is
// refused before its buffer exists.
bool blockCanDecode(const BlockRecord& block) {
  return block.rawSize <= kRleLargestExpansion * uint64_t{block.storedSize};
}

// Version 2 had no Stored codec: its blocks are all run-length coded, whatever
// the field holds, so the plan names their coding as version 3 would.
uint32_t codingOf(const ArchiveHeader& header, const BlockRecord& block) {
  return header.version == kOldestArchiveVersion ? static_cast<uint32_t>(BlockCodec::Rle) : block.codec;
}

// Tables whose records and layout are checked: a file's content is its
// blocks' in index order, each block one piece of it.
void mapTables(const ArchiveTables& tables, ExtractionPlan& plan) {
  plan = ExtractionPlan{};
  plan.paths.assign(tables.pathTable.begin(), tables.pathTable.end());
  plan.archiveSize = tables.archiveSize;
  plan.dataStart = dataStart(tables.header);
  plan.files.resize(tables.files.size());
  plan.units.resize(tables.blocks.size());
  plan.pieces.resize(tables.blocks.size());
  for (uint32_t f = 0; f < tables.files.size(); ++f) {
    const FileRecord& record = tables.files[f];
    PlanFile& file = plan.files[f];
    file.pathOffset = record.pathOffset;
    file.pathLength = record.pathLength;
    for (uint32_t j = 0; j < record.blockCount; ++j) {
      const BlockRecord& block = tables.blocks[record.firstBlock + j];
      plan.units[record.firstBlock + j] = PlanUnit{.offset = block.offset,
                                                   .storedSize = block.storedSize,
                                                   .rawSize = block.rawSize,
                                                   .crc = block.crc,
                                                   .coding = codingOf(tables.header, block),
                                                   .decodable = blockCanDecode(block),
                                                   .firstPiece = record.firstBlock + j,
                                                   .pieceCount = 1};
      plan.pieces[record.firstBlock + j] = {.file = f, .length = block.rawSize, .destOffset = file.length};
      file.length += block.rawSize;
    }
  }
}

bool planFromTables(const ArchiveTables& tables, const UnitFilter& mayLieBeyondEnd, ExtractionPlan& plan,
                    std::wstring& errorText) {
  for (size_t i = 0; i < tables.files.size(); ++i) {
    if (!checkFileRecord(tables, i, errorText)) return false;
  }
  if (!checkBlockLayout(tables, mayLieBeyondEnd, errorText)) return false;
  mapTables(tables, plan);
  return true;
}

bool readTables(const std::wstring& archivePath, SourceReading& reading, std::wstring& errorText) {
  ArchiveTables tables;
  if (!readArchiveTables(archivePath, tables, errorText)) return false;
  reading.unitCount = static_cast<uint32_t>(tables.blocks.size());
  reading.facts =
      SourceFacts{zvkaSource().format, tables.header.version, tables.header.blockSize, tables.header.sourceBytes};
  reading.plan = [tables = std::move(tables)](const UnitFilter& mayLieBeyondEnd, ExtractionPlan& plan,
                                              std::wstring& errorText) {
    return planFromTables(tables, mayLieBeyondEnd, plan, errorText);
  };
  return true;
}

BlockRead damaged(const ExtractionPlan& plan, uint32_t block, const wchar_t* reason, std::wstring& errorText) {
  errorText = reason + (L" in block " + std::to_wstring(block) + L" of: ") +
              displayPath(plan.pathOf(plan.piecesOf(block).front().file));
  return BlockRead::Damaged;
}

BlockRead readStored(FileHandle& archive, const ExtractionPlan& plan, uint32_t block, std::vector<uint8_t>& stored,
                     std::wstring& errorText) {
  const PlanUnit& unit = plan.units[block];
  std::wstring readError;
  if (readArchiveBlock(archive, unit.offset, unit.storedSize, stored, readError)) return BlockRead::Verified;
  if (!readError.empty()) return errorText = readError, BlockRead::Unreadable;
  return damaged(plan, block, L"Invalid archive block table", errorText);  // the archive ends early
}

BlockRead decodeUnit(const ExtractionPlan& plan, uint32_t block, const std::vector<uint8_t>& stored,
                     std::vector<uint8_t>& raw, std::wstring& errorText) {
  const PlanUnit& unit = plan.units[block];
  // Codings as version 3 names them: codingOf made version 2's so.
  if (!unit.decodable || !decodeBlock(kArchiveVersion, unit.coding, stored.data(), stored.size(), unit.rawSize, raw)) {
    return damaged(plan, block, L"Decompression failed (unsupported or invalid block codec)", errorText);
  }
  if (crc32(raw.data(), raw.size()) != unit.crc)
    return damaged(plan, block, L"Checksum verification failed", errorText);
  return BlockRead::Verified;
}

// Streams as it checks: a damaged record ends the list where it stands.
bool listFiles(const std::wstring& archivePath, const FileLister& onFile, std::wstring& errorText) {
  ArchiveTables tables;
  if (!readArchiveTables(archivePath, tables, errorText)) return false;
  for (size_t i = 0; i < tables.files.size(); ++i) {
    if (!checkFileRecord(tables, i, errorText)) return false;
    onFile(storedPath(tables, i), tables.files[i].size);
  }
  return true;
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
                                    .saveUnitBytes = nullptr,
                                    .loadUnits = nullptr};
  return source;
}

}  // namespace ablative
