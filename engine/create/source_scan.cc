#include "create/source_scan.h"

#include <algorithm>

#include "files/path_safety.h"
#include "files/paths.h"
#include "platform/env.h"

namespace ablative {

namespace {

// The code units of `text` in UTF-16, whatever the width of wchar_t.
std::u16string utf16Units(const std::wstring& text) {
  std::u16string units;
  units.reserve(text.size());
  for (wchar_t ch : text) {
    auto cp = static_cast<uint32_t>(ch);
    if constexpr (sizeof(wchar_t) == 4) {
      if (cp >= 0x10000) {
        cp -= 0x10000;
        units += static_cast<char16_t>(0xD800 + (cp >> 10));
        units += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        continue;
      }
    }
    units += static_cast<char16_t>(cp);
  }
  return units;
}

// A single file's stored name: its last component, without a drive ("C:x").
std::wstring lastComponent(const std::wstring& path) {
  std::wstring name = fileNameOf(path);
  if (kPathSeparator == L'\\' && name.size() == path.size() && name.size() >= 2 && name[1] == L':') name.erase(0, 2);
  return name;
}

// What an extraction here takes back as the same file: a UTF-8 form that
// this platform's rules accept (a backslash would turn into a folder).
bool storable(const std::string& utf8) { return !utf8.empty() && isSafeStoredPath(utf8); }

Status unsupportedName(const std::wstring& path) {
  return failure(StatusKind::Failed, L"File name not supported by the archive format: " + path);
}

struct Folder {
  std::wstring path;
  std::wstring relative;  // "" for the root, else ending in "/"
};

// Reads what a scan of every entry keeps of `path` into `entry`: its type,
// time, mode and a link's target (`asLink`). A link whose target this
// platform cannot read is left to be followed.
bool readMetadata(const std::wstring& path, SourceEntry& entry, bool& asLink) {
  EntryStatus status;
  if (!entryStatus(path, status)) return false;
  entry.modifiedNs = status.modifiedNs;
  entry.mode = status.mode;
  if (status.kind == PathKind::Directory) entry.type = EntryType::Folder, entry.size = 0;
  std::wstring target;
  if (status.kind != PathKind::Link || !readLinkTarget(path, target)) return true;
  asLink = true;
  std::replace(target.begin(), target.end(), kPathSeparator, L'/');
  entry.type = EntryType::Link;
  entry.linkTarget = toUtf8(target);
  entry.size = entry.linkTarget.size();
  return !entry.linkTarget.empty();
}

}  // namespace

std::wstring SourceFiles::sourcePathOf(const SourceEntry& entry) const {
  return inputIsFolder ? joinPath(inputPath, fromUtf8(entry.relativePathUtf8)) : inputPath;
}

Status collectSourceFiles(const std::wstring& inputPath, ScanScope scope, SourceFiles& source) {
  source = {};
  PathStatus status = pathStatus(inputPath);
  switch (status.kind) {
    case PathKind::Missing: return failure(StatusKind::Failed, L"Input path does not exist");
    case PathKind::Error: return failure(StatusKind::Failed, L"Unable to access input path");
    case PathKind::Other:
    case PathKind::Link:  // not reported by a status that follows links
      return failure(StatusKind::Failed, L"Input path is neither a file nor a directory");
    case PathKind::File: {
      const std::wstring name = lastComponent(inputPath);
      SourceEntry entry;
      entry.relativePathUtf8 = toUtf8(name), entry.size = status.size;
      if (!storable(entry.relativePathUtf8)) return unsupportedName(inputPath);
      EntryStatus own;
      if (scope == ScanScope::EveryEntry && entryStatus(inputPath, own))
        entry.modifiedNs = own.modifiedNs, entry.mode = own.mode;
      source = {inputPath, false, {entry}};
      return {};
    }
    case PathKind::Directory: break;
  }

  std::vector<SourceEntry> files;
  // Sort keys, built while the wide names are at hand: a sort by code unit
  // must not convert on every comparison.
  std::vector<std::pair<std::u16string, size_t>> keys;
  std::vector<Folder> pending{{inputPath, L""}};
  std::vector<DirEntry> listing;
  while (!pending.empty()) {
    Folder folder = std::move(pending.back());
    pending.pop_back();
    if (!listDirectory(folder.path, listing)) {
      const uint32_t code = lastErrorCode();
      if (isAccessDeniedError(code)) continue;
      return failure(StatusKind::Failed,
                     L"Failed while scanning source directory: " + folder.path + L" (" + systemErrorText(code) + L")");
    }
    for (DirEntry& item : listing) {
      const std::wstring path = joinPath(folder.path, item.name);
      const std::wstring relative = folder.relative + item.name;
      const bool wanted = item.kind == PathKind::File || item.kind == PathKind::Directory;
      if ((wanted || (item.isLink && scope == ScanScope::EveryEntry)) && !item.nameIsText) {
        return unsupportedName(path);
      }
      SourceEntry entry;
      entry.relativePathUtf8 = toUtf8(relative), entry.size = item.size;
      bool asLink = false;
      if (scope == ScanScope::EveryEntry && (wanted || item.isLink) && !readMetadata(path, entry, asLink)) {
        return failure(StatusKind::Failed, L"Unable to access input path: " + path);
      }
      if (!asLink && item.kind == PathKind::Directory) {
        if (!item.isLink) pending.push_back({path, relative + L"/"});
        if (scope == ScanScope::Files || item.isLink) continue;
      } else if (!asLink && item.kind != PathKind::File) {
        continue;  // dangling links, devices, sockets
      }
      if (!storable(entry.relativePathUtf8)) return unsupportedName(path);
      keys.emplace_back(utf16Units(relative), files.size());
      files.push_back(std::move(entry));
    }
  }
  if (files.empty()) return failure(StatusKind::Failed, L"Input directory contains no regular files");

  std::sort(keys.begin(), keys.end());
  source = {inputPath, true, {}};
  source.entries.reserve(files.size());
  for (auto& key : keys) source.entries.push_back(std::move(files[key.second]));
  return {};
}

}  // namespace ablative
