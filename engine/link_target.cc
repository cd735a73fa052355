#include "link_target.h"

#include <algorithm>
#include <cctype>
#include "path_tree.h"
#include "utf8.h"

namespace ablative {

namespace {

constexpr uint32_t kSymbolicLinkTag = 0xA000000C, kJunctionTag = 0xA0000003;
constexpr uint32_t kRelativeLink = 1;  // SYMLINK_FLAG_RELATIVE

uint32_t littleEndianAt(std::span<const uint8_t> data, size_t at, size_t bytes) {
  uint32_t value = 0;
  for (size_t i = bytes; i-- > 0;) value = value << 8 | data[at + i];
  return value;
}

// The UTF-16 name at [offset, offset + length) of `names`, as UTF-8.
bool nameAt(std::span<const uint8_t> names, size_t offset, size_t length, std::string& name) {
  if (length % 2 != 0 || offset > names.size() || length > names.size() - offset) return false;
  name.clear();
  for (size_t at = offset, end = offset + length; at < end; at += 2) {
    uint32_t unit = littleEndianAt(names, at, 2);
    const uint32_t next = at + 2 < end ? littleEndianAt(names, at + 2, 2) : 0;
    if (unit >= 0xD800 && unit < 0xDC00 && next >= 0xDC00 && next < 0xE000) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
      at += 2;
    }
    if (!appendUtf8(name, unit)) return false;  // a surrogate alone
  }
  return true;
}

bool isAbsoluteWindowsPath(const std::string& path) {
  const bool drive =
      path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' && path[2] == '\\';
  return drive || path.starts_with('\\');
}

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

// Laid out as REPARSE_DATA_BUFFER: the tag, the data's length, two reserved
// bytes, then the offsets and lengths of the substitute and print names
// within the names that follow, a link's flags coming before those.
bool linkTargetOfReparseData(std::span<const uint8_t> data, std::string& target) {
  if (data.size() < 8) return false;
  const uint32_t tag = littleEndianAt(data, 0, 4);
  const size_t length = littleEndianAt(data, 4, 2);
  const size_t fields = tag == kSymbolicLinkTag ? 12 : tag == kJunctionTag ? 8 : 0;
  if (fields == 0 || length < fields || length > data.size() - 8) return false;
  const std::span<const uint8_t> names = data.subspan(8 + fields, length - fields);
  const auto field = [&data](size_t at) { return littleEndianAt(data, at, 2); };
  const bool relative = tag == kSymbolicLinkTag && (littleEndianAt(data, 16, 4) & kRelativeLink) != 0;
  std::string name;
  if (!nameAt(names, field(12), field(14), name) || (name.empty() && !nameAt(names, field(8), field(10), name))) {
    return false;
  }
  if (!relative && name.starts_with("\\??\\")) {
    name.erase(0, 4);
    if (!isAbsoluteWindowsPath(name)) name.insert(0, "\\\\?\\");
  }
  if (name.empty() || (!relative && !isAbsoluteWindowsPath(name))) return false;
  std::replace(name.begin(), name.end(), '\\', '/');
  target = std::move(name);
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
