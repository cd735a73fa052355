// Archive verification: every check an extraction makes, without writing.
#include "ablative.h"
#include "codec.h"
#include "crc32.h"
#include "env.h"
#include "file_util.h"
#include "format.h"

namespace ablative {

bool verifyArchive(const std::wstring& archivePath, std::wstring& errorText, const ProgressCallback& onProgress) {
  ArchiveTables tables;
  if (!readAndCheckArchive(archivePath, tables, errorText)) return false;
  FileHandle archive;
  if (!openFile(archivePath, OpenMode::ReadOnly, archive)) {
    errorText = L"Unable to open archive file";
    return false;
  }
  std::vector<uint8_t> stored, raw;
  const auto total = static_cast<uint32_t>(tables.blocks.size());
  for (uint32_t b = 0; b < total; ++b) {
    const BlockRecord& block = tables.blocks[b];
    stored.resize(block.storedSize);
    if (!seekFile(archive, block.offset) || !readFully(archive, stored.data(), stored.size())) {
      uint32_t code = lastErrorCode();
      errorText = L"Failed to read archive block (code=" + std::to_wstring(code) + L"): " + systemErrorText(code);
      return false;
    }
    if (!decodeBlock(tables.header.version, block.codec, stored.data(), stored.size(), block.rawSize, raw)) {
      errorText = L"Decompression failed (unsupported or invalid block codec)";
      return false;
    }
    if (crc32(raw.data(), raw.size()) != block.crc) {
      errorText = L"Checksum verification failed";
      return false;
    }
    if (onProgress) onProgress(ProgressInfo{b + 1, total, 0});
  }
  return true;
}

}  // namespace ablative
