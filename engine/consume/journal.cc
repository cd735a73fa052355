#include "consume/journal.h"

#include <algorithm>
#include <cstring>

#include "ablative.h"
#include "codecs/coding.h"
#include "codecs/crc32.h"
#include "files/block_io.h"
#include "files/file_util.h"
#include "files/paths.h"

namespace ablative {

namespace {

// A record larger than this is no journal's: no buffer is sized for it.
constexpr uint64_t kLargestRecord = uint64_t{1} << 32;

constexpr uint32_t kTailPieceHeader = 12;
// The tail is read and written in runs of about this many bytes.
constexpr uint32_t kTailChunk = 1 << 20;

uint64_t statesOffset(const Journal& journal) {
  return journal.record.empty() ? kJournalHeaderSize : kRecordJournalHeaderSize + journal.record.size();
}

// The unit no tail piece has: it marks a fingerprint.
constexpr uint32_t kFingerprintMark = 0xFFFFFFFF;
constexpr uint32_t kFingerprintHeader = 12;

void encodeFingerprint(const ArchiveFingerprint& fingerprint, uint8_t* out) {
  putFields(out + kFingerprintHeader, fingerprint.identity.volume, fingerprint.identity.index, fingerprint.length,
            fingerprint.described, fingerprint.planCrc);
  putFields(out, kFingerprintMark, kFingerprintBytes - kFingerprintHeader,
            crc32(out + kFingerprintHeader, kFingerprintBytes - kFingerprintHeader));
}

// Reads the fingerprint where one follows the states, the file placed there
// and `size` bytes long, leaving the file past it, or where it was.
JournalLoad readFingerprint(FileHandle& file, uint64_t size, Journal& journal) {
  const uint64_t at = statesOffset(journal) + journal.states.size();
  uint8_t bytes[kFingerprintBytes];
  if (size - at < kFingerprintBytes) return JournalLoad::Loaded;
  if (!readFully(file, bytes, kFingerprintBytes)) return JournalLoad::Unreadable;
  const uint8_t* fields = bytes + kFingerprintHeader;
  if (get32(bytes) != kFingerprintMark || get32(bytes + 4) != kFingerprintBytes - kFingerprintHeader ||
      get32(bytes + 8) != crc32(fields, kFingerprintBytes - kFingerprintHeader)) {
    return seekFile(file, at) ? JournalLoad::Loaded : JournalLoad::Unreadable;
  }
  ArchiveFingerprint& fingerprint = journal.fingerprint.emplace();
  fingerprint.identity = {get64(fields), get64(fields + 8)};
  fingerprint.length = get64(fields + 16);
  fingerprint.described = get64(fields + 24);
  fingerprint.planCrc = get32(fields + 32);
  return JournalLoad::Loaded;
}

// Indexes what follows the states, the file placed there: a fingerprint, and
// a version 2 journal's tail, whose pieces are read a chunk at a time to
// check them.
JournalLoad readTail(FileHandle& file, Journal& journal) {
  uint64_t size = 0;
  journal.tail.clear();
  journal.tailBytes = 0;
  journal.fingerprint.reset();
  if (!fileSize(file, size)) return JournalLoad::Unreadable;
  const JournalLoad fingerprint = readFingerprint(file, size, journal);
  if (fingerprint != JournalLoad::Loaded || journal.record.empty()) return fingerprint;
  journal.tailBytes = size - tailStart(journal);  // the header's checks keep it within the file
  std::vector<uint8_t> chunk;
  for (uint64_t at = 0; journal.tailBytes - at >= kTailPieceHeader;) {
    uint8_t header[kTailPieceHeader];
    if (!readFully(file, header, kTailPieceHeader)) return JournalLoad::Unreadable;
    const uint32_t length = get32(header + 4);
    // No piece is empty: zeros are what a cut of the tail leaves where the
    // file system wrote its last block before its new length lasted.
    if (length == 0 || length > journal.tailBytes - at - kTailPieceHeader) break;
    uint32_t crc = 0;
    for (uint32_t left = length; left > 0;) {
      chunk.resize(std::min(left, kTailChunk));
      if (!readFully(file, chunk.data(), chunk.size())) return JournalLoad::Unreadable;
      crc = crc32(crc, chunk.data(), chunk.size());
      left -= static_cast<uint32_t>(chunk.size());
    }
    if (crc != get32(header + 8)) break;
    journal.tail.push_back({get32(header), length, crc, at + kTailPieceHeader});
    at += kTailPieceHeader + length;
  }
  return JournalLoad::Loaded;
}

// Reads a version 2 journal's record, the file placed just past the first
// 16 bytes of its header.
JournalLoad readRecord(FileHandle& file, uint64_t size, std::vector<uint8_t>& record) {
  uint8_t rest[kRecordJournalHeaderSize - kJournalHeaderSize];
  if (size < kRecordJournalHeaderSize) return JournalLoad::Foreign;
  if (!readFully(file, rest, sizeof rest)) return JournalLoad::Unreadable;
  const uint64_t length = get64(rest);
  if (length == 0 || length > kLargestRecord || length > size - kRecordJournalHeaderSize) return JournalLoad::Foreign;
  record.resize(length);
  if (!readFully(file, record.data(), length)) return JournalLoad::Unreadable;
  return crc32(record.data(), record.size()) == get32(rest + 8) ? JournalLoad::Loaded : JournalLoad::Foreign;
}

// Opens `path` and checks its header, reading the record of version 2;
// `stateCount` is the count it claims. The file is left at the states.
JournalLoad openAndReadHeader(const std::wstring& path, FileHandle& file, uint32_t& stateCount,
                              std::vector<uint8_t>& record) {
  if (!openFile(path, OpenMode::ReadOnly, file)) {
    return isNotFoundError(lastErrorCode()) ? JournalLoad::Missing : JournalLoad::Unreadable;
  }
  uint64_t size = 0;
  uint8_t header[kJournalHeaderSize];
  if (!fileSize(file, size)) return JournalLoad::Unreadable;
  if (size < kJournalHeaderSize) return JournalLoad::Foreign;
  if (!readFully(file, header, kJournalHeaderSize)) return JournalLoad::Unreadable;
  stateCount = get32(header + 12);
  const uint32_t version = get32(header + 8);
  record.clear();
  if (std::memcmp(header, kJournalMagic, 8) != 0 || (version != kJournalVersion && version != kRecordJournalVersion)) {
    return JournalLoad::Foreign;
  }
  if (version == kRecordJournalVersion) {
    const JournalLoad load = readRecord(file, size, record);
    if (load != JournalLoad::Loaded) return load;
  }
  const uint64_t headerSize = record.empty() ? kJournalHeaderSize : kRecordJournalHeaderSize + record.size();
  return size - headerSize < stateCount ? JournalLoad::Foreign : JournalLoad::Loaded;
}

// Appends the tail's pieces, the journal in front of them, writing them out
// a chunk at a time.
bool writeTail(JournalFile& file, const Journal& journal) {
  std::vector<uint8_t> piece;
  for (const TailPiece& tail : journal.tail) {
    if (!journal.tailSource.read || !journal.tailSource.read(tail.unit, piece) || piece.size() != tail.length ||
        crc32(piece.data(), piece.size()) != tail.crc) {
      return false;
    }
    uint8_t header[kTailPieceHeader];
    putFields(header, tail.unit, tail.length, tail.crc);
    file.append(header);
    file.append(piece);
    if (!file.spill(kTailChunk)) return false;
  }
  return true;
}

// Everything in front of the tail: the header, version 2's record, the
// states and the fingerprint.
std::vector<uint8_t> journalHead(const Journal& journal) {
  const uint64_t start = statesOffset(journal);
  std::vector<uint8_t> bytes(start + journal.states.size());
  std::copy(std::begin(kJournalMagic), std::end(kJournalMagic), bytes.begin());
  put32(&bytes[8], journal.record.empty() ? kJournalVersion : kRecordJournalVersion);
  put32(&bytes[12], journal.states.size());
  if (!journal.record.empty()) {
    put64(&bytes[16], journal.record.size());
    put32(&bytes[24], crc32(journal.record.data(), journal.record.size()));
    std::copy(journal.record.begin(), journal.record.end(), bytes.begin() + kRecordJournalHeaderSize);
  }
  std::copy(journal.states.bytes().begin(), journal.states.bytes().end(), bytes.begin() + start);
  if (journal.fingerprint) {
    bytes.resize(bytes.size() + kFingerprintBytes);
    encodeFingerprint(*journal.fingerprint, bytes.data() + bytes.size() - kFingerprintBytes);
  }
  return bytes;
}

}  // namespace

std::wstring journalPathFor(const std::wstring& archivePath) { return archivePath + kJournalExtension; }

std::wstring pointsScratchPathFor(const std::wstring& journalPath) { return journalPath + L".points"; }

uint64_t tailStart(const Journal& journal) {
  return statesOffset(journal) + journal.states.size() + (journal.fingerprint ? kFingerprintBytes : 0);
}

uint64_t journalBytes(const Journal& journal) { return tailStart(journal) + journal.tailBytes; }

void addToTail(Journal& journal, uint32_t unit, uint32_t length, uint32_t crc) {
  journal.tail.push_back({unit, length, crc, journal.tailBytes + kTailPieceHeader});
  journal.tailBytes += kTailPieceHeader + length;
}

void trimTail(Journal& journal) {
  size_t kept = journal.tail.size();
  while (kept > 0 && journal.tail[kept - 1].unit < journal.states.size() &&
         journal.states.isSettled(journal.tail[kept - 1].unit)) {
    --kept;
  }
  const uint64_t length = kept == 0 ? 0 : journal.tail[kept - 1].offset + journal.tail[kept - 1].length;
  if (length == journal.tailBytes) return;
  journal.tail.resize(kept);
  journal.tailBytes = length;
  journal.file.cut(journalBytes(journal));
}

Status archiveForExtraction(const std::wstring& path, bool resume, std::wstring& archive) {
  const std::wstring suffix = journalPathFor(L"");
  archive = path;
  if (path.size() <= suffix.size() || path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return {};
  }
  archive.resize(path.size() - suffix.size());
  if (resume || pathStatus(archive).kind == PathKind::File) return {};
  return failure(StatusKind::Failed, L"Please select the .zvka archive file.");
}

JournalLoad loadJournal(Journal& journal) {
  const uint32_t unitCount = journal.states.size();
  return fitJournal(journal, loadJournalAsWritten(journal), unitCount);
}

JournalLoad loadJournalAsWritten(Journal& journal) {
  FileHandle file;
  uint32_t stateCount = 0;
  JournalLoad result = openAndReadHeader(journal.path, file, stateCount, journal.record);
  if (result != JournalLoad::Loaded) return result;
  journal.states.setAll(stateCount, BlockState::Pending);  // the file is known to hold them
  if (!readFully(file, journal.states.bytes().data(), stateCount)) return JournalLoad::Unreadable;
  return readTail(file, journal);
}

JournalLoad fitJournal(Journal& journal, JournalLoad load, uint32_t unitCount) {
  if (load == JournalLoad::Loaded && journal.states.size() == unitCount) return load;
  journal.states.setAll(unitCount, BlockState::Pending);
  journal.tail.clear();
  journal.tailBytes = 0;
  journal.fingerprint.reset();
  return load == JournalLoad::Loaded ? JournalLoad::Foreign : load;
}

bool createJournal(Journal& journal) {
  journal.file.close();
  journal.states.setAll(journal.states.size(), BlockState::Pending);
  const bool begun = journal.file.begin(journal.path);
  if (begun) journal.file.append(journalHead(journal));
  if (!journal.file.commit(begun && writeTail(journal.file, journal))) return false;
  if (journal.tailSource.written) journal.tailSource.written(journal);
  return true;
}

bool openJournal(Journal& journal) { return journal.file.open(journal.path); }

void removeJournal(const std::wstring& path) {
  removeFile(path);
  removeFile(temporaryPathFor(path));
  removeFile(pointsScratchPathFor(path));
}

bool recordStates(Journal& journal, std::span<const uint32_t> blocks, BlockState state) {
  if (blocks.empty()) return true;
  const auto [lowest, highest] = std::minmax_element(blocks.begin(), blocks.end());
  journal.states.set(blocks, state);
  const std::span<const uint8_t> span(journal.states.bytes().data() + *lowest, *highest - *lowest + 1);
  return journal.file.overwrite(statesOffset(journal) + *lowest, span);
}

}  // namespace ablative
