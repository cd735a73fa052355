#include "destination/link_target.h"

#include <algorithm>

#include "files/path_tree.h"
#include "platform/utf8.h"

namespace ablative {

namespace {

// A stored path as names compare where the run goes: letter case aside on Windows.
std::wstring nameKey(const std::string& path) {
  const std::wstring wide = fromUtf8(path);
  return kWindowsPathRules ? upperCaseName(wide) : wide;
}

// The archive's links and folders (those its paths imply too), by nameKey's
// components; what is neither reads as a file.
struct KnownKinds {
  PathTree tree;
  std::vector<EntryKind> kinds{EntryKind::Folder};  // per node: the root is the destination

  EntryKind of(const std::string& path) const {
    const std::wstring key = nameKey(path);
    uint32_t node = PathTree::kRoot;
    for (size_t start = 0; start <= key.size() && node != PathTree::kNone;) {
      const size_t slash = std::min(key.find(L'/', start), key.size());
      node = tree.find(node, std::wstring_view(key).substr(start, slash - start));
      start = slash + 1;
    }
    return node == PathTree::kNone ? EntryKind::File : kinds[node];
  }
};

KnownKinds linksAndFolders(const ExtractionPlan& plan) {
  KnownKinds known;
  for (uint32_t f = 0; f < plan.files.size(); ++f) {
    const std::wstring key = nameKey(plan.pathOf(f));
    const EntryKind kind = plan.files[f].kind;
    walkPath(known.tree, key, [&](uint32_t node, size_t end, bool added) {
      if (added) known.kinds.push_back(EntryKind::File);
      if (end < key.size() && known.kinds[node] == EntryKind::File) known.kinds[node] = EntryKind::Folder;
      if (end == key.size() && (kind == EntryKind::Folder || kind == EntryKind::Link)) known.kinds[node] = kind;
      return true;
    });
  }
  return known;
}

}  // namespace

bool resolveLinkTarget(const std::string& linkPath, const std::string& target, const NamesLink& namesLink,
                       std::string& resolved, bool windowsRules) {
  if (target.empty() || target[0] == '/' || target.find('\0') != std::string::npos ||
      (windowsRules && !isValidUtf8(target))) {
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
  const KnownKinds known = linksAndFolders(plan);
  const auto kindOf = [&known](const std::string& path) { return known.of(path); };
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
