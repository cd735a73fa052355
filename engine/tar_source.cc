// Tar archives as a source: the members read and checked, the members that
// extraction makes mapped into a plan, and the archive read once to sum each
// unit and each member's headers.
#include "tar_source.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "block_io.h"
#include "crc32.h"
#include "file_util.h"
#include "path_safety.h"
#include "record_bytes.h"
#include "tar_format.h"

namespace ablative {

namespace {

constexpr uint64_t kLongestLinkTarget = 4096;
constexpr uint32_t kPassBytes = 1 << 20;  // read at a time in the first pass

bool fail(std::wstring& errorText, const std::wstring& message) {
  errorText = message;
  return false;
}

// Where the member goes: "./" in front, as `tar cf x.tar .` writes, names
// nothing. The tree's root itself ("." or "./") is empty then.
std::string placeOf(std::string_view path) {
  while (path.starts_with("./")) path.remove_prefix(2);
  if (path == ".") path = {};
  return std::string(path);
}

bool makesAnEntry(const TarMember& member, const std::string& place) {
  return !place.empty() && member.kind != TarMemberKind::Special;
}

// The members the plan keeps: of those that share a place, the last.
std::vector<uint32_t> keptMembers(const std::vector<TarMember>& members) {
  std::vector<uint32_t> kept;
  std::unordered_set<std::string> seen;
  for (uint32_t i = static_cast<uint32_t>(members.size()); i-- > 0;) {
    const std::string place = placeOf(members[i].path);
    if (makesAnEntry(members[i], place) && seen.insert(place).second) kept.push_back(i);
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

// The kept file each kept hard link names, through hard links to hard links,
// by member index; else why not.
bool resolveHardLinks(const std::vector<TarMember>& members, const std::vector<uint32_t>& kept,
                      std::unordered_map<uint32_t, uint32_t>& fileOf, std::wstring& errorText) {
  std::unordered_map<std::string, uint32_t> byPlace;
  for (const uint32_t i : kept) byPlace.emplace(placeOf(members[i].path), i);
  for (const uint32_t i : kept) {
    uint32_t at = i;
    for (size_t hops = 0; members[at].kind == TarMemberKind::HardLink && hops <= kept.size(); ++hops) {
      const auto found = byPlace.find(placeOf(members[at].linkTarget));
      if (found == byPlace.end()) break;
      at = found->second;
    }
    if (members[i].kind != TarMemberKind::HardLink) continue;
    if (members[at].kind != TarMemberKind::File) {
      return fail(errorText, L"Tar hard link names no file the archive holds: " + displayPath(members[i].path));
    }
    fileOf[i] = at;
  }
  return true;
}

bool checkMember(const TarMember& member, std::wstring& errorText) {
  if (member.kind == TarMemberKind::SymbolicLink && member.linkTarget.size() > kLongestLinkTarget) {
    return fail(errorText, L"Symbolic link target too long: " + displayPath(member.path));
  }
  return true;
}

// The archive's ranges a first pass sums, in archive order.
struct SummedRange {
  uint64_t offset = 0;
  uint64_t length = 0;
  uint32_t* crc = nullptr;
};

// Reads the archive from its start to the last range's end once, summing
// every range as its bytes pass.
bool sumRanges(FileHandle& file, std::vector<SummedRange>& ranges, std::wstring& errorText) {
  if (ranges.empty()) return true;
  const uint64_t end = ranges.back().offset + ranges.back().length;
  std::vector<uint8_t> bytes;
  size_t next = 0;  // the first range not summed to its end
  for (uint64_t at = ranges.front().offset; at < end; at += bytes.size()) {
    if (!readArchiveBlock(file, at, static_cast<uint32_t>(std::min<uint64_t>(kPassBytes, end - at)), bytes,
                          errorText)) {
      return errorText.empty() ? fail(errorText, L"Unable to read archive file") : false;
    }
    for (size_t r = next; r < ranges.size() && ranges[r].offset < at + bytes.size(); ++r) {
      const SummedRange& range = ranges[r];
      const uint64_t from = std::max(range.offset, at), to = std::min(range.offset + range.length, at + bytes.size());
      if (from < to) *range.crc = crc32(*range.crc, bytes.data() + (from - at), to - from);
      if (range.offset + range.length <= at + bytes.size() && r == next) ++next;
    }
  }
  return true;
}

// Splits a file's stored bytes `[from, from + length)` into pieces by where
// its ranges put them: a sparse member's bytes go to its data ranges, in
// order; any other's to the same offsets.
void addPieces(ExtractionPlan& plan, uint32_t file, const TarMember& member, uint64_t from, uint64_t length) {
  if (member.ranges.empty()) {
    plan.pieces.push_back({.file = file, .rawOffset = 0, .length = static_cast<uint32_t>(length), .destOffset = from});
    return;
  }
  uint64_t stored = 0;  // where the range's bytes start among the member's
  for (const TarDataRange& range : member.ranges) {
    const uint64_t start = std::max(stored, from), end = std::min(stored + range.length, from + length);
    if (start < end) {
      plan.pieces.push_back({.file = file,
                             .rawOffset = static_cast<uint32_t>(start - from),
                             .length = static_cast<uint32_t>(end - start),
                             .destOffset = range.fileOffset + (start - stored)});
    }
    stored += range.length;
  }
}

// Maps `member`; a hard link names `linked`, the file it is another name of.
void mapMember(const TarMember& member, const TarMember* linked, ExtractionPlan& plan) {
  const auto index = static_cast<uint32_t>(plan.files.size());
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
  plan.files.push_back(file);
  if (file.kind != EntryKind::File) return;
  for (uint64_t at = 0; at < member.storedSize; at += kTarPieceBytes) {
    const uint64_t length = std::min(kTarPieceBytes, member.storedSize - at);
    PlanUnit unit{.offset = member.dataOffset + at,
                  .storedSize = static_cast<uint32_t>(length),
                  .rawSize = static_cast<uint32_t>(length)};
    unit.firstPiece = static_cast<uint32_t>(plan.pieces.size());
    addPieces(plan, index, member, at, length);
    unit.pieceCount = static_cast<uint32_t>(plan.pieces.size()) - unit.firstPiece;
    plan.units.push_back(unit);
  }
}

// The plan of every kept member, and its marks: every member's headers,
// those of members it leaves out too, since they lie among its units.
void mapMembers(const TarContents& contents, const std::vector<uint32_t>& kept,
                const std::unordered_map<uint32_t, uint32_t>& fileOf, ExtractionPlan& plan) {
  plan = ExtractionPlan{};
  plan.archiveSize = contents.archiveSize;
  plan.describedByJournal = true;
  for (const uint32_t i : kept) {
    const auto linked = fileOf.find(i);
    mapMember(contents.members[i], linked == fileOf.end() ? nullptr : &contents.members[linked->second], plan);
  }
  for (const TarMember& member : contents.members) {
    plan.marks.push_back({member.headerOffset, static_cast<uint32_t>(member.dataOffset - member.headerOffset), 0});
  }
}

// Sums the plan's units and marks, which lie in archive order and apart.
bool sumPlan(FileHandle& file, ExtractionPlan& plan, std::wstring& errorText) {
  std::vector<SummedRange> ranges;
  for (PlanUnit& unit : plan.units) ranges.push_back({unit.offset, unit.storedSize, &unit.crc});
  for (PlanMark& mark : plan.marks) ranges.push_back({mark.offset, mark.length, &mark.crc});
  std::sort(ranges.begin(), ranges.end(),
            [](const SummedRange& a, const SummedRange& b) { return a.offset < b.offset; });
  return sumRanges(file, ranges, errorText);
}

bool openTar(const std::wstring& archivePath, FileHandle& file, TarContents& contents, std::wstring& errorText) {
  if (!openFile(archivePath, OpenMode::ReadOnly, file)) return fail(errorText, L"Unable to open archive file");
  return readTarMembers(file, contents, errorText);
}

bool readTar(const std::wstring& archivePath, SourceReading& reading, std::wstring& errorText) {
  FileHandle file;
  TarContents contents;
  if (!openTar(archivePath, file, contents, errorText)) return false;
  const std::vector<uint32_t> kept = keptMembers(contents.members);
  reading = SourceReading{};
  for (const uint32_t i : kept) {
    if (!checkMember(contents.members[i], errorText)) return false;
  }
  std::unordered_map<uint32_t, uint32_t> fileOf;
  if (!resolveHardLinks(contents.members, kept, fileOf, errorText)) return false;
  auto plan = std::make_shared<ExtractionPlan>();
  mapMembers(contents, kept, fileOf, *plan);
  if (!sumPlan(file, *plan, errorText)) return false;
  for (const TarMember& member : contents.members) {
    if (member.kind == TarMemberKind::Special)
      reading.skipped.push_back(L"Skipped special file: " + displayPath(member.path));
  }
  reading.unitCount = static_cast<uint32_t>(plan->units.size());
  reading.facts.format = tarSource().format;
  reading.facts.blockSize = kTarPieceBytes;
  for (const PlanFile& f : plan->files) reading.facts.sourceBytes += f.kind == EntryKind::File ? f.length : 0;
  reading.plan = [plan](const UnitFilter&, ExtractionPlan& into, std::wstring&) {
    into = *plan;
    return true;
  };
  return true;
}

std::wstring nameOf(const ExtractionPlan& plan, uint32_t unit) {
  return displayPath(plan.pathOf(plan.piecesOf(unit).front().file));
}

BlockRead readStoredUnit(FileHandle& archive, const ExtractionPlan& plan, uint32_t u, std::vector<uint8_t>& stored,
                         std::wstring& errorText) {
  const PlanUnit& unit = plan.units[u];
  std::wstring readError;
  if (readArchiveBlock(archive, unit.offset, unit.storedSize, stored, readError)) return BlockRead::Verified;
  if (!readError.empty()) return errorText = readError, BlockRead::Unreadable;
  return errorText = L"Tar member runs past the end of the archive: " + nameOf(plan, u), BlockRead::Damaged;
}

BlockRead decodeUnit(const ExtractionPlan& plan, uint32_t u, const std::vector<uint8_t>& stored,
                     std::vector<uint8_t>& raw, std::wstring& errorText) {
  raw = stored;
  if (raw.size() == plan.units[u].rawSize && crc32(raw.data(), raw.size()) == plan.units[u].crc) {
    return BlockRead::Verified;
  }
  return errorText = L"Checksum verification failed: " + nameOf(plan, u), BlockRead::Damaged;
}

// The plan's own records hold all a tar's units need.
void saveNothing(const ExtractionPlan&, RecordWriter&) {}
bool saveNoBytes(const ExtractionPlan&, uint32_t, RecordWriter&) { return false; }
bool loadNothing(RecordReader& in, std::span<const UnitBytes> tail, ExtractionPlan&) { return tail.empty() && in.ok(); }

ListedEntry listed(const TarMember& member) {
  const EntryKind kind = kindOf(member);
  const bool link = kind == EntryKind::Link || kind == EntryKind::HardLink;
  return {member.path, kind == EntryKind::Link ? member.linkTarget.size() : member.size, kind,
          link ? member.linkTarget : std::string()};
}

// Every member, as tar lists it, a later one of the same path too.
bool listMembers(const std::wstring& archivePath, const FileLister& onFile, std::wstring& errorText) {
  FileHandle file;
  TarContents contents;
  if (!openTar(archivePath, file, contents, errorText)) return false;
  for (const TarMember& member : contents.members) onFile(listed(member));
  return true;
}

bool recognisesTar(std::span<const uint8_t> firstBytes, FileHandle&) { return looksLikeTar(firstBytes); }

}  // namespace

const ArchiveSource& tarSource() {
  static const ArchiveSource source{.format = L"tar",
                                    .recognises = recognisesTar,
                                    .read = readTar,
                                    .readStored = readStoredUnit,
                                    .decodeUnit = decodeUnit,
                                    .list = listMembers,
                                    .saveUnits = saveNothing,
                                    .saveUnitBytes = saveNoBytes,
                                    .loadUnits = loadNothing};
  return source;
}

}  // namespace ablative
