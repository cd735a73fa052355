#include "archive_presence.h"

#include <algorithm>
#include <numeric>

#include "archive_checks.h"
#include "path_safety.h"

namespace ablative {

bool findAbsentBlocks(FileHandle& archive, const ArchiveTables& tables, Presence& presence, std::wstring& errorText) {
  presence = Presence{};
  std::vector<uint32_t>& absent = presence.absent;
  const std::vector<BlockRecord>& blocks = tables.blocks;
  uint64_t size = 0;
  std::vector<ByteRange> holes;
  if (!fileSize(archive, size) || !findHoles(archive, dataStart(tables.header), size, holes)) {
    errorText = L"Unable to read archive file";
    return false;
  }
  std::vector<uint32_t> byOffset(blocks.size());
  std::iota(byOffset.begin(), byOffset.end(), 0u);
  std::sort(byOffset.begin(), byOffset.end(),
            [&](uint32_t a, uint32_t b) { return blocks[a].offset < blocks[b].offset; });
  std::vector<uint8_t> stored, raw;
  size_t hole = 0;
  for (uint32_t b : byOffset) {
    const uint64_t first = blocks[b].offset, end = first + blocks[b].storedSize;
    while (hole < holes.size() && holes[hole].end <= first) ++hole;
    const bool inHole = hole < holes.size() && holes[hole].first < end;
    if (end > size) {
      absent.push_back(b);
      presence.cutShort = presence.cutShort || first < size;
    } else if (inHole) {
      const BlockRead read = readVerifiedBlock(archive, tables, b, stored, raw, errorText);
      if (read == BlockRead::Unreadable) return false;
      if (read == BlockRead::Damaged) absent.push_back(b);
    }
  }
  std::sort(absent.begin(), absent.end());
  return true;
}

bool checkArchiveAlone(FileHandle& archive, const ArchiveTables& tables, std::vector<uint32_t>& absent,
                       std::wstring& errorText) {
  Presence presence;
  if (!checkArchiveContents(
          tables, [](uint32_t) { return true; }, errorText) ||
      !findAbsentBlocks(archive, tables, presence, errorText)) {
    return false;
  }
  if (presence.cutShort) {
    errorText = L"Invalid archive block table";
    return false;
  }
  absent = std::move(presence.absent);
  return true;
}

std::wstring journalMissingText(const ArchiveTables& tables, const std::vector<uint32_t>& absent) {
  std::vector<uint8_t> gone(tables.blocks.size(), 0);
  for (uint32_t b : absent) gone[b] = 1;
  uint32_t files = 0, first = 0;
  for (uint32_t f = 0; f < tables.files.size(); ++f) {
    const FileRecord& record = tables.files[f];
    const auto blocks = gone.begin() + record.firstBlock;
    if (std::find(blocks, blocks + record.blockCount, 1) == blocks + record.blockCount) continue;
    if (files++ == 0) first = f;
  }
  return L"This archive was partly extracted and its journal is missing: " + std::to_wstring(absent.size()) + L" of " +
         std::to_wstring(tables.blocks.size()) + L" blocks are gone, from " + std::to_wstring(files) +
         L" files, the first: " + displayPath(storedPath(tables, first));
}

}  // namespace ablative
