#include "source_scan.h"

#include <algorithm>

#include "env.h"
#include "paths.h"

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

std::vector<SourceEntry> failWith(std::wstring& errorText, const std::wstring& message) {
  errorText = message;
  return {};
}

// A stored name must come back as the same file on extraction: it needs a
// UTF-8 form, and a backslash inside a name would turn into a folder there.
bool storable(const SourceEntry& entry) {
  return !entry.relativePathUtf8.empty() &&
         (kPathSeparator == L'\\' || entry.relativePath.find(L'\\') == std::wstring::npos);
}

struct Folder {
  std::wstring path;
  std::wstring relative;  // "" for the root, else ending in "/"
};

}  // namespace

std::vector<SourceEntry> collectSourceFiles(const std::wstring& inputPath, std::wstring& errorText) {
  PathStatus status = pathStatus(inputPath);
  switch (status.kind) {
    case PathKind::Missing: return failWith(errorText, L"Input path does not exist");
    case PathKind::Error: return failWith(errorText, L"Unable to access input path");
    case PathKind::Other: return failWith(errorText, L"Input path is neither a file nor a directory");
    case PathKind::File: {
      SourceEntry entry{inputPath, lastComponent(inputPath), {}, status.size};
      entry.relativePathUtf8 = toUtf8(entry.relativePath);
      if (!storable(entry)) return failWith(errorText, L"File name not supported by the archive format: " + inputPath);
      return {entry};
    }
    case PathKind::Directory: break;
  }

  std::vector<SourceEntry> files;
  std::vector<Folder> pending{{inputPath, L""}};
  std::vector<DirEntry> listing;
  while (!pending.empty()) {
    Folder folder = std::move(pending.back());
    pending.pop_back();
    if (!listDirectory(folder.path, listing)) {
      if (isAccessDeniedError(lastErrorCode())) continue;
      return failWith(errorText, L"Failed while scanning source directory");
    }
    for (DirEntry& item : listing) {
      std::wstring path = joinPath(folder.path, item.name);
      if (item.kind == PathKind::Directory) {
        if (!item.isLink) pending.push_back({path, folder.relative + item.name + L"/"});
        continue;
      }
      if (item.kind != PathKind::File) continue;  // dangling links, devices, sockets
      SourceEntry entry{path, folder.relative + item.name, {}, item.size};
      entry.relativePathUtf8 = toUtf8(entry.relativePath);
      if (!storable(entry)) return failWith(errorText, L"File name not supported by the archive format: " + path);
      files.push_back(std::move(entry));
    }
  }
  if (files.empty()) return failWith(errorText, L"Input directory contains no regular files");

  // Precomputed keys: a sort by code unit must not convert on every comparison.
  std::vector<std::pair<std::u16string, size_t>> keys(files.size());
  for (size_t i = 0; i < files.size(); ++i) keys[i] = {utf16Units(files[i].relativePath), i};
  std::sort(keys.begin(), keys.end());
  std::vector<SourceEntry> sorted;
  sorted.reserve(files.size());
  for (auto& key : keys) sorted.push_back(std::move(files[key.second]));
  return sorted;
}

}  // namespace ablative
