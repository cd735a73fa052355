#include "containers/tar_layout.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "status.h"
#include "platform/utf8.h"

namespace ablative {

namespace {

constexpr uint64_t kLongestLinkTarget = 4096;

// Where a stored path goes: "./" in front, as `tar cf x.tar .` writes,
// names nothing, and the root itself is empty then.
std::string_view placeIn(std::string_view path) {
  while (path.starts_with("./")) path.remove_prefix(2);
  if (path == ".") path = {};
  return path;
}

std::string placeOf(std::string_view path) { return std::string(placeIn(path)); }

constexpr uint32_t kNoMember = UINT32_MAX;

// Of the members that make an entry, the last of each place, in archive
// order. Places are found again through an open table of member numbers: a
// few bytes a member, where a set of views of their paths costs about fifty.
std::vector<uint32_t> keptMembers(const TarMembers& members) {
  size_t slots = 16;
  while (slots < 2 * members.size()) slots *= 2;
  std::vector<uint32_t> table(slots, kNoMember);
  std::vector<uint32_t> kept;
  kept.reserve(members.size());
  for (uint32_t i = static_cast<uint32_t>(members.size()); i-- > 0;) {
    const std::string_view place = placeIn(members.pathOf(i));
    if (place.empty() || members.kindOf(i) == TarMemberKind::Special) continue;
    size_t slot = std::hash<std::string_view>{}(place) & (slots - 1);
    while (table[slot] != kNoMember && placeIn(members.pathOf(table[slot])) != place) slot = (slot + 1) & (slots - 1);
    if (table[slot] == kNoMember) table[slot] = i, kept.push_back(i);
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

// The file member each hard link names (kNoMember where none; empty where
// no member is a hard link): the member of its target's place that precedes
// it, through a hard link there to the file that one names, as tar makes
// them one after another. Each is found once, and only the places links name
// are followed.
std::vector<uint32_t> linkedFiles(const TarMembers& members) {
  std::unordered_map<std::string, uint32_t> latest;  // of each place a link names, its member so far
  for (uint32_t i = 0; i < members.size(); ++i) {
    if (members.kindOf(i) == TarMemberKind::HardLink) latest.emplace(placeOf(members.linkTargetOf(i)), kNoMember);
  }
  if (latest.empty()) return {};
  std::vector<uint32_t> fileOf(members.size(), kNoMember);
  for (uint32_t i = 0; i < members.size(); ++i) {
    const TarMemberKind kind = members.kindOf(i);
    if (kind == TarMemberKind::Special) continue;
    if (kind == TarMemberKind::HardLink) {
      const uint32_t named = latest.find(placeOf(members.linkTargetOf(i)))->second;
      if (named != kNoMember) fileOf[i] = members.kindOf(named) == TarMemberKind::File ? named : fileOf[named];
    }
    const auto place = latest.find(placeOf(members.pathOf(i)));
    if (place != latest.end()) place->second = i;
  }
  return fileOf;
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

// Where a file's data comes from: its member, by plan file, kNoMember for
// entries that take none.
using DataMembers = std::vector<uint32_t>;

// Maps `member` as an entry of `kind`: a file takes the data and metadata of
// `content`, member `contentIndex` (itself, or the replaced file a hard link
// names), a hard link names the file at `target`.
void mapMember(const TarMember& member, EntryKind kind, const TarMember& content, uint32_t contentIndex,
               const std::string& target, TarLayout& layout, DataMembers& dataMembers) {
  ExtractionPlan& plan = layout.plan;
  const std::string_view place = placeIn(member.path);
  PlanFile file;
  file.kind = kind;
  file.pathOffset = plan.paths.size();
  file.pathLength = static_cast<uint32_t>(place.size());
  plan.paths += place;
  if (kind == EntryKind::Link || kind == EntryKind::HardLink) {
    file.targetLength = static_cast<uint32_t>(target.size());
    plan.paths += target;
  }
  const bool fileKind = kind == EntryKind::File || kind == EntryKind::HardLink;
  if (fileKind) file.length = content.size;  // a sparse member's holes included
  file.unixMode = content.mode & 07777;
  file.modifiedNs = content.modifiedNs;
  dataMembers.push_back(kind == EntryKind::File ? contentIndex : kNoMember);
  if (kind == EntryKind::File) layout.fileBytes += content.size;
  plan.files.push_back(file);
}

// Sized at once: growing by doubling would briefly hold up to three times
// the paths.
void reserveFor(const TarMembers& members, const std::vector<uint32_t>& kept, TarLayout& layout) {
  size_t pathBytes = 0;
  for (const uint32_t i : kept) {
    const TarMemberKind kind = members.kindOf(i);
    pathBytes += placeIn(members.pathOf(i)).size();
    if (kind == TarMemberKind::SymbolicLink || kind == TarMemberKind::HardLink) {
      pathBytes += members.linkTargetOf(i).size();
    }
  }
  layout.plan.files.reserve(kept.size());
  layout.plan.paths.reserve(pathBytes);
}

}  // namespace

// A hard link names the file of its target's place that precedes it. Where a
// later member replaced that file (`tar -u`), the first kept link to it
// becomes a file of its data, and the others name that one, so that its
// first version is extracted, as tar leaves it.
Status layOutTar(TarContents& contents, TarLayout& layout) {
  layout = TarLayout{};
  TarMembers& members = contents.members;
  const std::vector<uint32_t> kept = keptMembers(members);
  reserveFor(members, kept, layout);
  std::vector<uint8_t> isKept(members.size(), 0);
  for (const uint32_t i : kept) {
    isKept[i] = 1;
    if (members.kindOf(i) == TarMemberKind::SymbolicLink && members.linkTargetOf(i).size() > kLongestLinkTarget) {
      return failure(StatusKind::Failed, L"Symbolic link target too long: " + nameFromBytes(members.pathOf(i)));
    }
  }
  const std::vector<uint32_t> fileOf = linkedFiles(members);
  std::unordered_map<uint32_t, uint32_t> carrierOf;  // a replaced file: the link that carries its data
  DataMembers dataMembers;
  dataMembers.reserve(kept.size());
  for (const uint32_t i : kept) {
    const TarMember& member = members[i];
    if (member.kind != TarMemberKind::HardLink) {
      mapMember(member, kindOf(member), member, i, member.linkTarget, layout, dataMembers);
      continue;
    }
    const uint32_t file = fileOf[i];
    if (file == kNoMember) {
      return failure(StatusKind::Failed,
                     L"Tar hard link names no file the archive holds: " + nameFromBytes(member.path));
    }
    const TarMember content = members[file];
    if (isKept[file]) {
      mapMember(member, EntryKind::HardLink, content, file, placeOf(members.pathOf(file)), layout, dataMembers);
    } else if (const auto carrier = carrierOf.try_emplace(file, i).first; carrier->second == i) {
      mapMember(member, EntryKind::File, content, file, {}, layout, dataMembers);
    } else {
      const std::string target = placeOf(members.pathOf(carrier->second));
      mapMember(member, EntryKind::HardLink, content, file, target, layout, dataMembers);
    }
  }
  for (uint32_t i = 0; i < members.size(); ++i) {
    if (members.kindOf(i) == TarMemberKind::Special) {
      layout.skipped.push_back(L"Skipped special file: " + nameFromBytes(members.pathOf(i)));
    }
  }
  // The plan holds the names now: the spans take their room.
  members.dropNames();
  layout.spans.reserve(dataMembers.size() - std::count(dataMembers.begin(), dataMembers.end(), kNoMember));
  for (uint32_t f = 0; f < dataMembers.size(); ++f) {
    if (dataMembers[f] != kNoMember) addSpans(members[dataMembers[f]], f, layout.spans);
  }
  // A replaced file's data lies before the files that follow it.
  std::sort(layout.spans.begin(), layout.spans.end(),
            [](const TarSpan& a, const TarSpan& b) { return a.streamOffset < b.streamOffset; });
  return {};
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
