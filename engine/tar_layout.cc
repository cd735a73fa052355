#include "tar_layout.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "path_safety.h"

namespace ablative {

namespace {

constexpr uint64_t kLongestLinkTarget = 4096;

bool fail(std::wstring& errorText, const std::wstring& message) {
  errorText = message;
  return false;
}

// Where a stored path goes: "./" in front, as `tar cf x.tar .` writes,
// names nothing, and the root itself is empty then.
std::string placeOf(std::string_view path) {
  while (path.starts_with("./")) path.remove_prefix(2);
  if (path == ".") path = {};
  return std::string(path);
}

// Of the members that make an entry, the last of each place, in archive order.
std::vector<uint32_t> keptMembers(const std::vector<TarMember>& members) {
  std::vector<uint32_t> kept;
  std::unordered_set<std::string> seen;
  for (uint32_t i = static_cast<uint32_t>(members.size()); i-- > 0;) {
    const std::string place = placeOf(members[i].path);
    if (!place.empty() && members[i].kind != TarMemberKind::Special && seen.insert(place).second) kept.push_back(i);
  }
  std::reverse(kept.begin(), kept.end());
  return kept;
}

EntryKind kindOf(const TarMember& member) {
  switch (member.kind) {
    case TarMemberKind::Folder: return EntryKind::Folder;
    case TarMemberKind::SymbolicLink: return EntryKind::Link;
    case TarMemberKind::HardLink: return EntryKind::HardLink;
    default: return EntryKind::File;
  }
}

// The kept file each kept hard link names, by member index.
bool resolveHardLinks(const std::vector<TarMember>& members, const std::vector<uint32_t>& kept,
                      std::unordered_map<uint32_t, uint32_t>& fileOf, std::wstring& errorText) {
  std::unordered_map<std::string, uint32_t> byPlace;
  for (const uint32_t i : kept) byPlace.emplace(placeOf(members[i].path), i);
  for (const uint32_t i : kept) {
    if (members[i].kind != TarMemberKind::HardLink) continue;
    uint32_t at = i;
    for (size_t hops = 0; members[at].kind == TarMemberKind::HardLink && hops <= kept.size(); ++hops) {
      const auto found = byPlace.find(placeOf(members[at].linkTarget));
      if (found == byPlace.end()) break;
      at = found->second;
    }
    if (members[at].kind != TarMemberKind::File) {
      return fail(errorText, L"Tar hard link names no file the archive holds: " + displayPath(members[i].path));
    }
    fileOf[i] = at;
  }
  return true;
}

// Where a file member's stored bytes go: a sparse member's to its data
// ranges, in order; any other's to the same offsets.
void addSpans(const TarMember& member, uint32_t file, std::vector<TarSpan>& spans) {
  if (member.ranges.empty()) {
    if (member.storedSize > 0) spans.push_back({member.dataOffset, member.storedSize, file, 0});
    return;
  }
  uint64_t stored = member.dataOffset;
  for (const TarDataRange& range : member.ranges) {
    if (range.length > 0) spans.push_back({stored, range.length, file, range.fileOffset});
    stored += range.length;
  }
}

// Maps `member`; a hard link names `linked`, the file it is another name of.
void mapMember(const TarMember& member, const TarMember* linked, TarLayout& layout) {
  ExtractionPlan& plan = layout.plan;
  const std::string place = placeOf(member.path), target = linked ? placeOf(linked->path) : member.linkTarget;
  PlanFile file;
  file.kind = kindOf(member);
  file.pathOffset = plan.paths.size();
  file.pathLength = static_cast<uint32_t>(place.size());
  plan.paths += place;
  if (file.kind == EntryKind::Link || file.kind == EntryKind::HardLink) {
    file.targetLength = static_cast<uint32_t>(target.size());
    plan.paths += target;
  }
  if (file.kind == EntryKind::File) file.length = member.size;  // a sparse member's holes included
  if (linked != nullptr) file.length = linked->size;
  file.unixMode = member.mode & 07777;
  file.modifiedNs = member.modifiedNs;
  if (file.kind == EntryKind::File) {
    addSpans(member, static_cast<uint32_t>(plan.files.size()), layout.spans);
    layout.fileBytes += member.size;
  }
  plan.files.push_back(file);
}

}  // namespace

bool layOutTar(const TarContents& contents, TarLayout& layout, std::wstring& errorText) {
  layout = TarLayout{};
  const std::vector<TarMember>& members = contents.members;
  const std::vector<uint32_t> kept = keptMembers(members);
  for (const uint32_t i : kept) {
    if (members[i].kind == TarMemberKind::SymbolicLink && members[i].linkTarget.size() > kLongestLinkTarget) {
      return fail(errorText, L"Symbolic link target too long: " + displayPath(members[i].path));
    }
  }
  std::unordered_map<uint32_t, uint32_t> fileOf;
  if (!resolveHardLinks(members, kept, fileOf, errorText)) return false;
  for (const uint32_t i : kept) {
    const auto linked = fileOf.find(i);
    mapMember(members[i], linked == fileOf.end() ? nullptr : &members[linked->second], layout);
  }
  for (const TarMember& member : members) {
    if (member.kind == TarMemberKind::Special)
      layout.skipped.push_back(L"Skipped special file: " + displayPath(member.path));
  }
  return true;
}

uint64_t addSpanUnit(const std::vector<TarSpan>& spans, uint64_t from, uint64_t to, PlanUnit unit,
                     ExtractionPlan& plan) {
  const auto first = std::partition_point(
      spans.begin(), spans.end(), [from](const TarSpan& span) { return span.streamOffset + span.length <= from; });
  unit.firstPiece = static_cast<uint32_t>(plan.pieces.size());
  uint64_t raw = 0;
  for (auto span = first; span != spans.end() && span->streamOffset < to; ++span) {
    const uint64_t start = std::max(span->streamOffset, from), end = std::min(span->streamOffset + span->length, to);
    plan.pieces.push_back({.file = span->file,
                           .rawOffset = static_cast<uint32_t>(raw),
                           .length = static_cast<uint32_t>(end - start),
                           .destOffset = span->destOffset + (start - span->streamOffset)});
    raw += end - start;
  }
  unit.pieceCount = static_cast<uint32_t>(plan.pieces.size()) - unit.firstPiece;
  unit.rawSize = static_cast<uint32_t>(raw);
  if (raw > 0) plan.units.push_back(unit);
  return raw;
}

ListedEntry listedMember(const TarMember& member) {
  const EntryKind kind = kindOf(member);
  const bool link = kind == EntryKind::Link || kind == EntryKind::HardLink;
  return {member.path, kind == EntryKind::Link ? member.linkTarget.size() : member.size, kind,
          link ? member.linkTarget : std::string()};
}

}  // namespace ablative
