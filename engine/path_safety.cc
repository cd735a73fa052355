#include "path_safety.h"

#include <string_view>
#include <unordered_set>

#include "paths.h"

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

std::vector<std::wstring> componentsOf(const std::wstring& path) {
  std::vector<std::wstring> components;
  size_t start = 0;
  for (;;) {
    size_t end = path.find(L'/', start);
    components.push_back(path.substr(start, end - start));
    if (end == std::wstring::npos) return components;
    start = end + 1;
  }
}

std::wstring comparisonKey(const std::wstring& path, bool windowsRules) {
  return windowsRules ? upperCaseName(path) : path;
}

// Valid UTF-8 converts both ways unchanged; a platform that replaces bad
// bytes instead of failing gives itself away by the round trip.
std::wstring strictFromUtf8(const std::string& utf8) {
  std::wstring wide = fromUtf8(utf8);
  return toUtf8(wide) == utf8 ? wide : std::wstring();
}

}  // namespace

bool isSafeStoredPath(const std::string& utf8, bool windowsRules) {
  if (utf8.empty() || utf8.find('\0') != std::string::npos) return false;
  std::wstring path = strictFromUtf8(utf8);
  if (path.empty() || path.find(L'\\') != std::wstring::npos || path[0] == L'/') return false;
  for (const std::wstring& component : componentsOf(path)) {
    if (!isSafeComponent(component, windowsRules)) return false;
  }
  return true;
}

size_t findUnsafePath(const std::vector<std::string>& storedPaths, bool windowsRules) {
  std::unordered_set<std::wstring> files, folders;
  for (size_t i = 0; i < storedPaths.size(); ++i) {
    if (!isSafeStoredPath(storedPaths[i], windowsRules)) return i;
    std::wstring key = comparisonKey(fromUtf8(storedPaths[i]), windowsRules);
    if (files.count(key) != 0 || folders.count(key) != 0) return i;
    for (size_t cut = key.find(L'/'); cut != std::wstring::npos; cut = key.find(L'/', cut + 1)) {
      std::wstring folder = key.substr(0, cut);
      if (files.count(folder) != 0) return i;
      folders.insert(std::move(folder));
    }
    files.insert(std::move(key));
  }
  return storedPaths.size();
}

std::wstring displayPath(const std::string& utf8) {
  std::wstring text = strictFromUtf8(utf8);
  if (!text.empty() || utf8.empty()) return text;
  static const wchar_t kHex[] = L"0123456789ABCDEF";
  for (unsigned char byte : utf8) {
    if (byte >= 0x20 && byte < 0x7F) {
      text += static_cast<wchar_t>(byte);
    } else {
      text += std::wstring(L"\\x") + kHex[byte >> 4] + kHex[byte & 15];
    }
  }
  return text;
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
