#include "create/archive_parts.h"

#include <algorithm>

#include "files/file_util.h"
#include "files/paths.h"

namespace ablative {

namespace {

// How much written data is handed to the disk at a time. The disk then writes
// while the next blocks are coded instead of all at the final flush; a few
// MiB keep its queue busy without many calls.
constexpr uint64_t kWritebackStep = 8 << 20;

}  // namespace

ArchiveParts::ArchiveParts(const std::wstring& archivePath, uint64_t volumeBytes, uint64_t keptOpenBelow)
    : archivePath_(archivePath), volumeBytes_(volumeBytes), keptOpenBelow_(keptOpenBelow) {}

// A set not wholly published loses the parts already renamed too: a failed
// run leaves no part of the new set.
ArchiveParts::~ArchiveParts() {
  const bool whole = std::all_of(parts_.begin(), parts_.end(), [](const Part& part) { return part.published; });
  for (Part& part : parts_) {
    part.file.close();
    if (part.created && !part.published) removeFile(temporaryPathFor(part.path));
    if (part.published && !whole) removeFile(part.path);
  }
}

bool ArchiveParts::start() { return parts_.empty() && openNext(); }

bool ArchiveParts::openNext() {
  Part& part = parts_.emplace_back();
  part.path = volumeBytes_ != 0 ? volumePath(archivePath_, parts_.size()) : archivePath_;
  const std::wstring temporary = temporaryPathFor(part.path);
  removeFile(temporary);
  if (pathStatus(part.path).kind == PathKind::Directory) return false;
  part.created = openFile(temporary, OpenMode::CreateNew, part.file);
  return part.created;
}

bool ArchiveParts::append(const uint8_t* data, uint64_t length) {
  while (length > 0) {
    if (parts_.back().written == capacity() && !openNext()) return false;
    Part& part = parts_.back();
    const uint64_t taken = std::min(length, capacity() - part.written);
    if (!write(part, data, taken)) return false;
    if (part.written == capacity() && !closeFull(part, parts_.size() - 1)) return false;
    data += taken, length -= taken;
  }
  return true;
}

bool ArchiveParts::write(Part& part, const uint8_t* data, uint64_t length) {
  if (!writeFully(part.file, data, length)) return false;
  part.written += length;
  if (part.written - part.handedOver >= kWritebackStep) {
    startWriteback(part.file, part.handedOver, part.written);
    part.handedOver = part.written;
  }
  return true;
}

bool ArchiveParts::closeFull(Part& part, size_t index) {
  if (index * volumeBytes_ < keptOpenBelow_) return true;
  return flushFile(part.file) && part.file.close();
}

bool ArchiveParts::overwrite(uint64_t offset, const uint8_t* data, uint64_t length) {
  while (length > 0) {
    const size_t index = volumeBytes_ != 0 ? static_cast<size_t>(offset / volumeBytes_) : 0;
    if (index >= parts_.size() || !parts_[index].file.isOpen()) return false;
    Part& part = parts_[index];
    const uint64_t at = offset - index * volumeBytes_;
    const uint64_t taken = std::min(length, part.written - std::min(at, part.written));
    if (taken == 0 || !seekFile(part.file, at) || !writeFully(part.file, data, taken)) return false;
    data += taken, offset += taken, length -= taken;
  }
  return true;
}

bool ArchiveParts::finish() {
  return std::all_of(parts_.begin(), parts_.end(),
                     [](Part& part) { return !part.file.isOpen() || (flushFile(part.file) && part.file.close()); });
}

bool ArchiveParts::publish() {
  for (Part& part : parts_) {
    if (!renameReplace(temporaryPathFor(part.path), part.path)) return false;
    part.published = true;
  }
  return true;
}

}  // namespace ablative
