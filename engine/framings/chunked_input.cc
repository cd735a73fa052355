#include "framings/chunked_input.h"

#include <algorithm>

#include "files/block_io.h"

namespace ablative {

namespace {

constexpr uint32_t kChunkBytes = 1 << 20;

}  // namespace

Status ChunkedInput::ensure(size_t length) {
  while (available() < length) {
    if (read_ == size_) return failure(StatusKind::EndedEarly, L"");
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<ptrdiff_t>(at_));
    at_ = 0;
    const auto chunk = static_cast<uint32_t>(std::min<uint64_t>(kChunkBytes, size_ - read_));
    Status read = readArchiveBlock(file_, read_, chunk, chunk_);
    if (read.kind == StatusKind::EndedEarly) return failure(StatusKind::Failed, L"Unable to read archive file");
    if (!read.ok()) return read;
    bytes_.insert(bytes_.end(), chunk_.begin(), chunk_.end());
    read_ += chunk;
  }
  return {};
}

Status whatFollowsStream(ChunkedInput& input, uint8_t magic, const wchar_t* dataAfterEnd, std::wstring& unaccounted,
                         bool& another) {
  another = false;
  Status filled;
  while ((filled = input.ensure(1)).ok()) {
    const uint8_t* bytes = input.data();
    const size_t length = input.available();
    if (bytes[0] == magic) return another = true, Status{};  // or data after the end, as its header tells
    const size_t zeros = std::find_if(bytes, bytes + length, [](uint8_t b) { return b != 0; }) - bytes;
    if (zeros < length) {
      unaccounted = dataAfterEnd + std::to_wstring(input.offset() + zeros);
      return {};
    }
    input.advance(length);
  }
  return filled.kind == StatusKind::EndedEarly ? Status{} : filled;
}

}  // namespace ablative
