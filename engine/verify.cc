// Archive verification: the checks an extraction makes before it writes,
// then every block read, decoded and checksummed, writing nothing.
#include "ablative.h"
#include "archive_checks.h"

namespace ablative {

bool verifyArchive(const std::wstring& archivePath, std::wstring& errorText, const ProgressCallback& onProgress) {
  ArchiveTables tables;
  FileHandle archive;
  if (!readArchiveTables(archivePath, tables, errorText) ||
      !openArchiveForRun(archivePath, false, archive, L"Unable to open archive file", errorText) ||
      !checkArchiveContents(tables, {}, errorText)) {
    return false;
  }
  std::vector<uint8_t> stored, raw;
  const auto total = static_cast<uint32_t>(tables.blocks.size());
  uint64_t bytesTotal = 0, bytesDone = 0;
  for (const BlockRecord& block : tables.blocks) bytesTotal += block.rawSize;
  for (uint32_t b = 0; b < total; ++b) {
    if (!readVerifiedBlock(archive, tables, b, stored, raw, errorText)) return false;
    bytesDone += raw.size();
    if (onProgress) onProgress(ProgressInfo{b + 1, total, 0, bytesDone, bytesTotal});
  }
  return true;
}

}  // namespace ablative
