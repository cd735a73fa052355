#include "files/paths.h"

namespace ablative {

namespace {

constexpr bool kBackslashPaths = kPathSeparator == L'\\';

bool isSeparator(wchar_t ch) { return ch == L'/' || (kBackslashPaths && ch == L'\\'); }

size_t lastSeparator(const std::wstring& path) { return path.find_last_of(kBackslashPaths ? L"\\/" : L"/"); }

}  // namespace

std::wstring parentFolder(const std::wstring& path) {
  size_t cut = lastSeparator(path);
  if (cut == std::wstring::npos) return L"";
  if (cut == 0) return path.substr(0, 1);
  if (kBackslashPaths && cut == 2 && path[1] == L':') return path.substr(0, 3);
  return path.substr(0, cut);
}

std::wstring nearestFolder(const std::wstring& path, uint64_t& missing) {
  std::wstring folder = path;
  while (!folder.empty() && pathStatus(folder).kind != PathKind::Directory) {
    const std::wstring parent = parentFolder(folder);
    if (parent == folder) break;
    folder = parent;
    ++missing;
  }
  return folder;
}

std::wstring nearestFolder(const std::wstring& path) {
  uint64_t ignored = 0;
  return nearestFolder(path, ignored);
}

std::wstring fileNameOf(const std::wstring& path) {
  size_t cut = lastSeparator(path);
  return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

std::wstring temporaryPathFor(const std::wstring& path) { return path + L".creating"; }

std::wstring joinPath(const std::wstring& folder, const std::wstring& relativePath) {
  std::wstring path = folder;
  bool driveOnly = kBackslashPaths && path.size() == 2 && path[1] == L':';  // "C:" means that drive's current folder
  if (!path.empty() && !isSeparator(path.back()) && !driveOnly) path += kPathSeparator;
  for (wchar_t ch : relativePath) path += ch == L'/' ? kPathSeparator : ch;
  return path;
}

}  // namespace ablative
