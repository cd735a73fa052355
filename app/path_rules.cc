#include "path_rules.h"

#include <algorithm>

#include "ablative.h"
#include "containers/format_table.h"
#include "files/volume_set.h"
#include "platform/env.h"

namespace zarvik {

namespace {

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool hasDrive(const std::wstring& path) { return path.size() >= 2 && path[1] == L':'; }

// Length of the root: "C:", "C:\", "\", or "\\server\" of a network path.
size_t rootLength(const std::wstring& path) {
  if (hasDrive(path)) return path.size() > 2 && isSeparator(path[2]) ? 3 : 2;
  if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) {
    size_t serverEnd = path.find_first_of(L"\\/", 2);
    return serverEnd == std::wstring::npos ? path.size() : serverEnd + 1;
  }
  return !path.empty() && isSeparator(path[0]) ? 1 : 0;
}

// The file name without a ":stream" suffix.
std::wstring nameWithoutStream(const std::wstring& path) {
  std::wstring name = fileNameOf(path);
  return name.substr(0, name.find(L':'));
}

bool equalsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b) {
  auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool isDigits(std::wstring_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

// Numbered from 1 as the engine reads sets: three digits, or more where the
// engine finds the first part beside it.
bool isNumberedPart(const std::wstring& path, std::wstring_view number) {
  if (number.size() < 3 || !isDigits(number) || number.find_first_not_of(L'0') == std::wstring_view::npos) return false;
  return number.size() == 3 || ablative::firstVolumeOf(path) != path;
}

// The first parts of volume sets: numbered ones, and a split zip's.
const wchar_t* const kFirstPartExtensions[] = {L".001", L".z01"};

ablative::PathKind kindOf(const std::wstring& path) { return ablative::pathStatus(path).kind; }

}  // namespace

std::wstring fileNameOf(const std::wstring& path) {
  size_t start = std::max(rootLength(path), path.find_last_of(L"\\/") + 1);
  return start >= path.size() ? std::wstring() : path.substr(start);
}

std::wstring extensionOf(const std::wstring& path) {
  std::wstring name = nameWithoutStream(path);
  if (name == L"." || name == L"..") return {};
  size_t dot = name.rfind(L'.');
  return dot == std::wstring::npos || dot == 0 ? std::wstring() : name.substr(dot);
}

std::wstring stemOf(const std::wstring& path) {
  std::wstring name = nameWithoutStream(path);
  return name.substr(0, name.size() - extensionOf(path).size());
}

std::wstring parentOf(const std::wstring& path) {
  size_t root = rootLength(path);
  size_t end = path.size() - fileNameOf(path).size();
  while (end > root && isSeparator(path[end - 1])) --end;
  return path.substr(0, end);
}

std::wstring joinPath(const std::wstring& folder, const std::wstring& name) {
  bool driveOnly = folder.size() == 2 && hasDrive(folder);  // "C:" + "x" names x in C:'s current folder
  if (folder.empty() || driveOnly || isSeparator(folder.back())) return folder + name;
  return folder + L'\\' + name;
}

bool pathExists(const std::wstring& path) {
  ablative::PathKind kind = kindOf(path);
  return kind != ablative::PathKind::Missing && kind != ablative::PathKind::Error;
}

bool isRegularFile(const std::wstring& path) { return kindOf(path) == ablative::PathKind::File; }

bool isDirectory(const std::wstring& path) { return kindOf(path) == ablative::PathKind::Directory; }

std::wstring withArchiveExtension(const std::wstring& path) {
  return extensionOf(path).empty() ? path + ablative::kArchiveExtension : path;
}

std::vector<std::wstring> archiveExtensionsOf(std::wstring_view format) {
  std::vector<std::wstring> whole, byLastPart;
  for (const std::wstring_view known : ablative::extensionsOf(format)) {
    const std::wstring extension(known.substr(known.rfind(L'.')));
    (extension == known ? whole : byLastPart).push_back(extension);
    if (known == ablative::kArchiveExtension) whole.push_back(ablative::kJournalExtension);
  }
  whole.insert(whole.end(), byLastPart.begin(), byLastPart.end());
  return whole;
}

std::vector<std::wstring> archiveExtensions() {
  std::vector<std::wstring> all;
  for (const ablative::FormatExtensions& row : ablative::formatExtensions()) {
    for (std::wstring& extension : archiveExtensionsOf(row.format)) all.push_back(std::move(extension));
  }
  all.insert(all.end(), std::begin(kFirstPartExtensions), std::end(kFirstPartExtensions));
  return all;
}

bool hasArchiveOrJournalExtension(const std::wstring& path) {
  if (volumeSetNameOf(path) != path) return true;
  const std::wstring extension = extensionOf(path);
  const std::vector<std::wstring> known = archiveExtensions();
  return std::any_of(known.begin(), known.end(),
                     [&](const std::wstring& archive) { return equalsIgnoringAsciiCase(extension, archive); });
}

std::wstring volumeSetNameOf(const std::wstring& path) {
  const std::wstring extension = extensionOf(path);
  const std::wstring_view suffix = std::wstring_view(extension).substr(std::min<size_t>(1, extension.size()));
  const std::wstring withoutPart = path.substr(0, path.size() - fileNameOf(path).size()) + stemOf(path);
  if (isNumberedPart(path, suffix)) return withoutPart;
  const bool zipPart = suffix.size() >= 3 && (suffix[0] == L'z' || suffix[0] == L'Z') && isDigits(suffix.substr(1));
  return zipPart ? withoutPart + L".zip" : path;
}

std::wstring extractionFolderOf(const std::wstring& archive) { return stemOf(volumeSetNameOf(archive)); }

std::wstring archiveFieldText(const std::vector<std::wstring>& paths) {
  if (paths.size() == 1) return paths.front();
  std::wstring text;
  for (const std::wstring& path : paths) text += (text.empty() ? L"\"" : L" \"") + path + L'"';
  return text;
}

std::vector<std::wstring> archiveFieldPaths(const std::wstring& text) {
  if (text.empty()) return {};
  if (text.find(L'"') == std::wstring::npos) return {text};
  std::vector<std::wstring> paths;
  size_t start = text.find_first_not_of(L' ');
  while (start != std::wstring::npos) {
    const bool quoted = text[start] == L'"';
    const size_t from = quoted ? start + 1 : start;
    const size_t to = std::min(text.find_first_of(quoted ? L"\"" : L" \"", from), text.size());
    if (to > from) paths.push_back(text.substr(from, to - from));
    start = text.find_first_not_of(L' ', quoted ? to + 1 : to);
  }
  return paths;
}

std::vector<std::wstring> dialogSelection(const wchar_t* buffer) {
  std::vector<std::wstring> names;
  for (const wchar_t* name = buffer; *name != L'\0'; name += names.back().size() + 1) names.emplace_back(name);
  if (names.size() < 2) return names;
  std::vector<std::wstring> paths;
  for (size_t i = 1; i < names.size(); ++i) paths.push_back(joinPath(names.front(), names[i]));
  return paths;
}

DropTarget dropTargetOf(const std::vector<std::wstring>& paths) {
  std::vector<std::wstring> archives;
  for (const std::wstring& path : paths) {
    if (hasArchiveOrJournalExtension(path) && !isDirectory(path)) archives.push_back(path);
  }
  if (!archives.empty()) return {1, archiveFieldText(archives)};
  return paths.empty() ? DropTarget{} : DropTarget{0, paths.front()};
}

std::wstring makeUniquePath(const std::wstring& path) {
  if (!pathExists(path)) return path;
  std::wstring parent = parentOf(path), stem = stemOf(path), extension = extensionOf(path);
  for (int n = 1; n < 10000; ++n) {
    std::wstring candidate = joinPath(parent, stem + L"_" + std::to_wstring(n) + extension);
    if (!pathExists(candidate)) return candidate;
  }
  return path;
}

}  // namespace zarvik
