// Archive creation: scan, lay out the tables, code every block, then write the
// real block table over its placeholder. The archive (or each of its volumes)
// is written under a temporary name beside its final one and moved into place
// only when it is complete and durable, so a failed run never leaves a file
// that reads as a valid archive (and keeps whatever was at the archive path
// before).
#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <tuple>
#include <thread>

#include "ablative.h"
#include "codecs/block_coder.h"
#include "codecs/codec.h"
#include "consume/journal.h"
#include "containers/zvka_format.h"
#include "create/archive_parts.h"
#include "create/source_scan.h"
#include "create/worker_pool.h"
#include "status.h"
#include "files/file_util.h"
#include "files/paths.h"
#include "pause.h"
#include "platform/env.h"

namespace ablative {

namespace {

// Small: it coalesces the writes of small blocks, and memory goes to block buffers.
constexpr size_t kWriteBufferSize = 64 << 10;

// Collects small writes into one buffer; large ones go straight through, so a
// big stored block costs no extra copy. Writes are sequential from offset 0.
class ArchiveWriter {
 public:
  explicit ArchiveWriter(ArchiveParts& parts) : parts_(parts) { buffer_.reserve(kWriteBufferSize); }

  bool append(const uint8_t* data, size_t length) {
    if (buffer_.size() + length <= kWriteBufferSize) {
      buffer_.insert(buffer_.end(), data, data + length);
      return true;
    }
    return drain() && (length >= kWriteBufferSize ? parts_.append(data, length) : append(data, length));
  }

  bool drain() {
    bool ok = parts_.append(buffer_.data(), buffer_.size());
    buffer_.clear();
    return ok;
  }

 private:
  ArchiveParts& parts_;
  std::vector<uint8_t> buffer_;
};

std::wstring changedMessage(const std::wstring& sourcePath) {
  return L"Source file changed or became unreadable during archiving: " + sourcePath;
}

bool atEnd(FileHandle& file) {
  uint8_t byte;
  uint32_t got = 0;
  return readSome(file, &byte, 1, got) && got == 0;
}

std::wstring summaryLine(uint64_t fileCount, uint64_t sourceBytes, uint64_t dataBytes) {
  double ratio = sourceBytes == 0 ? 1.0 : static_cast<double>(dataBytes) / static_cast<double>(sourceBytes);
  char digits[64];
  auto end = std::to_chars(digits, digits + sizeof digits, ratio, std::chars_format::fixed, 6).ptr;
  return L"Summary: files=" + std::to_wstring(fileCount) + L", source-bytes=" + std::to_wstring(sourceBytes) +
         L", archive-data-bytes=" + std::to_wstring(dataBytes) + L", ratio=" + std::wstring(digits, end);
}

// Creation's own view of the archive: the header, a record an entry in the
// order of the source's entries, and every block's raw size.
struct Layout {
  ArchiveHeader header;
  std::vector<FileRecord> files;
  std::vector<uint32_t> blockSizes;
  uint32_t largestBlock = 0;
};

// Where the next file's bytes go as blocks are cut: version 3 gives every
// file blocks of its own; version 4 lays the files end to end, a file of at
// least a block starting a new one and ending its last.
class BlockCutter {
 public:
  BlockCutter(uint32_t version, uint32_t blockSize) : shared_(version >= kArchiveVersion4), blockSize_(blockSize) {}

  void place(FileRecord& record, uint64_t size) {
    if (!shared_ || size >= blockSize_) close();
    // Version 3 gives an empty file the index its next block would have.
    if (!shared_ || size > 0) record.firstBlock = static_cast<uint32_t>(std::min<uint64_t>(blocks.size(), UINT32_MAX));
    if (size == 0) return;
    if (size / blockSize_ > UINT32_MAX - blocks.size()) {
      tooMany = true;
      return;
    }
    record.firstOffset = fill_;
    const size_t before = blocks.size();
    for (uint64_t left = size; left > 0;) {
      const uint64_t taken = std::min<uint64_t>(left, blockSize_ - fill_);
      fill_ += static_cast<uint32_t>(taken);
      left -= taken;
      if (fill_ == blockSize_) close();
    }
    record.blockCount = static_cast<uint32_t>(blocks.size() - before + (fill_ > 0 ? 1 : 0));
    if (!shared_ || size >= blockSize_) close();
  }

  void close() {
    if (fill_ > 0) blocks.push_back(fill_);
    fill_ = 0;
  }

  std::vector<uint32_t> blocks;
  bool tooMany = false;  // more blocks than the format counts

 private:
  const bool shared_;
  const uint32_t blockSize_;
  uint32_t fill_ = 0;
};

// Version 5 puts folders and links first, in path order, then the files by
// extension, then name, then path: files alike lie side by side, where a
// block's window finds what they share (a tenth less on a tree of C
// headers). Names compare as bytes, so every platform gives the same order;
// readers take the entries in any order.
void groupSimilarFiles(std::vector<SourceEntry>& entries) {
  const auto key = [](const SourceEntry& entry) {
    if (entry.type != EntryType::File) return std::tuple(false, std::string_view{}, std::string_view{});
    const std::string_view path = entry.relativePathUtf8;
    const std::string_view name = path.substr(path.rfind('/') + 1);  // npos + 1 is 0
    const size_t dot = name.rfind('.');
    const std::string_view extension = dot == std::string_view::npos || dot == 0 ? "" : name.substr(dot + 1);
    return std::tuple(true, extension, name);
  };
  std::stable_sort(entries.begin(), entries.end(),
                   [&](const SourceEntry& a, const SourceEntry& b) { return key(a) < key(b); });
}

// Gives every entry its place in the path table (a link's target after its
// path) and in the blocks. False when a count does not fit the format's
// 32-bit fields.
bool layOut(const std::vector<SourceEntry>& entries, uint32_t version, uint32_t blockSize, Layout& layout) {
  uint64_t pathBytes = 0, sourceBytes = 0;
  BlockCutter cutter(version, blockSize);
  layout.files.reserve(entries.size());
  for (const SourceEntry& entry : entries) {
    FileRecord record{.pathOffset = static_cast<uint32_t>(pathBytes),
                      .pathLength = static_cast<uint32_t>(entry.relativePathUtf8.size()),
                      .size = entry.type == EntryType::Folder ? 0 : entry.size,
                      .modifiedNs = entry.modifiedNs,
                      .mode = entry.mode,
                      .type = entry.type};
    const uint64_t data = entry.type == EntryType::File ? entry.size : 0;
    cutter.place(record, data);
    if (cutter.tooMany) return false;
    layout.files.push_back(record);
    pathBytes += entry.relativePathUtf8.size() + entry.linkTarget.size();
    sourceBytes += data;
  }
  cutter.close();
  if (pathBytes > UINT32_MAX || entries.size() > UINT32_MAX || cutter.blocks.size() > UINT32_MAX) return false;
  layout.blockSizes = std::move(cutter.blocks);
  for (uint32_t size : layout.blockSizes) layout.largestBlock = std::max(layout.largestBlock, size);
  layout.header =
      newArchiveHeader(version, blockSize, sourceBytes, static_cast<uint32_t>(pathBytes),
                       static_cast<uint32_t>(entries.size()), static_cast<uint32_t>(layout.blockSizes.size()));
  return true;
}

// A source file opened before the blocks that read it, shared by them: they
// read it one at a time, each at its own offset.
struct OpenSource {
  FileHandle file;
  std::mutex reading;
};

// `length` bytes of entry `entry` from `offset` on, read into a block by a
// worker. `last`: they end the file, whose end the read checks. Without an
// open source the piece is the whole file, which its worker opens itself.
struct SourcePiece {
  size_t entry = 0;
  std::shared_ptr<OpenSource> open;
  uint64_t offset = 0;
  uint32_t length = 0;
  bool last = false;
};

// The source files' bytes in table order, handed out block by block as the
// pieces that make them up: each file is announced when the blocks reach it,
// and must end where the scan said. A file whose bytes all go to one block is
// opened by the worker that reads them; one spread over several blocks is
// opened here, once.
class SourceStream {
 public:
  SourceStream(const SourceFiles& source, Status& failed, const LogCallback& onEntry, const StopCallback& shouldStop)
      : source_(source), failed_(failed), onEntry_(onEntry), shouldStop_(shouldStop) {}

  // Reaches the file the next byte comes from, announcing it, so that the
  // file is announced before its first block waits out a pause.
  bool reachData() {
    while (left_ == 0) {
      if (!nextFile()) return !failed_.ok() ? false : fail(changedMessage(pathOf(current_)));
    }
    return true;
  }

  // Adds the pieces of the next `size` bytes to `pieces`, from as many files
  // as it takes.
  bool take(uint32_t size, std::vector<SourcePiece>& pieces) {
    while (size > 0) {
      if (!reachData()) return false;
      const uint32_t wanted = static_cast<uint32_t>(std::min<uint64_t>(size, left_));
      const bool whole = open_ == nullptr && wanted == left_;
      if (!whole && open_ == nullptr) {
        open_ = std::make_shared<OpenSource>();
        if (!openFile(pathOf(current_), OpenMode::ReadOnly, open_->file)) {
          return fail(L"Unable to open source file: " + pathOf(current_));
        }
      }
      pieces.push_back({.entry = current_, .open = open_, .offset = offset_, .length = wanted, .last = wanted == left_});
      offset_ += wanted, left_ -= wanted, size -= wanted;
      if (left_ == 0) open_.reset();
    }
    return true;
  }

  // Checks the last file's end, and the files no block reached (empty ones).
  bool finish() {
    if (left_ > 0) return fail(changedMessage(pathOf(current_)));
    while (nextFile()) {
    }
    return failed_.ok();
  }

  // Reads `piece` into `out`, which has a byte of room beyond it: the read
  // that finishes a file asks for one more, and finding none shows the file
  // ends where the scan said without a read of its own (the byte lands where
  // the next piece's bytes go). Runs on a worker; the failure's message,
  // where it fails.
  std::wstring read(const SourcePiece& piece, uint8_t* out) const {
    uint64_t got = 0;
    const uint64_t asked = piece.length + (piece.last ? 1 : 0);
    if (piece.open == nullptr) {
      FileHandle file;
      if (!openFile(pathOf(piece.entry), OpenMode::ReadOnly, file)) {
        return L"Unable to open source file: " + pathOf(piece.entry);
      }
      readUpTo(file, out, asked, piece.length, got);
    } else {
      const std::lock_guard lock(piece.open->reading);
      if (seekFile(piece.open->file, piece.offset)) readUpTo(piece.open->file, out, asked, piece.length, got);
    }
    return got == piece.length ? L"" : changedMessage(pathOf(piece.entry));
  }

 private:
  // Moves to the next file, announcing it; an empty one is opened and
  // checked here. False at the end of the files, or once failed.
  bool nextFile() {
    while (next_ < source_.entries.size() && source_.entries[next_].type != EntryType::File) ++next_;
    if (next_ == source_.entries.size()) return false;
    current_ = next_++;
    if (stopRequested(shouldStop_)) return fail(kStoppedOnRequest);
    left_ = source_.entries[current_].size;
    offset_ = 0;
    FileHandle empty;
    if (left_ == 0 && !openFile(pathOf(current_), OpenMode::ReadOnly, empty)) {
      return fail(L"Unable to open source file: " + pathOf(current_));
    }
    if (onEntry_) onEntry_(L"Packing: " + fromUtf8(source_.entries[current_].relativePathUtf8));
    return left_ > 0 || atEnd(empty) || fail(changedMessage(pathOf(current_)));
  }

  std::wstring pathOf(size_t entry) const { return source_.sourcePathOf(source_.entries[entry]); }

  bool fail(std::wstring message) {
    failed_ = failure(StatusKind::Failed, std::move(message));
    return false;
  }

  const SourceFiles& source_;
  Status& failed_;  // shared with the packer: the run's one failure
  const LogCallback& onEntry_;
  const StopCallback& shouldStop_;
  std::shared_ptr<OpenSource> open_;  // the current file, where opened here
  size_t current_ = 0;                // the file being handed out
  size_t next_ = 0;                   // the entry to look at next
  uint64_t offset_ = 0;               // where the current file's next piece starts
  uint64_t left_ = 0;                 // bytes of the current file still to hand out
};

// A run's limits: blocks together up to this many bytes (or one block of any
// size) make one job, so that small files cost a worker little more than
// their reads, and the hand-offs few.
constexpr uint32_t kRunBytes = 1 << 20;
constexpr size_t kRunPieces = 64;

// Reads and codes the blocks into the archive after its tables, in order, on
// the workers: the blocks go in runs, run i into slot i mod K, K = workers +
// 1. Before a slot takes a new run, the run it held is written, so at most K
// runs are read and not yet written, and the writes follow the blocks' order.
class BlockPacker {
 public:
  BlockPacker(const Layout& layout, const BlockCoding& coding, unsigned workers, ArchiveWriter& writer,
              std::vector<BlockRecord>& blocks, Status& failed, const ProgressCallback& onProgress)
      : layout_(layout), coding_(coding), writer_(writer), blocks_(blocks), failed_(failed),
        onProgress_(onProgress), cursor_(layout.header.dataOffset),
        rawRoom_(std::max<uint64_t>(layout.largestBlock, std::min<uint64_t>(kRunBytes, layout.header.sourceBytes))),
        codedRoom_(std::max(codedRoom(coding, layout.largestBlock), codedRoom(coding, static_cast<uint32_t>(rawRoom_)))),
        pool_(workers) {
    slots_.resize(std::min<size_t>(size_t{workers} + 1, std::max<size_t>(layout.blockSizes.size(), 1)));
    for (Slot& slot : slots_) {
      // Left uninitialised: pages never written cost no memory. One byte
      // more shows a file that grew (SourceStream::read).
      slot.raw = std::make_unique_for_overwrite<uint8_t[]>(rawRoom_ + 1);
      slot.stored = std::make_unique_for_overwrite<uint8_t[]>(codedRoom_);
    }
  }

  bool pack(SourceStream& stream, const PauseCallback& isPaused, const StopCallback& shouldStop) {
    const auto count = static_cast<uint32_t>(layout_.blockSizes.size());
    for (uint32_t b = 0, turn = 0; b < count; ++turn) {
      Slot& slot = slots_[turn % slots_.size()];
      if (slot.inUse && !store(slot)) return false;
      slot.first = b;
      slot.blocks.clear();
      slot.pieces.clear();
      uint64_t rawUsed = 0, codedUsed = 0;
      for (; b < count; ++b) {
        const uint32_t size = layout_.blockSizes[b];
        const size_t room = codedRoom(coding_, size);
        const bool full = rawUsed + size > rawRoom_ || codedUsed + room > codedRoom_ || slot.pieces.size() >= kRunPieces;
        if (!slot.blocks.empty() && full) break;
        Status stopped;
        if (!stream.reachData()) stopped = failed_;
        if (stopped.ok() && !waitWhilePaused(isPaused, shouldStop)) stopped = failure(StatusKind::Failed, kStoppedOnRequest);
        if (stopped.ok() && !stream.take(size, slot.pieces)) stopped = failed_;
        if (!stopped.ok()) {
          if (!slot.blocks.empty()) start(slot, stream);  // the blocks before it come first
          return failAfterInFlight(std::move(stopped));
        }
        slot.blocks.push_back({.size = size, .rawAt = rawUsed, .form = {}});
        rawUsed += size, codedUsed += room;
      }
      start(slot, stream);
    }
    if (!storeInFlight()) return false;
    return stream.finish();
  }

  uint64_t dataBytes() const { return cursor_ - layout_.header.dataOffset; }

 private:
  struct RunBlock {
    uint32_t size = 0;
    uint64_t rawAt = 0;  // where in the slot's raw buffer
    CodedBlock form;
  };
  struct Slot {
    std::unique_ptr<uint8_t[]> raw, stored;  // the run's bytes as read, and as written
    PoolJob job;
    uint32_t first = 0;  // the index of the run's first block
    std::vector<RunBlock> blocks;
    std::vector<SourcePiece> pieces;
    size_t readBlocks = 0;     // how many of the blocks were read whole and coded
    size_t storedBytes = 0;    // their stored forms' length
    std::wstring readFailure;  // why the next one was not
    bool inUse = false;
  };

  // Hands the slot's run to a worker: its pieces read in order, then each
  // block read whole coded, and the stored forms laid end to end in `stored`
  // (a raw form copied over its coded attempt), so that the run is written
  // in one piece and its copies are the worker's.
  void start(Slot& slot, const SourceStream& stream) {
    slot.inUse = true;
    slot.job.work = [this, &slot, &stream] {
      uint64_t at = 0;
      size_t whole = 0;
      slot.readFailure.clear();
      for (const SourcePiece& piece : slot.pieces) {
        slot.readFailure = stream.read(piece, slot.raw.get() + at);
        if (!slot.readFailure.empty()) break;
        at += piece.length;
      }
      while (whole < slot.blocks.size() && slot.blocks[whole].rawAt + slot.blocks[whole].size <= at) ++whole;
      slot.pieces.clear();  // closes the files no later run reads
      slot.storedBytes = 0;
      for (size_t k = 0; k < whole; ++k) {
        RunBlock& block = slot.blocks[k];
        const uint8_t* raw = slot.raw.get() + block.rawAt;
        uint8_t* stored = slot.stored.get() + slot.storedBytes;
        block.form = codeBlock(coding_, raw, block.size, stored);
        if (!block.form.useCoded) std::memcpy(stored, raw, block.size);
        slot.storedBytes += block.form.useCoded ? block.form.codedLength : block.size;
      }
      slot.readBlocks = whole;
    };
    pool_.submit(slot.job);
  }

  // Writes the runs still held, oldest first.
  bool storeInFlight() {
    std::vector<Slot*> held;
    for (Slot& slot : slots_) {
      if (slot.inUse) held.push_back(&slot);
    }
    std::sort(held.begin(), held.end(), [](Slot* a, Slot* b) { return a->first < b->first; });
    return std::all_of(held.begin(), held.end(), [this](Slot* slot) { return store(*slot); });
  }

  // A failure found while runs were still being read and coded: they are
  // written first, so the run reports what a one-block-at-a-time run would.
  bool failAfterInFlight(Status why) {
    if (storeInFlight()) failed_ = std::move(why);
    return false;
  }

  bool store(Slot& slot) {
    pool_.wait(slot.job);
    slot.inUse = false;
    if (!writer_.append(slot.stored.get(), slot.storedBytes)) {
      failed_ = failure(StatusKind::Failed, L"Failed to write archive file");
      return false;
    }
    for (size_t k = 0; k < slot.readBlocks; ++k) record(slot.first + static_cast<uint32_t>(k), slot.blocks[k]);
    if (slot.readBlocks == slot.blocks.size()) return true;
    failed_ = failure(StatusKind::Failed, slot.readFailure);
    return false;
  }

  void record(uint32_t index, const RunBlock& block) {
    const CodedBlock& form = block.form;
    BlockRecord& record = blocks_[index];
    record.offset = cursor_;
    record.storedSize = form.useCoded ? static_cast<uint32_t>(form.codedLength) : block.size;
    record.rawSize = block.size;
    record.crc = form.crc;
    const BlockCodec codec = coding_.zstdLevel != 0 ? BlockCodec::Zstd : BlockCodec::Rle;
    record.codec = static_cast<uint32_t>(form.useCoded ? codec : BlockCodec::Stored);
    cursor_ += record.storedSize;
    ++blocksWritten_;
    bytesRead_ += record.rawSize;
    if (onProgress_) {
      onProgress_(ProgressInfo{blocksWritten_, layout_.header.blockCount, 0, bytesRead_, layout_.header.sourceBytes});
    }
  }

  const Layout& layout_;
  const BlockCoding coding_;
  ArchiveWriter& writer_;
  std::vector<BlockRecord>& blocks_;
  Status& failed_;
  const ProgressCallback& onProgress_;
  std::vector<Slot> slots_;
  uint64_t cursor_;
  uint32_t blocksWritten_ = 0;
  uint64_t bytesRead_ = 0;
  const uint64_t rawRoom_;    // the most raw bytes a run holds
  const size_t codedRoom_;    // the most its blocks' coded forms may take
  // Last, so that it is destroyed first: its threads may still use the slots.
  WorkerPool pool_;
};

unsigned workersFor(unsigned threads) {
  return threads != 0 ? threads : std::max(1u, std::thread::hardware_concurrency());
}

// The files at the archive's path that this run replaces or removes: the
// archive, or every volume of a set of its name.
bool earlierFilesAt(const std::wstring& archivePath, bool volumes, std::vector<NumberedVolume>& found) {
  if (volumes) return volumesAt(archivePath, found);
  found = {{1, archivePath}};
  return true;
}

// A running extraction holds its archive locked (holdArchiveForRun). Taking
// the same lock refuses a path that one is consuming, and holding it until
// the new archive is in place keeps one from starting on a file that this
// run replaces. Anything that cannot be opened is no archive a run holds.
Status holdOffExtractions(const std::vector<NumberedVolume>& files, std::vector<FileHandle>& held) {
  for (const NumberedVolume& file : files) {
    FileHandle& earlier = held.emplace_back();
    const bool locked = openFile(file.path, OpenMode::ReadWrite, earlier) && lockFile(earlier, true);
    if (!locked && isInUseError(lastErrorCode())) {
      return failure(StatusKind::Failed, L"Archive is in use by an extraction: " + file.path);
    }
  }
  return {};
}

bool writeBlockTable(ArchiveParts& parts, const ArchiveHeader& header, const std::vector<BlockRecord>& blocks) {
  const std::vector<uint8_t> bytes = encodeBlockTable(blocks);
  return parts.overwrite(blockTableOffset(header), bytes.data(), bytes.size());
}

// Volumes numbered past the new set's last, which a reader would take for
// parts of it, or for parts missing between: removed from the lowest number
// on, so that one a failed run leaves makes the set refused, never misread.
Status removeStaleVolumes(const std::vector<NumberedVolume>& earlier, size_t kept) {
  for (const NumberedVolume& volume : earlier) {
    if (volume.number > kept && !removeFile(volume.path)) {
      return failure(StatusKind::Failed, L"Unable to remove an earlier volume: " + volume.path);
    }
  }
  return {};
}

Status createWhole(const std::wstring& inputPath, const std::wstring& archivePath, const CreateOptions& options,
                   const ProgressCallback& onProgress, const LogCallback& onLog, const PauseCallback& isPaused) {
  const uint32_t blockSize = options.blockSize;
  const bool zstd = options.zstdLevel != 0;
  if (zstd && (options.zstdLevel < 1 || options.zstdLevel > kLargestZstdLevel)) {
    return failure(StatusKind::Failed, L"Compression level must be from 1 to " + std::to_wstring(kLargestZstdLevel));
  }
  if (zstd && blockSize > kLargestZstdBlock) {
    return failure(StatusKind::Failed,
                   L"Block size with Zstandard must be at most " + std::to_wstring(kLargestZstdBlock) + L" bytes");
  }
  SourceFiles source;
  const ScanScope scope = zstd ? ScanScope::EveryEntry : ScanScope::Files;
  Status scanned = collectSourceFiles(inputPath, scope, workersFor(options.threads), source);
  if (!scanned.ok()) return scanned;
  if (zstd) groupSimilarFiles(source.entries);
  const std::vector<SourceEntry>& entries = source.entries;
  if (blockSize == 0) return failure(StatusKind::Failed, L"Block size must be greater than zero");
  Layout layout;
  if (!layOut(entries, zstd ? kArchiveVersion5 : kArchiveVersion, blockSize, layout)) {
    return failure(StatusKind::Failed, L"Source is too large for the archive format");
  }
  // Coded tables decide where the data starts, which the checks below use.
  std::vector<uint8_t> tables = encodeTables(
      layout.header, layout.files,
      [&](size_t file) { return entries[file].relativePathUtf8 + entries[file].linkTarget; }, options.zstdLevel);
  // Replacing a partly consumed archive would lose every block it still
  // holds, and leave a journal that could steer a run over the new one.
  const bool volumes = options.volumeBytes != 0;
  std::vector<NumberedVolume> earlierFiles;
  if (!earlierFilesAt(archivePath, volumes, earlierFiles)) {
    return failure(StatusKind::Failed, L"Unable to list the archive's folder: " + parentFolder(archivePath));
  }
  std::vector<FileHandle> heldOff;
  if (Status held = holdOffExtractions(earlierFiles, heldOff); !held.ok()) return held;
  // A set's journal lies beside its first volume.
  Journal earlier{journalPathFor(volumes ? volumePath(archivePath, 1) : archivePath)};
  if (loadJournalAsWritten(earlier) == JournalLoad::Loaded && earlier.states.recordsProgress()) {
    return failure(StatusKind::Failed,
                   L"An extraction of the archive at this path stopped before it finished; resume it first");
  }
  const std::wstring folder = parentFolder(archivePath);
  // Blocks that do not shrink are stored raw, so the archive may reach its
  // tables plus every source byte: more than FAT32 holds in a file.
  FileSystemTraits traits;
  const uint64_t largest = dataStart(layout.header) + layout.header.sourceBytes;
  const uint64_t largestFile = volumes ? std::min(largest, options.volumeBytes) : largest;
  if (fileSystemTraits(nearestFolder(folder), traits) && largestFile > traits.largestFile) {
    return failure(StatusKind::Failed, (volumes ? L"A volume may reach " : L"The archive may reach ") +
                                           std::to_wstring(largestFile) +
                                           L" bytes, and its file system holds no file over " +
                                           std::to_wstring(traits.largestFile) + L" bytes (FAT32): " + archivePath);
  }
  std::vector<std::wstring> gainedEntries = {folder};  // the archive's name, and the folders created for it
  if (!createFolders(folder, gainedEntries))
    return failure(StatusKind::Failed, L"Unable to create archive destination folder");
  // The parts holding the tables stay open for the block table, written last.
  ArchiveParts parts(archivePath, options.volumeBytes, dataStart(layout.header));
  if (!parts.start()) return failure(StatusKind::Failed, L"Unable to create archive file");

  ArchiveWriter writer(parts);
  std::vector<BlockRecord> blocks(layout.header.blockCount);
  if (!writer.append(tables.data(), tables.size())) return failure(StatusKind::Failed, L"Failed to write archive file");
  // Gone before the block buffers exist, so that peak memory holds only one of the two.
  std::vector<uint8_t>().swap(tables);
  Status packed;  // the stream's or the packer's failure
  SourceStream stream(source, packed, options.onEntry ? options.onEntry : onLog, options.shouldStop);
  BlockPacker packer(layout, BlockCoding{options.zstdLevel}, workersFor(options.threads), writer, blocks, packed,
                     onProgress);
  if (!packer.pack(stream, isPaused, options.shouldStop)) return packed;
  if (!writer.drain() || !writeBlockTable(parts, layout.header, blocks) || !parts.finish()) {
    return failure(StatusKind::Failed, L"Failed to write archive file");
  }
  heldOff.clear();  // Windows replaces no file that is open
  if (!parts.publish()) return failure(StatusKind::Failed, L"Failed to write archive file");
  // From here on the new archive is in place and kept, failure or not.
  const Status removed = removeStaleVolumes(earlierFiles, parts.count());
  if (!std::all_of(gainedEntries.begin(), gainedEntries.end(), syncDirectory)) {
    // Complete, but not known to be durable under its name: a failure, yet
    // kept, since the rename has already replaced any earlier file.
    return failure(StatusKind::Failed, L"Failed to write archive file");
  }
  if (!removed.ok()) return removed;

  if (onLog) {
    const std::wstring firstPath = volumes ? volumePath(archivePath, 1) : archivePath;
    onLog(L"Archive created: " + firstPath + (parts.count() > 1 ? L" to " + parts.lastPath() : L""));
    const auto files = std::count_if(entries.begin(), entries.end(),
                                     [](const SourceEntry& entry) { return entry.type == EntryType::File; });
    onLog(summaryLine(static_cast<uint64_t>(files), layout.header.sourceBytes, packer.dataBytes()));
  }
  return {};
}

}  // namespace

Status createArchive(const std::wstring& inputPath, const std::wstring& archivePath, const CreateOptions& options,
                     const ProgressCallback& onProgress, const LogCallback& onLog, const PauseCallback& isPaused) {
  return withinMemory([&] { return createWhole(inputPath, archivePath, options, onProgress, onLog, isPaused); });
}

Status createArchive(const std::wstring& inputPath, const std::wstring& archivePath, uint32_t blockSize,
                     const ProgressCallback& onProgress, const LogCallback& onLog, const PauseCallback& isPaused) {
  CreateOptions options;
  options.blockSize = blockSize;
  return createArchive(inputPath, archivePath, options, onProgress, onLog, isPaused);
}

}  // namespace ablative
