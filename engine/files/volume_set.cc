#include "files/volume_set.h"

#include <algorithm>
#include <cwctype>
#include <optional>

#include "files/paths.h"

namespace ablative {

namespace {

constexpr size_t kNumberDigits = 3;  // at least: part 1000 follows part 999

// A part's name, split at its number.
struct PartName {
  std::wstring stem;  // the path up to and including the "."
  uint64_t number = 0;
  size_t digits = 0;
};

std::optional<PartName> partNameOf(const std::wstring& path) {
  const std::wstring name = fileNameOf(path);
  const size_t dot = name.find_last_of(L'.');
  if (dot == std::wstring::npos || dot == 0) return std::nullopt;
  const size_t digits = name.size() - dot - 1;
  if (digits < kNumberDigits || digits > 9) return std::nullopt;
  PartName part{path.substr(0, path.size() - digits), 0, digits};
  for (size_t i = dot + 1; i < name.size(); ++i) {
    if (!std::iswdigit(name[i])) return std::nullopt;
    part.number = part.number * 10 + (name[i] - L'0');
  }
  if (part.number == 0) return std::nullopt;
  return part;
}

// Numbered as the first part is, with as many digits as it has at least.
std::wstring partPath(const PartName& first, uint64_t number) {
  std::wstring digits = std::to_wstring(number);
  if (digits.size() < first.digits) digits.insert(0, first.digits - digits.size(), L'0');
  return first.stem + digits;
}

bool isFile(const std::wstring& path) { return pathStatus(path).kind == PathKind::File; }

// A part numbered past `count` beside the set: the parts between are missing.
bool laterPartExists(const std::wstring& stem, uint64_t count) {
  std::vector<DirEntry> entries;
  if (!listDirectory(parentFolder(stem).empty() ? L"." : parentFolder(stem), entries)) return false;
  const std::wstring prefix = fileNameOf(stem);
  return std::any_of(entries.begin(), entries.end(), [&](const DirEntry& entry) {
    if (entry.name.compare(0, prefix.size(), prefix) != 0) return false;
    const auto part = partNameOf(entry.name);
    return part && part->stem == prefix && part->number > count;
  });
}

Status checkPartSizes(const VolumeSet& set) {
  const uint64_t first = pathStatus(set.parts.front()).size;
  for (size_t i = 1; i < set.parts.size(); ++i) {
    const uint64_t size = pathStatus(set.parts[i]).size;
    const bool last = i + 1 == set.parts.size();
    if (size == first || (last && size < first)) continue;
    return failure(StatusKind::Failed, L"Volume set part is " + std::to_wstring(size) + L" bytes where the first is " +
                                           std::to_wstring(first) + L": " + set.parts[i]);
  }
  return {};
}

}  // namespace

std::wstring firstVolumeOf(const std::wstring& path) {
  const auto part = partNameOf(path);
  if (!part || part->number == 1) return path;
  const std::wstring first = partPath(*part, 1);
  // A name such as "report.2023" is no part unless a first part is beside it.
  if (part->digits > kNumberDigits && !isFile(first)) return path;
  return first;
}

Status findVolumeSet(const std::wstring& first, VolumeSet& set) {
  set.parts = {first};
  const auto part = partNameOf(first);
  if (!part || part->number != 1) return {};
  for (std::wstring next = partPath(*part, 2); isFile(next); next = partPath(*part, set.parts.size() + 1)) {
    set.parts.push_back(next);
  }
  if (!isFile(first)) {
    if (set.parts.size() == 1) return {};  // nothing there: opening it says so
    return failure(StatusKind::Failed, L"Volume set is missing a part: " + first);
  }
  if (laterPartExists(part->stem, set.parts.size())) {
    return failure(StatusKind::Failed, L"Volume set is missing a part: " + partPath(*part, set.parts.size() + 1));
  }
  return checkPartSizes(set);
}

Status withMissingPartHint(const VolumeSet& set, bool progress, Status read) {
  if (read.ok() || progress || read.kind == StatusKind::InUse || set.parts.size() < 2 ||
      pathStatus(set.parts.back()).size != pathStatus(set.parts.front()).size) {
    return read;
  }
  read.message = L"The volume set may lack a part after " + set.parts.back() + L" (as long as the parts before it): " +
                 read.message;
  return read;
}

bool openVolumeSet(const VolumeSet& set, OpenMode mode, FileHandle& archive) {
  if (set.parts.size() == 1) return openFile(set.parts.front(), mode, archive);
  return openParts(set.parts, mode, archive);
}

}  // namespace ablative
