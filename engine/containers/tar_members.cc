#include "containers/tar_format.h"

namespace ablative {

void TarMembers::push_back(const TarMember& member) {
  uint32_t sparse = kNotSparse;
  if (!member.ranges.empty()) {
    sparse = static_cast<uint32_t>(sparse_.size());
    sparse_.push_back({static_cast<uint32_t>(ranges_.size()), static_cast<uint32_t>(member.ranges.size())});
    ranges_.insert(ranges_.end(), member.ranges.begin(), member.ranges.end());
  }
  packed_.push_back({.headerOffset = member.headerOffset,
                     .dataOffset = member.dataOffset,
                     .storedSize = member.storedSize,
                     .size = member.size,
                     .modifiedNs = member.modifiedNs,
                     .names = names_.keep(member.path, member.linkTarget),
                     .pathLength = static_cast<uint32_t>(member.path.size()),
                     .sparse = sparse,
                     .mode = static_cast<uint16_t>(member.mode & 07777),
                     .kind = member.kind,
                     .typeFlag = member.typeFlag});
}

void TarMembers::dropNames() {
  names_.clear();
  for (Packed& packed : packed_) packed.names = {}, packed.pathLength = 0;
}

TarMember TarMembers::operator[](size_t i) const {
  const Packed& packed = packed_[i];
  TarMember member;
  member.path = pathOf(i);
  member.linkTarget = linkTargetOf(i);
  member.kind = packed.kind;
  member.typeFlag = packed.typeFlag;
  member.headerOffset = packed.headerOffset;
  member.dataOffset = packed.dataOffset;
  member.storedSize = packed.storedSize;
  member.size = packed.size;
  if (packed.sparse != kNotSparse) {
    const Ranges ranges = sparse_[packed.sparse];
    member.ranges.assign(ranges_.begin() + ranges.first, ranges_.begin() + ranges.first + ranges.count);
  }
  member.mode = packed.mode;
  member.modifiedNs = packed.modifiedNs;
  return member;
}

}  // namespace ablative
