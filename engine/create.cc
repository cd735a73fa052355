// Archive creation: scan, lay out the tables, code every block, then write the
// real block table over its placeholder. The archive is written under a
// temporary name beside its final one and moved into place only when it is
// complete and durable, so a failed run never leaves a file that reads as a
// valid archive (and keeps whatever was at the archive path before).
#include <algorithm>
#include <charconv>
#include <chrono>
#include <thread>

#include "ablative.h"
#include "codec.h"
#include "crc32.h"
#include "env.h"
#include "file_util.h"
#include "format.h"
#include "paths.h"
#include "source_scan.h"

namespace ablative {

namespace {

constexpr size_t kWriteBufferSize = 1 << 20;

// Collects small writes into one buffer; large ones go straight through, so a
// big stored block costs no extra copy.
class ArchiveWriter {
 public:
  explicit ArchiveWriter(FileHandle& file) : file_(file) { buffer_.reserve(kWriteBufferSize); }

  bool append(const uint8_t* data, size_t length) {
    if (buffer_.size() + length <= kWriteBufferSize) {
      buffer_.insert(buffer_.end(), data, data + length);
      return true;
    }
    return drain() && (length >= kWriteBufferSize ? writeFully(file_, data, length) : append(data, length));
  }

  bool drain() {
    bool ok = writeFully(file_, buffer_.data(), buffer_.size());
    buffer_.clear();
    return ok;
  }

 private:
  FileHandle& file_;
  std::vector<uint8_t> buffer_;
};

// Removes the temporary file on every way out that did not publish it.
struct TemporaryFile {
  std::wstring path;
  FileHandle file;
  bool published = false;
  ~TemporaryFile() {
    file.close();
    if (!published && !path.empty()) removeFile(path);
  }
};

void waitWhilePaused(const PauseCallback& isPaused) {
  if (!isPaused) return;
  while (isPaused()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

std::wstring summaryLine(uint64_t fileCount, uint64_t sourceBytes, uint64_t dataBytes) {
  double ratio = sourceBytes == 0 ? 1.0 : static_cast<double>(dataBytes) / static_cast<double>(sourceBytes);
  char digits[64];
  auto end = std::to_chars(digits, digits + sizeof digits, ratio, std::chars_format::fixed, 6).ptr;
  return L"Summary: files=" + std::to_wstring(fileCount) + L", source-bytes=" + std::to_wstring(sourceBytes) +
         L", archive-data-bytes=" + std::to_wstring(dataBytes) + L", ratio=" + std::wstring(digits, end);
}

struct Layout {
  ArchiveHeader header;
  std::vector<uint8_t> tables;  // header, path table, file table, zero block table: the archive's first bytes
  uint64_t blockTableOffset = 0;
  uint64_t largestFile = 0;
};

// Fills each entry's blocks and encodes everything in front of the data.
// False when a count does not fit the format's 32-bit fields.
bool layOut(std::vector<SourceEntry>& entries, uint32_t blockSize, Layout& layout) {
  uint64_t blocks = 0, pathBytes = 0, sourceBytes = 0;
  for (SourceEntry& entry : entries) {
    uint64_t count = entry.size / blockSize + (entry.size % blockSize != 0 ? 1 : 0);
    if (count > UINT32_MAX || blocks + count > UINT32_MAX) return false;
    entry.firstBlock = static_cast<uint32_t>(blocks);
    entry.blockCount = static_cast<uint32_t>(count);
    blocks += count;
    pathBytes += entry.relativePathUtf8.size();
    sourceBytes += entry.size;
    layout.largestFile = std::max(layout.largestFile, entry.size);
  }
  if (pathBytes > UINT32_MAX || entries.size() > UINT32_MAX) return false;

  ArchiveHeader& header = layout.header;
  std::copy(std::begin(kArchiveMagic), std::end(kArchiveMagic), header.magic);
  header.version = kArchiveVersion;
  header.blockSize = blockSize;
  header.sourceBytes = sourceBytes;
  header.pathTableSize = static_cast<uint32_t>(pathBytes);
  header.fileCount = static_cast<uint32_t>(entries.size());
  header.blockCount = static_cast<uint32_t>(blocks);
  header.fileTableOffset = kArchiveHeaderSize + pathBytes;
  layout.blockTableOffset = header.fileTableOffset + uint64_t{kRecordSize} * entries.size();
  header.dataOffset = layout.blockTableOffset + uint64_t{kRecordSize} * blocks;

  std::vector<uint8_t>& bytes = layout.tables;
  bytes.assign(header.dataOffset, 0);  // the block table stays zero: a placeholder
  encodeHeader(header, bytes.data());
  uint64_t pathCursor = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    const SourceEntry& entry = entries[i];
    FileRecord record{static_cast<uint32_t>(pathCursor), static_cast<uint32_t>(entry.relativePathUtf8.size()),
                      entry.size, entry.firstBlock, entry.blockCount};
    std::copy(entry.relativePathUtf8.begin(), entry.relativePathUtf8.end(),
              bytes.begin() + static_cast<ptrdiff_t>(kArchiveHeaderSize + pathCursor));
    encodeFileRecord(record, &bytes[header.fileTableOffset + uint64_t{kRecordSize} * i]);
    pathCursor += record.pathLength;
  }
  return true;
}

// Codes the blocks of every entry into the archive after its tables.
class BlockPacker {
 public:
  BlockPacker(const Layout& layout, ArchiveWriter& writer, std::vector<BlockRecord>& blocks, std::wstring& errorText)
      : header_(layout.header), writer_(writer), blocks_(blocks), errorText_(errorText),
        // One more byte than the largest file would need shows a file that grew.
        buffer_(std::min<uint64_t>(header_.blockSize, layout.largestFile + 1)),
        coded_(buffer_.size()),
        cursor_(header_.dataOffset) {}

  bool pack(const SourceEntry& entry, const ProgressCallback& onProgress, const LogCallback& onLog,
            const PauseCallback& isPaused) {
    FileHandle source;
    if (!openFile(entry.sourcePath, OpenMode::ReadOnly, source)) {
      errorText_ = L"Unable to open source file: " + entry.sourcePath;
      return false;
    }
    if (onLog) onLog(L"Packing: " + entry.relativePath);
    uint64_t remaining = entry.size;
    for (uint32_t j = 0; j < entry.blockCount; ++j) {
      waitWhilePaused(isPaused);
      uint64_t expected = std::min<uint64_t>(header_.blockSize, remaining);
      uint64_t want = std::min<uint64_t>(buffer_.size(), expected + 1);
      uint64_t got = 0;
      readFully(source, buffer_.data(), want, got);
      if (got != expected) {
        errorText_ = L"Source file changed or became unreadable during archiving: " + entry.sourcePath;
        return false;
      }
      if (!store(entry.firstBlock + j, static_cast<uint32_t>(got))) return false;
      remaining -= got;
      ++blocksWritten_;
      if (onProgress) onProgress(ProgressInfo{blocksWritten_, header_.blockCount, 0});
    }
    return true;
  }

  uint64_t dataBytes() const { return cursor_ - header_.dataOffset; }

 private:
  bool store(uint32_t index, uint32_t rawSize) {
    size_t codedLength = 0;
    bool useRle = rleEncodeIfSmaller(buffer_.data(), rawSize, coded_.data(), codedLength);
    BlockRecord& record = blocks_[index];
    record.offset = cursor_;
    record.storedSize = useRle ? static_cast<uint32_t>(codedLength) : rawSize;
    record.rawSize = rawSize;
    record.crc = crc32(buffer_.data(), rawSize);
    record.codec = static_cast<uint32_t>(useRle ? BlockCodec::Rle : BlockCodec::Stored);
    if (!writer_.append(useRle ? coded_.data() : buffer_.data(), record.storedSize)) {
      errorText_ = L"Failed to write archive file";
      return false;
    }
    cursor_ += record.storedSize;
    return true;
  }

  const ArchiveHeader& header_;
  ArchiveWriter& writer_;
  std::vector<BlockRecord>& blocks_;
  std::wstring& errorText_;
  std::vector<uint8_t> buffer_;
  std::vector<uint8_t> coded_;  // a block's coded form, kept only when shorter than the block
  uint64_t cursor_;
  uint32_t blocksWritten_ = 0;
};

bool writeBlockTable(FileHandle& file, uint64_t offset, const std::vector<BlockRecord>& blocks) {
  std::vector<uint8_t> bytes(uint64_t{kRecordSize} * blocks.size());
  for (size_t i = 0; i < blocks.size(); ++i) encodeBlockRecord(blocks[i], &bytes[uint64_t{kRecordSize} * i]);
  return seekFile(file, offset) && writeFully(file, bytes.data(), bytes.size());
}

}  // namespace

bool createArchive(const std::wstring& inputPath, const std::wstring& archivePath, uint32_t blockSize,
                   std::wstring& errorText, const ProgressCallback& onProgress, const LogCallback& onLog,
                   const PauseCallback& isPaused) {
  std::vector<SourceEntry> entries = collectSourceFiles(inputPath, errorText);
  if (entries.empty()) return false;
  if (blockSize == 0) {
    errorText = L"Block size must be greater than zero";
    return false;
  }
  Layout layout;
  if (!layOut(entries, blockSize, layout)) {
    errorText = L"Source is too large for the archive format";
    return false;
  }
  const std::wstring folder = parentFolder(archivePath);
  if (!folder.empty() && !createDirectories(folder)) {
    errorText = L"Unable to create archive destination folder";
    return false;
  }
  TemporaryFile temporary;
  if (pathStatus(archivePath).kind == PathKind::Directory ||
      !openFile(archivePath + L".creating", OpenMode::CreateTruncate, temporary.file)) {
    errorText = L"Unable to create archive file";
    return false;
  }
  temporary.path = archivePath + L".creating";

  ArchiveWriter writer(temporary.file);
  std::vector<BlockRecord> blocks(layout.header.blockCount);
  BlockPacker packer(layout, writer, blocks, errorText);
  if (!writer.append(layout.tables.data(), layout.tables.size())) {
    errorText = L"Failed to write archive file";
    return false;
  }
  std::vector<uint8_t>().swap(layout.tables);
  for (const SourceEntry& entry : entries) {
    if (!packer.pack(entry, onProgress, onLog, isPaused)) return false;
  }
  if (!writer.drain() || !writeBlockTable(temporary.file, layout.blockTableOffset, blocks) ||
      !flushFile(temporary.file)) {
    errorText = L"Failed to write archive file";
    return false;
  }
  temporary.file.close();
  if (!renameReplace(temporary.path, archivePath)) {
    errorText = L"Failed to write archive file";
    return false;
  }
  temporary.published = true;
  if (!syncDirectory(folder)) {  // not durable under its name: report it as never written
    removeFile(archivePath);
    errorText = L"Failed to write archive file";
    return false;
  }

  if (onLog) {
    onLog(L"Archive created: " + archivePath);
    onLog(summaryLine(entries.size(), layout.header.sourceBytes, packer.dataBytes()));
  }
  return true;
}

}  // namespace ablative
