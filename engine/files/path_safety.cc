#include "files/path_safety.h"

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <string_view>
#include <unordered_set>

#include "files/path_tree.h"
#include "files/paths.h"
#include "platform/utf8.h"

namespace ablative {

namespace {

std::wstring asciiUpper(std::wstring text) {
  for (wchar_t& ch : text) {
    if (ch >= L'a' && ch <= L'z') ch = static_cast<wchar_t>(ch - L'a' + L'A');
  }
  return text;
}

// Windows opens a device for these names whatever extension follows them.
bool isReservedDeviceName(const std::wstring& component) {
  std::wstring base = component.substr(0, component.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  base = asciiUpper(base);
  static const std::unordered_set<std::wstring> kDevices = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  if (kDevices.count(base) != 0) return true;
  if (base.size() != 4 || (base.compare(0, 3, L"COM") != 0 && base.compare(0, 3, L"LPT") != 0)) return false;
  wchar_t digit = base[3];
  return (digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
}

bool isWindowsSafeComponent(const std::wstring& component) {
  for (wchar_t ch : component) {
    if (ch < 0x20 || std::wstring_view(L":<>\"|?*").find(ch) != std::wstring_view::npos) return false;
  }
  if (component.back() == L'.' || component.back() == L' ') return false;
  return !isReservedDeviceName(component);
}

bool isSafeComponent(const std::wstring& component, bool windowsRules) {
  if (component.empty() || component == L"." || component == L"..") return false;
  return !windowsRules || isWindowsSafeComponent(component);
}

std::wstring comparisonKey(const std::wstring& path, bool windowsRules) {
  return windowsRules ? upperCaseName(path) : path;
}

// Whether `path` holds a file of `isFile` (per node of `tree`), at it or above.
bool fileAtOrAbove(const PathTree& tree, const std::vector<uint8_t>& isFile, std::wstring_view path) {
  uint32_t node = PathTree::kRoot;
  for (size_t start = 0; start <= path.size();) {
    const size_t slash = std::min(path.find(L'/', start), path.size());
    node = tree.find(node, path.substr(start, slash - start));
    if (node == PathTree::kNone) return false;
    if (isFile[node]) return true;
    start = slash + 1;
  }
  return false;
}

void appendEscape(std::wstring& shown, const wchar_t* format, uint32_t value) {
  wchar_t escape[8];
  std::swprintf(escape, std::size(escape), format, value);
  shown += escape;
}

// Characters that move the cursor, end a line or reorder what follows.
bool isControlToShow(uint32_t cp) {
  return (cp >= 0x80 && cp <= 0x9F) || cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x2028 && cp <= 0x202E) ||
         (cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

bool isSafeStoredPath(std::string_view utf8, bool windowsRules) {
  if (utf8.empty() || utf8.find('\0') != std::string::npos) return false;
  if (windowsRules && !isValidUtf8(utf8)) return false;
  const std::wstring path = nameFromBytes(utf8);
  if (path.find(L'\\') != std::wstring::npos || path[0] == L'/') return false;
  for (size_t start = 0; start <= path.size();) {
    const size_t slash = std::min(path.find(L'/', start), path.size());
    if (!isSafeComponent(path.substr(start, slash - start), windowsRules)) return false;
    start = slash + 1;
  }
  return true;
}

UnsafePaths findUnsafePaths(const std::vector<std::string_view>& storedPaths,
                            const std::vector<std::string_view>& folders, bool windowsRules) {
  UnsafePaths found{storedPaths.size(), folders.size()};
  PathTree tree;
  std::vector<uint8_t> isFile(1, 0);  // per node of the tree
  for (size_t i = 0; i < storedPaths.size(); ++i) {
    if (!isSafeStoredPath(storedPaths[i], windowsRules)) return found.file = i, found;
    const std::wstring key = comparisonKey(nameFromBytes(storedPaths[i]), windowsRules);
    bool clash = false;
    walkPath(tree, key, [&](uint32_t node, size_t end, bool added) {
      if (added) isFile.push_back(0);
      const bool last = end == key.size();
      clash = isFile[node] != 0 || (last && !added);  // a file above, or something there already
      if (last && !clash) isFile[node] = 1;
      return !clash;
    });
    if (clash) return found.file = i, found;
  }
  for (size_t j = 0; j < folders.size(); ++j) {
    if (!isSafeStoredPath(folders[j], windowsRules) ||
        fileAtOrAbove(tree, isFile, comparisonKey(nameFromBytes(folders[j]), windowsRules))) {
      return found.folder = j, found;
    }
  }
  return found;
}

size_t findUnsafePath(const std::vector<std::string_view>& storedPaths, bool windowsRules) {
  return findUnsafePaths(storedPaths, {}, windowsRules).file;
}

std::string withoutDotComponents(std::string_view path) {
  std::string kept;
  kept.reserve(path.size());
  bool first = true;
  for (size_t start = 0; start <= path.size();) {
    const size_t slash = std::min(path.find('/', start), path.size());
    const std::string_view component = path.substr(start, slash - start);
    if (component != ".") kept.append(first ? "" : "/").append(component), first = false;
    start = slash + 1;
  }
  return kept;
}

std::wstring displayText(const std::wstring& text) {
  std::wstring shown;
  shown.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto cp = static_cast<uint32_t>(text[i]);
    const bool pairStart = sizeof(wchar_t) == 2 && cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() &&
                           text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
    if (pairStart) {
      shown.append(text, i++, 2);
    } else if (cp == L'\n' || cp == L'\t' || cp == L'\r') {
      shown += cp == L'\n' ? L"\\n" : cp == L'\t' ? L"\\t" : L"\\r";
    } else if (cp < 0x20 || cp == 0x7F) {
      appendEscape(shown, L"\\%03o", cp);
    } else if (cp >= 0xDC80 && cp <= 0xDCFF) {
      appendEscape(shown, L"\\x%02X", cp - 0xDC00);  // a byte that is not UTF-8
    } else if ((cp >= 0xD800 && cp <= 0xDFFF) || isControlToShow(cp)) {
      appendEscape(shown, L"\\u%04X", cp);
    } else {
      shown += text[i];
    }
  }
  return shown;
}

ProtectedFiles::ProtectedFiles(const std::vector<std::wstring>& paths, bool windowsRules)
    : windowsRules_(windowsRules) {
  for (const std::wstring& path : paths) {
    Entry entry;
    entry.folder = folderIdentity(parentFolder(path));
    entry.nameKey = nameKey(fileNameOf(path));
    FileIdentity identity;
    if (fileIdentity(path, identity)) entry.file = identity;
    entries_.push_back(std::move(entry));
  }
}

bool ProtectedFiles::includes(const std::wstring& destinationPath) {
  std::optional<FileIdentity> folder = folderIdentity(parentFolder(destinationPath));
  std::wstring name = nameKey(fileNameOf(destinationPath));
  std::optional<FileIdentity> file;
  FileIdentity identity;
  if (folder && fileIdentity(destinationPath, identity)) file = identity;
  for (const Entry& entry : entries_) {
    // A protected file whose folder could not be looked up is matched by name alone.
    bool sameFolder = !entry.folder || (folder && entry.folder == folder);
    if (sameFolder && entry.nameKey == name) return true;
    if (file && entry.file == file) return true;
  }
  return false;
}

std::optional<FileIdentity> ProtectedFiles::folderIdentity(const std::wstring& folder) {
  auto known = folders_.find(folder);
  if (known != folders_.end()) return known->second;
  std::optional<FileIdentity> result;
  FileIdentity identity;
  if (fileIdentity(folder, identity)) result = identity;
  folders_.emplace(folder, result);
  return result;
}

std::wstring ProtectedFiles::nameKey(const std::wstring& name) const { return comparisonKey(name, windowsRules_); }

}  // namespace ablative
