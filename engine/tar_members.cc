#include "tar_format.h"

namespace ablative {

namespace {

constexpr size_t kChunkBytes = 1 << 20;

}  // namespace

TarMembers::Name TarMembers::keep(std::string_view text) {
  if (chunks_.empty() || chunks_.back().capacity() - chunks_.back().size() < text.size()) {
    chunks_.emplace_back().reserve(std::max(kChunkBytes, text.size()));
  }
  std::string& chunk = chunks_.back();
  const Name at{static_cast<uint32_t>(chunks_.size() - 1), static_cast<uint32_t>(chunk.size()),
                static_cast<uint32_t>(text.size())};
  chunk += text;
  return at;
}

void TarMembers::push_back(const TarMember& member) {
  packed_.push_back({.headerOffset = member.headerOffset,
                     .dataOffset = member.dataOffset,
                     .storedSize = member.storedSize,
                     .size = member.size,
                     .modifiedNs = member.modifiedNs,
                     .path = keep(member.path),
                     .linkTarget = keep(member.linkTarget),
                     .firstRange = static_cast<uint32_t>(ranges_.size()),
                     .rangeCount = static_cast<uint32_t>(member.ranges.size()),
                     .mode = static_cast<uint16_t>(member.mode & 07777),
                     .kind = member.kind,
                     .typeFlag = member.typeFlag});
  ranges_.insert(ranges_.end(), member.ranges.begin(), member.ranges.end());
}

TarMember TarMembers::operator[](size_t i) const {
  const Packed& packed = packed_[i];
  TarMember member;
  member.path = name(packed.path);
  member.linkTarget = name(packed.linkTarget);
  member.kind = packed.kind;
  member.typeFlag = packed.typeFlag;
  member.headerOffset = packed.headerOffset;
  member.dataOffset = packed.dataOffset;
  member.storedSize = packed.storedSize;
  member.size = packed.size;
  member.ranges.assign(ranges_.begin() + packed.firstRange, ranges_.begin() + packed.firstRange + packed.rangeCount);
  member.mode = packed.mode;
  member.modifiedNs = packed.modifiedNs;
  return member;
}

}  // namespace ablative
