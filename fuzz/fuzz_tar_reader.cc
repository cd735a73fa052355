// The tar reader on arbitrary bytes: acceptance or a refusal, never a crash or an allocation beyond the input's size,
// and what it accepts lies in the input.
#include "containers/tar_format.h"
#include "fuzz_util.h"

namespace {

using fuzz::require;

// A member's data lies in the input after its headers, and a sparse member (a file) has ranges in order inside its
// file that account for every stored byte.
void checkMember(const ablative::TarMember& member, uint64_t end) {
  require(member.headerOffset < member.dataOffset && member.dataOffset <= end);
  require(member.storedSize <= end - member.dataOffset);
  require(member.dataOffset % ablative::kTarBlockSize == 0);
  if (member.ranges.empty()) return require(member.size == member.storedSize);
  require(member.kind == ablative::TarMemberKind::File);
  const bool allHoles = member.ranges.size() == 1 && member.ranges[0].length == 0;
  require(!allHoles || member.ranges[0].fileOffset == member.size);
  uint64_t stored = 0, fileEnd = 0;
  for (const ablative::TarDataRange& range : member.ranges) {
    require((range.length > 0 || allHoles) && range.fileOffset >= fileEnd && range.fileOffset <= member.size &&
            range.length <= member.size - range.fileOffset);
    fileEnd = range.fileOffset + range.length;
    stored += range.length;
  }
  require(stored == member.storedSize);
}

}  // namespace

void fuzz::one(Input input) {
  (void)ablative::looksLikeTar({input.data, input.size});
  ablative::FileHandle file;
  if (!openInput("archive.tar", input, file)) return;
  ablative::TarContents contents;
  const ablative::Status read = ablative::readTarMembers(file, {}, contents);
  if (!read.ok()) return require(!read.message.empty());
  require(contents.archiveSize == input.size && contents.end <= input.size);
  uint64_t next = 0;
  for (const ablative::TarMember& member : contents.members) {
    require(member.headerOffset >= next);
    checkMember(member, contents.end);
    next = ablative::tarNextHeader(member);
  }
}
