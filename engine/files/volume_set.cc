#include "files/volume_set.h"

#include <algorithm>
#include <cwctype>
#include <optional>
#include <string_view>

#include "files/paths.h"

namespace ablative {

namespace {

// The two ways a set's parts are named: NAME.001, NAME.002, … (at least
// three digits: part 1000 follows part 999), and a split zip's NAME.z01,
// NAME.z02, …, closed by NAME.zip.
struct PartName {
  std::wstring stem;    // the path up to and including the "."
  std::wstring letter;  // "z" or "Z" for a split zip's parts, else ""
  uint64_t number = 0;  // from 1; 0 for a split zip's closing part
  size_t digits = 0;
};

size_t fewestDigits(const PartName& part) { return part.letter.empty() ? 3 : 2; }

std::optional<PartName> partNameOf(const std::wstring& path) {
  const std::wstring name = fileNameOf(path);
  const size_t dot = name.find_last_of(L'.');
  if (dot == std::wstring::npos || dot == 0) return std::nullopt;
  std::wstring_view suffix = std::wstring_view(name).substr(dot + 1);
  PartName part{.stem = path.substr(0, path.size() - suffix.size()), .letter = {}};
  if (suffix == L"zip" || suffix == L"ZIP") {
    part.letter = suffix.substr(0, 1);
    return part;
  }
  if (!suffix.empty() && (suffix[0] == L'z' || suffix[0] == L'Z')) {
    part.letter = suffix.substr(0, 1);
    suffix.remove_prefix(1);
  }
  part.digits = suffix.size();
  if (part.digits < fewestDigits(part) || part.digits > 9) return std::nullopt;
  for (wchar_t digit : suffix) {
    if (!std::iswdigit(digit)) return std::nullopt;
    part.number = part.number * 10 + (digit - L'0');
  }
  if (part.number == 0) return std::nullopt;
  return part;
}

// Part `number` of the set `part` belongs to: zero-padded as it is where its
// number is, else to the fewest digits.
std::wstring partPath(const PartName& part, uint64_t number) {
  std::wstring digits = std::to_wstring(number);
  const bool padded = part.number != 0 && std::to_wstring(part.number).size() < part.digits;
  const size_t width = padded ? part.digits : fewestDigits(part);
  if (digits.size() < width) digits.insert(0, width - digits.size(), L'0');
  return part.stem + part.letter + digits;
}

// A split zip's last part, NAME.zip; "" for numbered parts.
std::wstring closingPart(const PartName& part) {
  return part.letter.empty() ? std::wstring() : part.stem + (part.letter == L"z" ? L"zip" : L"ZIP");
}

bool isFile(const std::wstring& path) { return pathStatus(path).kind == PathKind::File; }

// A part numbered past `count` beside the set: the parts between are missing.
bool laterPartExists(const PartName& first, uint64_t count) {
  std::vector<DirEntry> entries;
  if (!listDirectory(parentFolder(first.stem).empty() ? L"." : parentFolder(first.stem), entries)) return false;
  const std::wstring prefix = fileNameOf(first.stem);
  return std::any_of(entries.begin(), entries.end(), [&](const DirEntry& entry) {
    if (entry.name.compare(0, prefix.size(), prefix) != 0) return false;
    const auto part = partNameOf(entry.name);
    return part && part->stem == prefix && part->letter == first.letter && part->number > count;
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
  // A name such as "report.2023" or "photos.zip" is no part unless a first part is beside it.
  if ((part->number == 0 || part->digits > fewestDigits(*part)) && !isFile(first)) return path;
  return first;
}

Status findVolumeSet(const std::wstring& first, VolumeSet& set) {
  set.parts = {first};
  const auto part = partNameOf(first);
  if (!part || part->number != 1) return {};
  for (std::wstring next = partPath(*part, 2); isFile(next); next = partPath(*part, set.parts.size() + 1)) {
    set.parts.push_back(next);
  }
  const uint64_t numbered = set.parts.size();
  if (const std::wstring closing = closingPart(*part); !closing.empty() && isFile(closing)) set.parts.push_back(closing);
  if (!isFile(first)) {
    if (set.parts.size() == 1) return {};  // nothing there: opening it says so
    return failure(StatusKind::Failed, L"Volume set is missing a part: " + first);
  }
  if (laterPartExists(*part, numbered)) {
    return failure(StatusKind::Failed, L"Volume set is missing a part: " + partPath(*part, numbered + 1));
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

std::wstring volumePath(const std::wstring& archivePath, uint64_t number) {
  return partPath(PartName{.stem = archivePath + L".", .letter = {}}, number);
}

bool volumesAt(const std::wstring& archivePath, std::vector<NumberedVolume>& found) {
  const std::wstring folder = parentFolder(archivePath);
  std::vector<DirEntry> entries;
  if (!listDirectory(folder.empty() ? L"." : folder, entries)) return pathStatus(folder).kind == PathKind::Missing;
  const std::wstring stem = fileNameOf(archivePath) + L".";
  for (const DirEntry& entry : entries) {
    const auto part = partNameOf(entry.name);
    if (entry.kind == PathKind::File && part && part->letter.empty() && part->stem == stem) {
      found.push_back({part->number, joinPath(folder, entry.name)});
    }
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.number < b.number; });
  return true;
}

bool openVolumeSet(const VolumeSet& set, OpenMode mode, FileHandle& archive) {
  if (set.parts.size() == 1) return openFile(set.parts.front(), mode, archive);
  return openParts(set.parts, mode, archive);
}

}  // namespace ablative
