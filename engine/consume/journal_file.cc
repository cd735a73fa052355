#include "consume/journal_file.h"

#include "files/block_io.h"
#include "files/file_util.h"
#include "files/paths.h"

namespace ablative {

bool JournalFile::begin(const std::wstring& path) {
  close();
  path_ = path;
  pending_.clear();
  const std::wstring temporary = temporaryPathFor(path);
  removeFile(temporary);
  return openFile(temporary, OpenMode::CreateNew, file_);
}

void JournalFile::append(std::span<const uint8_t> bytes) { pending_.insert(pending_.end(), bytes.begin(), bytes.end()); }

bool JournalFile::spill(uint64_t chunk) {
  if (pending_.size() < chunk) return true;
  if (!writeFully(file_, pending_.data(), pending_.size())) return false;
  pending_.clear();
  return true;
}

bool JournalFile::commit(bool written) {
  const std::wstring temporary = temporaryPathFor(path_);
  written = written && spill(0) && flushFile(file_);
  file_.close();
  std::vector<uint8_t>().swap(pending_);
  if (!written || !renameReplace(temporary, path_)) {
    const uint32_t why = lastErrorCode();  // for the caller's message
    removeFile(temporary);
    setLastErrorCode(why);
    return false;
  }
  return syncDirectory(parentFolder(path_)) && open(path_);
}

bool JournalFile::open(const std::wstring& path) {
  path_ = path;
  return openFile(path, OpenMode::ReadWrite, file_);
}

bool JournalFile::overwrite(uint64_t offset, std::span<const uint8_t> bytes) {
  return seekFile(file_, offset) && writeFully(file_, bytes.data(), bytes.size()) && flushFile(file_);
}

void JournalFile::cut(uint64_t length) {
  if (cutFileAt(file_, length)) flushFile(file_);
}

void JournalFile::close() { file_.close(); }

}  // namespace ablative
