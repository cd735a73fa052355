// The tar reader on arbitrary bytes as a whole tar file: every input must end
// in acceptance or a refusal, never a crash, an overflow or an allocation
// beyond the input's own size; and what it accepts must lie inside the input.
#include <cstdint>
#include <cstdlib>

#include "containers/tar_format.h"
#include "fuzz_util.h"

namespace {

void require(bool holds) {
  if (!holds) std::abort();
}

// A member's data lies in the input after its headers, and a sparse member (a
// file) has ranges in order inside its file that account for every stored byte.
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)ablative::looksLikeTar({data, size});
  std::wstring path = fuzz::writeInput("archive.tar", data, size);
  ablative::FileHandle file;
  if (!ablative::openFile(path, ablative::OpenMode::ReadOnly, file)) return 0;
  ablative::TarContents contents;
  std::wstring errorText;
  if (!ablative::readTarMembers(file, contents, errorText)) {
    require(!errorText.empty());
    return 0;
  }
  require(contents.archiveSize == size && contents.end <= size);
  uint64_t next = 0;
  for (const ablative::TarMember& member : contents.members) {
    require(member.headerOffset >= next);
    checkMember(member, contents.end);
    next = ablative::tarNextHeader(member);
  }
  return 0;
}
