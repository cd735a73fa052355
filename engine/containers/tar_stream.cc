// A tar's bytes read front to back, and where it ends; and a tar file read
// through it, seeking over the members' data.
#include <algorithm>

#include "containers/tar_format.h"
#include "status.h"
#include "files/block_io.h"
#include "pause.h"

namespace ablative {

namespace {

constexpr wchar_t kPastEnd[] = L"Tar member runs past the end of the archive: ";
constexpr wchar_t kCutInHeader[] = L"Tar archive ends inside a header: at byte ";
constexpr wchar_t kDataAfterEnd[] = L"Data after the end of the tar archive: at byte ";

// A tar file's headers are read ahead in chunks: those of small members lie
// close together, and one read serves several. Past the end, the bytes are
// only looked over for one that is not zero.
constexpr uint32_t kReadAhead = 16 * kTarBlockSize;
constexpr uint32_t kAfterEndRead = 1 << 16;

const uint8_t* firstNonZero(std::span<const uint8_t> bytes) {
  return std::find_if(bytes.data(), bytes.data() + bytes.size(), [](uint8_t b) { return b != 0; });
}

}  // namespace

Status TarStream::take(std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    size_t n = bytes.size();
    if (ended_) {
      takeAfterEnd(pos_, bytes);
    } else if (pos_ < next_) {
      // Data or padding: only a member's data goes to onData.
      const bool inData = pos_ >= dataFrom_ && pos_ < dataTo_;
      n = static_cast<size_t>(std::min<uint64_t>(n, (inData ? dataTo_ : pos_ < dataFrom_ ? dataFrom_ : next_) - pos_));
      if (inData && onData) onData(pos_, bytes.data(), n);
    } else {
      n = std::min(n, kTarBlockSize - blockFill_);
      std::copy_n(bytes.begin(), n, block_.begin() + blockFill_);
      blockFill_ += n;
      if (blockFill_ == kTarBlockSize) {
        if (Status taken = takeBlock(); !taken.ok()) return taken;
      }
    }
    pos_ += n;
    bytes = bytes.subspan(n);
  }
  return {};
}

Status TarStream::takeBlock() {
  blockFill_ = 0;
  const bool zeros = firstNonZero(block_) == block_.end();
  if (next_ == 0 && !notATar.empty() && !zeros && !looksLikeTar(block_)) return failure(StatusKind::Failed, notATar);
  const bool betweenMembers = !parser_.insideHeader();
  switch (parser_.take(block_, next_)) {
    case TarStep::Failed: return parser_.failed();
    case TarStep::NextBlock:
      if (betweenMembers && !zeroBlockAt_ && zeros) zeroBlockAt_ = next_;
      next_ += kTarBlockSize;
      return {};
    case TarStep::Member: {
      const TarMember& member = parser_.member();
      contents.members.push_back(member);
      dataFrom_ = member.dataOffset;
      dataTo_ = member.dataOffset + member.storedSize;
      next_ = tarNextHeader(member);
      return {};
    }
    case TarStep::End:
      // The block that ends a lone zero block's archive is data after it.
      ended_ = true;
      contents.end = zeroBlockAt_.value_or(next_);
      takeAfterEnd(next_, block_);
      return {};
  }
  return parser_.failed();
}

void TarStream::takeAfterEnd(uint64_t offset, std::span<const uint8_t> bytes) {
  const uint8_t* nonZero = firstNonZero(bytes);
  if (nonZero != bytes.data() + bytes.size() && contents.unaccounted.empty()) {
    contents.unaccounted = kDataAfterEnd + std::to_wstring(offset + (nonZero - bytes.data()));
  }
}

Status TarStream::finish() {
  if (ended_) return {};
  if (parser_.insideHeader()) return failure(StatusKind::Failed, kCutInHeader + std::to_wstring(next_));
  const std::span<const uint8_t> part(block_.data(), blockFill_);
  if (const uint8_t* nonZero = firstNonZero(part); nonZero != part.data() + part.size()) {
    // Part of a block: a header cut short, unless the archive had ended.
    if (next_ == 0 && !notATar.empty()) return failure(StatusKind::Failed, notATar);
    if (!zeroBlockAt_) return failure(StatusKind::Failed, kCutInHeader + std::to_wstring(next_));
    contents.unaccounted = kDataAfterEnd + std::to_wstring(next_ + (nonZero - part.data()));
  }
  if (dataTo_ > pos_) {
    contents.endsInLastMember = true;
    return failure(StatusKind::Failed, kPastEnd + tarMemberName(contents.members.back()));
  }
  contents.end = zeroBlockAt_.value_or(std::min(next_, pos_));
  return {};
}

Status readTarMembers(FileHandle& file, const StopCallback& shouldStop, TarContents& contents) {
  contents = {};
  uint64_t size = 0;
  if (!fileSize(file, size)) return failure(StatusKind::Failed, L"Unable to open archive file");
  TarStream tar;
  const auto handOver = [&](Status read) {
    contents = std::move(tar.contents);
    contents.archiveSize = size;
    return read;
  };
  std::vector<uint8_t> bytes;
  for (uint64_t at; !tar.settled() && (at = tar.wanted()) < size;) {
    tar.skipTo(at);
    const auto length = static_cast<uint32_t>(std::min<uint64_t>(tar.ended() ? kAfterEndRead : kReadAhead, size - at));
    Status read = readArchiveBlock(file, at, length, bytes);
    if (read.kind == StatusKind::EndedEarly) {  // the file shrank
      read = failure(StatusKind::Failed,
                     tar.ended() ? L"Unable to read archive file" : kCutInHeader + std::to_wstring(at));
    }
    if (read.ok()) read = stopRequested(shouldStop) ? stoppedOnRequest() : tar.take(bytes);
    if (!read.ok()) return handOver(read);
  }
  tar.skipTo(std::min(tar.wanted(), size));
  return handOver(tar.finish());
}

}  // namespace ablative
