// Archive creation: scan, lay out the tables, code every block, then write the
// real block table over its placeholder. The archive is written under a
// temporary name beside its final one and moved into place only when it is
// complete and durable, so a failed run never leaves a file that reads as a
// valid archive (and keeps whatever was at the archive path before).
#include <algorithm>
#include <charconv>
#include <memory>
#include <optional>

#include "ablative.h"
#include "block_coder.h"
#include "codec.h"
#include "env.h"
#include "file_util.h"
#include "format.h"
#include "journal.h"
#include "pause.h"
#include "paths.h"
#include "source_scan.h"

namespace ablative {

namespace {

// Small: it coalesces the writes of small blocks, and memory goes to block buffers.
constexpr size_t kWriteBufferSize = 64 << 10;
// How much written data is handed to the disk at a time. The disk then writes
// while the next blocks are coded instead of all at the final flush; a few
// MiB keep its queue busy without many calls.
constexpr uint64_t kWritebackStep = 8 << 20;

// Collects small writes into one buffer; large ones go straight through, so a
// big stored block costs no extra copy. Writes are sequential from offset 0.
class ArchiveWriter {
 public:
  explicit ArchiveWriter(FileHandle& file) : file_(file) { buffer_.reserve(kWriteBufferSize); }

  bool append(const uint8_t* data, size_t length) {
    if (buffer_.size() + length <= kWriteBufferSize) {
      buffer_.insert(buffer_.end(), data, data + length);
      return true;
    }
    return drain() && (length >= kWriteBufferSize ? write(data, length) : append(data, length));
  }

  bool drain() {
    bool ok = write(buffer_.data(), buffer_.size());
    buffer_.clear();
    return ok;
  }

 private:
  bool write(const uint8_t* data, size_t length) {
    if (!writeFully(file_, data, length)) return false;
    written_ += length;
    if (written_ - handedOver_ >= kWritebackStep) {
      startWriteback(file_, handedOver_, written_);
      handedOver_ = written_;
    }
    return true;
  }

  FileHandle& file_;
  std::vector<uint8_t> buffer_;
  uint64_t written_ = 0;     // bytes written to the file so far
  uint64_t handedOver_ = 0;  // bytes already handed to the disk
};

std::wstring changedMessage(const std::wstring& sourcePath) {
  return L"Source file changed or became unreadable during archiving: " + sourcePath;
}

bool atEnd(FileHandle& file) {
  uint8_t byte;
  uint32_t got = 0;
  return readSome(file, &byte, 1, got) && got == 0;
}

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

std::wstring summaryLine(uint64_t fileCount, uint64_t sourceBytes, uint64_t dataBytes) {
  double ratio = sourceBytes == 0 ? 1.0 : static_cast<double>(dataBytes) / static_cast<double>(sourceBytes);
  char digits[64];
  auto end = std::to_chars(digits, digits + sizeof digits, ratio, std::chars_format::fixed, 6).ptr;
  return L"Summary: files=" + std::to_wstring(fileCount) + L", source-bytes=" + std::to_wstring(sourceBytes) +
         L", archive-data-bytes=" + std::to_wstring(dataBytes) + L", ratio=" + std::wstring(digits, end);
}

// Creation's own view of the archive: the header and a record a file, in the
// order of the source's entries.
struct Layout {
  ArchiveHeader header;
  std::vector<FileRecord> files;
  uint64_t largestFile = 0;
};

// Gives every entry its place in the path table and its run of blocks. False
// when a count does not fit the format's 32-bit fields.
bool layOut(const std::vector<SourceEntry>& entries, uint32_t blockSize, Layout& layout) {
  uint64_t blocks = 0, pathBytes = 0, sourceBytes = 0;
  layout.files.reserve(entries.size());
  for (const SourceEntry& entry : entries) {
    uint64_t count = entry.size / blockSize + (entry.size % blockSize != 0 ? 1 : 0);
    if (count > UINT32_MAX || blocks + count > UINT32_MAX) return false;
    layout.files.push_back(FileRecord{static_cast<uint32_t>(pathBytes),
                                      static_cast<uint32_t>(entry.relativePathUtf8.size()), entry.size,
                                      static_cast<uint32_t>(blocks), static_cast<uint32_t>(count)});
    blocks += count;
    pathBytes += entry.relativePathUtf8.size();
    sourceBytes += entry.size;
    layout.largestFile = std::max(layout.largestFile, entry.size);
  }
  if (pathBytes > UINT32_MAX || entries.size() > UINT32_MAX) return false;
  layout.header = newArchiveHeader(blockSize, sourceBytes, static_cast<uint32_t>(pathBytes),
                                   static_cast<uint32_t>(entries.size()), static_cast<uint32_t>(blocks));
  return true;
}

// Blocks at least this large are coded on the helper thread while the next
// one is read; smaller ones cost less to code than to hand over.
constexpr uint32_t kBackgroundCodingMinimum = 64 << 10;

// Codes the blocks of every entry into the archive after its tables, in
// order, with three block buffers. While one block is coded in the background
// (its raw bytes in one buffer, its coded form going to a second), the caller
// writes the block before it and reads the next into the third. When a block
// is done only one of its two buffers needs writing, so the other at once
// takes the next block's coded form, and every buffer stays busy.
class BlockPacker {
 public:
  BlockPacker(const Layout& layout, ArchiveWriter& writer, std::vector<BlockRecord>& blocks, std::wstring& errorText,
              const ProgressCallback& onProgress)
      : header_(layout.header), writer_(writer), blocks_(blocks), errorText_(errorText), onProgress_(onProgress),
        // One more byte than the largest file would need shows a file that grew.
        bufferSize_(std::min<uint64_t>(header_.blockSize, layout.largestFile + 1)), cursor_(header_.dataOffset) {
    for (auto& buffer : buffers_) {
      // Left uninitialised: pages never written cost no memory.
      buffer = std::make_unique_for_overwrite<uint8_t[]>(bufferSize_);
      free_.push_back(buffer.get());
    }
  }

  bool pack(const std::wstring& sourcePath, const std::string& storedPath, const FileRecord& file,
            const LogCallback& onLog, const PauseCallback& isPaused, const StopCallback& shouldStop) {
    if (stopRequested(shouldStop)) return failAfterInFlight(kStoppedOnRequest);  // a tree of empty files too
    FileHandle source;
    if (!openFile(sourcePath, OpenMode::ReadOnly, source)) {
      return failAfterInFlight(L"Unable to open source file: " + sourcePath);
    }
    if (onLog) onLog(L"Packing: " + fromUtf8(storedPath));
    uint64_t remaining = file.size;
    bool endSeen = false;  // a read asked for more than the file held
    for (uint32_t j = 0; j < file.blockCount; ++j) {
      if (!waitWhilePaused(isPaused, shouldStop)) return failAfterInFlight(kStoppedOnRequest);
      const uint64_t expected = std::min<uint64_t>(header_.blockSize, remaining);
      const uint64_t asked = std::min(bufferSize_, expected + 1);
      uint64_t got = 0;
      readUpTo(source, free_.back(), asked, expected, got);
      if (got != expected) return failAfterInFlight(changedMessage(sourcePath));
      endSeen = asked > got;
      const Block block{file.firstBlock + j, static_cast<uint32_t>(got), take()};
      if (!(block.rawSize >= kBackgroundCodingMinimum ? codeInBackground(block) : codeHere(block))) return false;
      remaining -= got;
    }
    // An empty file, or one that ended with a full block, has not yet shown
    // that it ends where the scan said: one more read must find nothing.
    if (!endSeen && !atEnd(source)) return failAfterInFlight(changedMessage(sourcePath));
    return true;
  }

  // Writes the block still being coded, if any.
  bool finish() { return finishInFlight(); }

  uint64_t dataBytes() const { return cursor_ - header_.dataOffset; }

 private:
  struct Block {
    uint32_t index;
    uint32_t rawSize;
    uint8_t* raw;
    uint8_t* coded = nullptr;
  };

  uint8_t* take() {
    uint8_t* buffer = free_.back();
    free_.pop_back();
    return buffer;
  }

  // A block once coded: only one of its two buffers is written.
  struct Coded {
    Block block;
    CodedBlock form;
    uint8_t* written() const { return form.useRle ? block.coded : block.raw; }
    uint8_t* unwritten() const { return form.useRle ? block.raw : block.coded; }
  };

  bool codeInBackground(Block block) {
    const std::optional<Coded> previous = collectInFlight();
    block.coded = take();
    coder_.start(block.raw, block.rawSize, block.coded);
    inFlight_ = block;
    return !previous || storeAndFree(*previous);
  }

  bool codeHere(Block block) {
    if (!finishInFlight()) return false;
    block.coded = take();
    const Coded coded{block, codeBlock(block.raw, block.rawSize, block.coded)};
    free_.push_back(coded.unwritten());
    return storeAndFree(coded);
  }

  bool finishInFlight() {
    const std::optional<Coded> done = collectInFlight();
    return !done || storeAndFree(*done);
  }

  // Waits for the block in the background, if any; its unwritten buffer is
  // free at once.
  std::optional<Coded> collectInFlight() {
    if (!inFlight_) return std::nullopt;
    const Coded done{*inFlight_, coder_.finish()};
    inFlight_.reset();
    free_.push_back(done.unwritten());
    return done;
  }

  // Writes the block, then frees the buffer it was written from.
  bool storeAndFree(const Coded& done) {
    const bool stored = store(done);
    free_.push_back(done.written());
    return stored;
  }

  // A failure found while a block was still being coded: that block is
  // written first, so the run reports what a one-block-at-a-time run would.
  bool failAfterInFlight(std::wstring message) {
    if (finishInFlight()) errorText_ = std::move(message);
    return false;
  }

  bool store(const Coded& done) {
    const CodedBlock& form = done.form;
    BlockRecord& record = blocks_[done.block.index];
    record.offset = cursor_;
    record.storedSize = form.useRle ? static_cast<uint32_t>(form.codedLength) : done.block.rawSize;
    record.rawSize = done.block.rawSize;
    record.crc = form.crc;
    record.codec = static_cast<uint32_t>(form.useRle ? BlockCodec::Rle : BlockCodec::Stored);
    if (!writer_.append(done.written(), record.storedSize)) {
      errorText_ = L"Failed to write archive file";
      return false;
    }
    cursor_ += record.storedSize;
    ++blocksWritten_;
    bytesRead_ += record.rawSize;
    if (onProgress_) onProgress_(ProgressInfo{blocksWritten_, header_.blockCount, 0, bytesRead_, header_.sourceBytes});
    return true;
  }

  const ArchiveHeader& header_;
  ArchiveWriter& writer_;
  std::vector<BlockRecord>& blocks_;
  std::wstring& errorText_;
  const ProgressCallback& onProgress_;
  const uint64_t bufferSize_;
  std::unique_ptr<uint8_t[]> buffers_[3];
  std::vector<uint8_t*> free_;     // buffers in no block's use; the next read takes the last
  std::optional<Block> inFlight_;  // the block being coded in the background
  uint64_t cursor_;
  uint32_t blocksWritten_ = 0;
  uint64_t bytesRead_ = 0;
  // Last, so that it is destroyed first: its thread may still use the buffers.
  BackgroundCoder coder_;
};

// A running extraction holds its archive locked (openArchiveForRun). Taking
// the same lock refuses a path that one is consuming, and holding it until
// the new archive is in place keeps one from starting on the file that this
// run replaces. Anything that cannot be opened is no archive a run holds.
bool holdOffExtractions(const std::wstring& archivePath, FileHandle& earlier, std::wstring& errorText) {
  const bool locked = openFile(archivePath, OpenMode::ReadWrite, earlier) && lockFile(earlier, true);
  if (locked || !isInUseError(lastErrorCode())) return true;
  errorText = L"Archive is in use by an extraction: " + archivePath;
  return false;
}

bool writeBlockTable(FileHandle& file, const ArchiveHeader& header, const std::vector<BlockRecord>& blocks) {
  const std::vector<uint8_t> bytes = encodeBlockTable(blocks);
  return seekFile(file, blockTableOffset(header)) && writeFully(file, bytes.data(), bytes.size());
}

}  // namespace

bool createArchive(const std::wstring& inputPath, const std::wstring& archivePath, uint32_t blockSize,
                   std::wstring& errorText, const ProgressCallback& onProgress, const LogCallback& onLog,
                   const PauseCallback& isPaused) {
  CreateOptions options;
  options.blockSize = blockSize;
  return createArchive(inputPath, archivePath, options, errorText, onProgress, onLog, isPaused);
}

bool createArchive(const std::wstring& inputPath, const std::wstring& archivePath, const CreateOptions& options,
                   std::wstring& errorText, const ProgressCallback& onProgress, const LogCallback& onLog,
                   const PauseCallback& isPaused) {
  const uint32_t blockSize = options.blockSize;
  const SourceFiles source = collectSourceFiles(inputPath, errorText);
  const std::vector<SourceEntry>& entries = source.entries;
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
  // Replacing a partly consumed archive would lose every block it still
  // holds, and leave a journal that could steer a run over the new one.
  FileHandle earlierArchive;
  if (!holdOffExtractions(archivePath, earlierArchive, errorText)) return false;
  Journal earlier{journalPathFor(archivePath)};
  if (loadJournalAsWritten(earlier) == JournalLoad::Loaded && recordsProgress(earlier)) {
    errorText = L"An extraction of the archive at this path stopped before it finished; resume it first";
    return false;
  }
  const std::wstring folder = parentFolder(archivePath);
  // Blocks that do not shrink are stored raw, so the archive may reach its
  // tables plus every source byte: more than FAT32 holds in a file.
  FileSystemTraits traits;
  const uint64_t largest = dataStart(layout.header) + layout.header.sourceBytes;
  if (fileSystemTraits(nearestFolder(folder), traits) && largest > traits.largestFile) {
    errorText = L"The archive may reach " + std::to_wstring(largest) +
                L" bytes, and its file system holds no file over " + std::to_wstring(traits.largestFile) +
                L" bytes (FAT32): " + archivePath;
    return false;
  }
  std::vector<std::wstring> gainedEntries = {folder};  // the archive's name, and the folders created for it
  if (!createFolders(folder, gainedEntries)) {
    errorText = L"Unable to create archive destination folder";
    return false;
  }
  // A leftover of a stopped run goes by name (a link goes itself, never what
  // it leads to), and the file is then created exclusively: nothing planted
  // at that name can redirect the archive's bytes.
  TemporaryFile temporary;
  const std::wstring temporaryPath = temporaryPathFor(archivePath);
  removeFile(temporaryPath);
  if (pathStatus(archivePath).kind == PathKind::Directory ||
      !openFile(temporaryPath, OpenMode::CreateNew, temporary.file)) {
    errorText = L"Unable to create archive file";
    return false;
  }
  temporary.path = temporaryPath;

  ArchiveWriter writer(temporary.file);
  std::vector<BlockRecord> blocks(layout.header.blockCount);
  {
    // The encoded tables go before the block buffers exist, so that peak
    // memory holds only one of the two.
    const std::vector<uint8_t> tables = encodeTables(
        layout.header, layout.files, [&](size_t file) -> std::string_view { return entries[file].relativePathUtf8; });
    if (!writer.append(tables.data(), tables.size())) {
      errorText = L"Failed to write archive file";
      return false;
    }
  }
  BlockPacker packer(layout, writer, blocks, errorText, onProgress);
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!packer.pack(source.sourcePathOf(entries[i]), entries[i].relativePathUtf8, layout.files[i], onLog, isPaused,
                     options.shouldStop)) {
      return false;
    }
  }
  if (!packer.finish()) return false;
  if (!writer.drain() || !writeBlockTable(temporary.file, layout.header, blocks) || !flushFile(temporary.file)) {
    errorText = L"Failed to write archive file";
    return false;
  }
  temporary.file.close();
  earlierArchive.close();  // Windows replaces no file that is open
  if (!renameReplace(temporary.path, archivePath)) {
    errorText = L"Failed to write archive file";
    return false;
  }
  temporary.published = true;
  if (!std::all_of(gainedEntries.begin(), gainedEntries.end(), syncDirectory)) {
    // Complete, but not known to be durable under its name: a failure, yet
    // kept, since the rename has already replaced any earlier file.
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
