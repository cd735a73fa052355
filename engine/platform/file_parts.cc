#include "platform/file_parts.h"

#include <algorithm>
#include <memory>

#include "platform/env_platform.h"

namespace ablative {

namespace {

// The part holding byte `position`; the last one for a position at or past the end.
FilePart& partAt(FileParts& file, uint64_t position) {
  auto after = std::upper_bound(file.parts.begin(), file.parts.end(), position,
                                [](uint64_t at, const FilePart& part) { return at < part.start; });
  return *std::prev(after);
}

template <typename Each>
bool eachPart(FileParts& file, const Each& each) {
  return std::all_of(file.parts.begin(), file.parts.end(), each);
}

// Calls `each` with every part overlapping [first, end) and that range in the
// part's own offsets.
template <typename Each>
bool eachOverlap(FileParts& file, uint64_t first, uint64_t end, const Each& each) {
  return eachPart(file, [&](FilePart& part) {
    const uint64_t from = std::max(first, part.start), to = std::min(end, part.start + part.size);
    return from >= to || each(part, from - part.start, to - part.start);
  });
}

}  // namespace

bool openParts(const std::vector<std::wstring>& paths, OpenMode mode, FileHandle& file) {
  file.close();
  auto opened = std::make_unique<FileParts>();
  const size_t cut = paths.front().find_last_of(platform::kSeparators);
  opened->folder = cut == std::wstring::npos ? std::wstring() : paths.front().substr(0, cut == 0 ? 1 : cut);
  opened->parts.reserve(paths.size());  // each part's handle stays where the I/O hook first saw it
  uint64_t start = 0;
  for (const std::wstring& path : paths) {
    FilePart& part = opened->parts.emplace_back();
    part.path = path;
    part.start = start;
    if (!openFile(path, mode, part.handle) || !fileSize(part.handle, part.size)) return false;
    start += part.size;
  }
  file.parts = std::move(opened);
  return true;
}

namespace parts {

// A transfer stops at the end of its part, as a short one may.
bool transfer(FileParts& file, bool write, uint64_t position, void* buffer, uint32_t length, uint32_t& moved) {
  FilePart& part = partAt(file, position);
  const bool last = &part == &file.parts.back();
  if (!last) length = static_cast<uint32_t>(std::min<uint64_t>(length, part.start + part.size - position));
  if (!seekFile(part.handle, position - part.start)) return false;
  const bool ok = write ? writeSome(part.handle, buffer, length, moved) : readSome(part.handle, buffer, length, moved);
  if (ok && write && last) part.size = std::max(part.size, position - part.start + moved);
  return ok;
}

bool size(FileParts& file, uint64_t& total) {
  FilePart& last = file.parts.back();
  if (!fileSize(last.handle, last.size)) return false;
  total = last.start + last.size;
  return true;
}

bool cut(FileParts& file, uint64_t end) {
  while (file.parts.size() > 1 && file.parts.back().start >= end) {
    FilePart& last = file.parts.back();
    last.handle.close();
    if (!removeFile(last.path) && !isNotFoundError(lastErrorCode())) return false;
    if (!syncDirectory(file.folder)) return false;
    file.parts.pop_back();
  }
  FilePart& last = file.parts.back();
  if (!seekFile(last.handle, end - last.start) || !setEndOfFile(last.handle)) return false;
  last.size = end - last.start;
  return true;
}

bool zeroRange(FileParts& file, uint64_t first, uint64_t end) {
  return eachOverlap(file, first, end, [](FilePart& part, uint64_t from, uint64_t to) {
    return ablative::zeroRange(part.handle, from, to);
  });
}

bool findHoles(FileParts& file, uint64_t first, uint64_t end, std::vector<ByteRange>& holes) {
  std::vector<ByteRange> inPart;
  return eachOverlap(file, first, end, [&](FilePart& part, uint64_t from, uint64_t to) {
    if (!ablative::findHoles(part.handle, from, to, inPart)) return false;
    for (const ByteRange& hole : inPart) {
      const ByteRange whole{part.start + hole.first, part.start + hole.end};
      if (!holes.empty() && holes.back().end == whole.first) {
        holes.back().end = whole.end;
      } else {
        holes.push_back(whole);
      }
    }
    return true;
  });
}

bool markSparse(FileParts& file) {
  return eachPart(file, [](FilePart& part) { return ablative::markSparse(part.handle); });
}

// The last first: only the last part changes length, and where a flush of
// any file writes out the whole allocation table (FAT), flushing another part
// first would make the last one's shorter chain durable before its length.
bool flush(FileParts& file) {
  return std::all_of(file.parts.rbegin(), file.parts.rend(), [](FilePart& part) { return flushFile(part.handle); });
}

bool lock(FileParts& file, bool exclusive) {
  return eachPart(file, [&](FilePart& part) { return lockFile(part.handle, exclusive); });
}

bool openAgain(FileParts& file, FileHandle& again) {
  auto opened = std::make_unique<FileParts>();
  opened->folder = file.folder;
  opened->parts.reserve(file.parts.size());
  for (FilePart& part : file.parts) {
    FilePart& copy = opened->parts.emplace_back();
    copy.path = part.path;
    copy.start = part.start;
    copy.size = part.size;
    if (!ablative::openAgain(part.handle, copy.handle)) return false;
  }
  again.parts = std::move(opened);
  return true;
}

// A part with another name is as good as a set with one: consuming it would
// empty a file that name still shows.
bool linkCount(FileParts& file, uint32_t& links) {
  links = 1;
  return eachPart(file, [&](FilePart& part) {
    uint32_t its = 0;
    if (!ablative::linkCount(part.handle, its)) return false;
    links = std::max(links, its);
    return true;
  });
}

}  // namespace parts
}  // namespace ablative
