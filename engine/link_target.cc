#include "link_target.h"

#include <algorithm>
#include <unordered_map>

namespace ablative {

namespace {

// A stored path as names compare where the run goes: letter case aside on Windows.
std::wstring nameKey(const std::string& path) {
  const std::wstring wide = fromUtf8(path);
  return kWindowsPathRules ? upperCaseName(wide) : wide;
}

// The archive's links and folders (those its paths imply too), by nameKey.
std::unordered_map<std::wstring, EntryKind> linksAndFolders(const ExtractionPlan& plan) {
  std::unordered_map<std::wstring, EntryKind> kinds;
  for (uint32_t f = 0; f < plan.files.size(); ++f) {
    const std::wstring key = nameKey(plan.pathOf(f));
    for (size_t slash = key.find(L'/'); slash != std::wstring::npos; slash = key.find(L'/', slash + 1)) {
      kinds.emplace(key.substr(0, slash), EntryKind::Folder);
    }
    if (plan.files[f].kind == EntryKind::Folder || plan.files[f].kind == EntryKind::Link)
      kinds[key] = plan.files[f].kind;
  }
  return kinds;
}

}  // namespace

bool resolveLinkTarget(const std::string& linkPath, const std::string& target, const NamesLink& namesLink,
                       std::string& resolved, bool windowsRules) {
  if (target.empty() || target[0] == '/' || target.find('\0') != std::string::npos ||
      toUtf8(fromUtf8(target)) != target) {
    return false;
  }
  const size_t slash = linkPath.rfind('/');
  std::string where = slash == std::string::npos ? "" : linkPath.substr(0, slash);
  for (size_t start = 0;;) {
    const size_t end = target.find('/', start);
    const std::string component = target.substr(start, end == std::string::npos ? end : end - start);
    const bool last = end == std::string::npos;
    if (component == "..") {
      if (where.empty()) return false;
      const size_t cut = where.rfind('/');
      where.resize(cut == std::string::npos ? 0 : cut);
    } else if (!component.empty() && component != ".") {
      if (windowsRules && !isSafeStoredPath(component, true)) return false;
      where += (where.empty() ? "" : "/") + component;
      // What the way passes through, the system follows.
      if (!last && (namesLink(where) || (windowsRules && component.find('~') != std::string::npos))) return false;
    }
    if (last) break;
    start = end + 1;
  }
  resolved = where;
  return true;
}

std::vector<LinkPlace> placeLinks(const ExtractionPlan& plan) {
  const auto isLink = [](const PlanFile& file) { return file.kind == EntryKind::Link; };
  if (std::none_of(plan.files.begin(), plan.files.end(), isLink)) return {};
  const std::unordered_map<std::wstring, EntryKind> kinds = linksAndFolders(plan);
  const auto kindOf = [&kinds](const std::string& path) {
    const auto found = kinds.find(nameKey(path));
    return found == kinds.end() ? EntryKind::File : found->second;
  };
  const NamesLink namesLink = [&kindOf](const std::string& path) { return kindOf(path) == EntryKind::Link; };
  std::vector<LinkPlace> places(plan.files.size(), LinkPlace::NotALink);
  std::string resolved;
  for (uint32_t f = 0; f < plan.files.size(); ++f) {
    if (!isLink(plan.files[f])) continue;
    if (!resolveLinkTarget(plan.pathOf(f), plan.targetOf(f), namesLink, resolved)) {
      places[f] = LinkPlace::Outside;
    } else {
      places[f] = resolved.empty() || kindOf(resolved) == EntryKind::Folder ? LinkPlace::ToFolder : LinkPlace::ToFile;
    }
  }
  return places;
}

}  // namespace ablative
