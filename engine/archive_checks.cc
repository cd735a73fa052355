#include "archive_checks.h"

#include "block_io.h"
#include "codec.h"
#include "crc32.h"
#include "path_safety.h"

namespace ablative {

namespace {

bool fail(std::wstring& errorText, const std::wstring& message) {
  errorText = message;
  return false;
}

}  // namespace

bool checkArchiveContents(const ArchiveTables& tables, const std::function<bool(uint32_t block)>& mayLieBeyondEnd,
                          std::wstring& errorText) {
  std::vector<std::string> paths(tables.files.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    if (!checkFileRecord(tables, i, errorText)) return false;
    paths[i] = storedPath(tables, i);
  }
  if (!checkBlockLayout(tables, mayLieBeyondEnd, errorText)) return false;
  const size_t unsafe = findUnsafePath(paths);
  if (unsafe < paths.size()) return fail(errorText, L"Unsafe path in archive: " + displayPath(paths[unsafe]));
  return true;
}

bool readAndCheckArchive(const std::wstring& archivePath, ArchiveTables& tables, std::wstring& errorText) {
  return readArchiveTables(archivePath, tables, errorText) && checkArchiveContents(tables, {}, errorText);
}

bool openArchiveForRun(const std::wstring& archivePath, bool consume, FileHandle& archive, const wchar_t* cannotOpen,
                       std::wstring& errorText) {
  if (!openFile(archivePath, consume ? OpenMode::ReadWrite : OpenMode::ReadDenyWrite, archive)) {
    return fail(errorText, isInUseError(lastErrorCode()) ? kArchiveInUse : cannotOpen);
  }
  // Only another run's lock refuses: where the file system keeps no locks,
  // the run goes on as it did before locks existed.
  if (!lockFile(archive, consume) && isInUseError(lastErrorCode())) {
    archive.close();
    return fail(errorText, kArchiveInUse);
  }
  return true;
}

bool blockCanDecode(const BlockRecord& block) {
  return block.rawSize <= kRleLargestExpansion * uint64_t{block.storedSize};
}

BlockRead readVerifiedBlock(FileHandle& archive, const ArchiveTables& tables, uint32_t block,
                            std::vector<uint8_t>& stored, std::vector<uint8_t>& raw, std::wstring& errorText) {
  const BlockRecord& record = tables.blocks[block];
  const auto damaged = [&](const wchar_t* reason) {
    errorText = reason + (L" in block " + std::to_wstring(block) + L" of: ") +
                displayPath(storedPath(tables, fileOfBlock(tables, block)));
    return BlockRead::Damaged;
  };
  std::wstring readError;
  if (!readArchiveBlock(archive, record.offset, record.storedSize, stored, readError)) {
    if (!readError.empty()) return errorText = readError, BlockRead::Unreadable;
    return damaged(L"Invalid archive block table");  // the archive ends early
  }
  if (!blockCanDecode(record) ||
      !decodeBlock(tables.header.version, record.codec, stored.data(), stored.size(), record.rawSize, raw)) {
    return damaged(L"Decompression failed (unsupported or invalid block codec)");
  }
  if (crc32(raw.data(), raw.size()) != record.crc) return damaged(L"Checksum verification failed");
  return BlockRead::Verified;
}

uint32_t fileOfBlock(const ArchiveTables& tables, uint32_t block) {
  for (uint32_t f = 0; f < tables.files.size(); ++f) {
    const FileRecord& record = tables.files[f];
    if (block >= record.firstBlock && block - record.firstBlock < record.blockCount) return f;
  }
  return 0;
}

}  // namespace ablative
