#include "journal.h"

#include <algorithm>
#include <cstring>

#include "ablative.h"
#include "coding.h"
#include "crc32.h"
#include "block_io.h"
#include "file_util.h"
#include "paths.h"

namespace ablative {

namespace {

// A record larger than this is no journal's: no buffer is sized for it.
constexpr uint64_t kLargestRecord = uint64_t{1} << 32;

constexpr uint32_t kTailPieceHeader = 12;

uint64_t statesOffset(const Journal& journal) {
  return journal.record.empty() ? kJournalHeaderSize : kRecordJournalHeaderSize + journal.record.size();
}

// Reads what follows the states of a version 2 journal, the file placed there.
JournalLoad readTail(FileHandle& file, Journal& journal) {
  uint64_t size = 0;
  const uint64_t start = statesOffset(journal) + journal.states.size();
  journal.tail.clear();
  if (journal.record.empty()) return JournalLoad::Loaded;
  if (!fileSize(file, size)) return JournalLoad::Unreadable;
  journal.tail.resize(size - start);  // the header's checks keep it within the file
  return readFully(file, journal.tail.data(), journal.tail.size()) ? JournalLoad::Loaded : JournalLoad::Unreadable;
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

bool writeWholeJournal(const std::wstring& path, const Journal& journal) {
  const uint64_t start = statesOffset(journal);
  std::vector<uint8_t> bytes(start + journal.states.size());
  std::copy(std::begin(kJournalMagic), std::end(kJournalMagic), bytes.begin());
  put32(&bytes[8], journal.record.empty() ? kJournalVersion : kRecordJournalVersion);
  put32(&bytes[12], static_cast<uint32_t>(journal.states.size()));
  if (!journal.record.empty()) {
    put64(&bytes[16], journal.record.size());
    put32(&bytes[24], crc32(journal.record.data(), journal.record.size()));
    std::copy(journal.record.begin(), journal.record.end(), bytes.begin() + kRecordJournalHeaderSize);
  }
  std::copy(journal.states.begin(), journal.states.end(), bytes.begin() + start);
  bytes.insert(bytes.end(), journal.tail.begin(), journal.tail.end());
  FileHandle file;
  return openFile(path, OpenMode::CreateNew, file) && writeFully(file, bytes.data(), bytes.size()) && flushFile(file);
}

}  // namespace

std::wstring journalPathFor(const std::wstring& archivePath) { return archivePath + kJournalExtension; }

uint64_t journalBytes(const Journal& journal) {
  return statesOffset(journal) + journal.states.size() + journal.tail.size();
}

void addToTail(std::vector<uint8_t>& tail, uint32_t unit, std::span<const uint8_t> bytes) {
  uint8_t header[kTailPieceHeader];
  putFields(header, unit, static_cast<uint32_t>(bytes.size()), crc32(bytes.data(), bytes.size()));
  tail.insert(tail.end(), header, header + kTailPieceHeader);
  tail.insert(tail.end(), bytes.begin(), bytes.end());
}

std::vector<UnitBytes> tailPieces(const Journal& journal) {
  std::vector<UnitBytes> pieces;
  const std::vector<uint8_t>& tail = journal.tail;
  for (size_t at = 0; tail.size() - at >= kTailPieceHeader;) {
    const uint32_t length = get32(&tail[at + 4]);
    // No piece is empty: zeros are what a cut of the tail leaves where the
    // file system wrote its last block before its new length lasted.
    if (length == 0 || length > tail.size() - at - kTailPieceHeader) break;
    const std::span<const uint8_t> bytes(tail.data() + at + kTailPieceHeader, length);
    if (crc32(bytes.data(), bytes.size()) != get32(&tail[at + 8])) break;
    pieces.push_back({get32(&tail[at]), bytes});
    at += kTailPieceHeader + length;
  }
  return pieces;
}

void trimTail(Journal& journal) {
  const std::vector<UnitBytes> pieces = tailPieces(journal);
  size_t kept = pieces.size();
  while (kept > 0 && pieces[kept - 1].unit < journal.states.size() && isPunched(journal, pieces[kept - 1].unit)) --kept;
  const size_t length = kept == 0 ? 0
                                  : static_cast<size_t>(pieces[kept - 1].bytes.data() - journal.tail.data()) +
                                        pieces[kept - 1].bytes.size();
  if (length == journal.tail.size()) return;
  journal.tail.resize(length);
  if (cutFileAt(journal.file, statesOffset(journal) + journal.states.size() + length)) flushFile(journal.file);
}

bool archiveForExtraction(const std::wstring& path, bool resume, std::wstring& archive, std::wstring& errorText) {
  const std::wstring suffix = journalPathFor(L"");
  archive = path;
  if (path.size() <= suffix.size() || path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return true;
  }
  archive.resize(path.size() - suffix.size());
  if (resume || pathStatus(archive).kind == PathKind::File) return true;
  errorText = L"Please select the .zvka archive file.";
  return false;
}

JournalLoad loadJournal(Journal& journal) {
  FileHandle file;
  uint32_t stateCount = 0;
  JournalLoad result = openAndReadHeader(journal.path, file, stateCount, journal.record);
  if (result != JournalLoad::Loaded) return result;
  if (stateCount != journal.states.size()) return JournalLoad::Foreign;
  if (!readFully(file, journal.states.data(), stateCount)) return JournalLoad::Unreadable;
  return readTail(file, journal);
}

JournalLoad loadJournalAsWritten(Journal& journal) {
  FileHandle file;
  uint32_t stateCount = 0;
  JournalLoad result = openAndReadHeader(journal.path, file, stateCount, journal.record);
  if (result != JournalLoad::Loaded) return result;
  journal.states.assign(stateCount, 0);  // the file is known to hold them
  if (!readFully(file, journal.states.data(), stateCount)) return JournalLoad::Unreadable;
  return readTail(file, journal);
}

bool createJournal(Journal& journal) {
  journal.file.close();
  std::fill(journal.states.begin(), journal.states.end(), static_cast<uint8_t>(BlockState::Pending));
  // Created exclusively after a leftover of that name is removed (a link
  // itself, never what it leads to), so no planted link redirects it.
  const std::wstring temporary = temporaryPathFor(journal.path);
  removeFile(temporary);
  if (!writeWholeJournal(temporary, journal) || !renameReplace(temporary, journal.path)) {
    removeFile(temporary);
    return false;
  }
  return syncDirectory(parentFolder(journal.path)) && openJournal(journal);
}

bool openJournal(Journal& journal) { return openFile(journal.path, OpenMode::ReadWrite, journal.file); }

void removeJournal(const std::wstring& path) {
  removeFile(path);
  removeFile(temporaryPathFor(path));
}

bool recordStates(Journal& journal, std::span<const uint32_t> blocks, BlockState state) {
  if (blocks.empty()) return true;
  const auto [lowest, highest] = std::minmax_element(blocks.begin(), blocks.end());
  for (uint32_t block : blocks) journal.states[block] = static_cast<uint8_t>(state);
  const uint8_t* span = journal.states.data() + *lowest;
  return seekFile(journal.file, statesOffset(journal) + *lowest) &&
         writeFully(journal.file, span, uint64_t{*highest} - *lowest + 1) && flushFile(journal.file);
}

BlockState stateOf(const Journal& journal, uint32_t block) {
  uint8_t value = journal.states[block];
  if (value == static_cast<uint8_t>(BlockState::DestWritten)) return BlockState::DestWritten;
  if (value == static_cast<uint8_t>(BlockState::Punched)) return BlockState::Punched;
  return BlockState::Pending;
}

bool isPunched(const Journal& journal, uint32_t block) { return stateOf(journal, block) == BlockState::Punched; }

bool mayBeCutAway(const Journal& journal, uint32_t block) { return stateOf(journal, block) != BlockState::Pending; }

bool recordsProgress(const Journal& journal) {
  for (uint32_t b = 0; b < journal.states.size(); ++b) {
    if (stateOf(journal, b) != BlockState::Pending) return true;
  }
  return false;
}

bool everyBlockPunched(const Journal& journal) {
  return std::all_of(journal.states.begin(), journal.states.end(),
                     [](uint8_t state) { return state == static_cast<uint8_t>(BlockState::Punched); });
}

}  // namespace ablative
