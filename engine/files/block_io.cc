#include "files/block_io.h"

#include <algorithm>

#include "files/file_util.h"

namespace ablative {

namespace {

struct TransferMessages {
  const wchar_t* seek;
  const wchar_t* transfer;
};

constexpr TransferMessages kArchiveRead{L"Failed to seek archive block (code=", L"Failed to read archive block (code="};
constexpr TransferMessages kVerifyRead{L"Failed to seek destination file for verification (code=",
                                       L"Failed to read destination block for verification (code="};
constexpr TransferMessages kDestinationWrite{L"Failed to seek destination file (code=", kDestinationWriteFailed};

Status failWithLastError(const wchar_t* prefix) { return failure(StatusKind::Failed, codedErrorText(prefix)); }

Status readExactly(FileHandle& file, uint64_t offset, uint32_t size, std::vector<uint8_t>& bytes,
                   const TransferMessages& messages) {
  // A larger block replaces the buffer rather than growing it, which would
  // hold the old and the new buffer at once. A buffer reused at the same size
  // is read over as it stands: zeroing it first would cost a pass over memory
  // as long as the read's own.
  if (bytes.capacity() < size) std::vector<uint8_t>().swap(bytes);
  bytes.resize(size);
  if (!seekFile(file, offset)) return failWithLastError(messages.seek);
  uint64_t got = 0;
  if (!readUpTo(file, bytes.data(), size, size, got)) return failWithLastError(messages.transfer);
  if (got == size) return {};
  std::fill(bytes.begin() + static_cast<ptrdiff_t>(got), bytes.end(), uint8_t{0});  // no stale bytes past the end
  return failure(StatusKind::EndedEarly, L"");  // the caller decides what that means
}

}  // namespace

Status readArchiveBlock(FileHandle& file, uint64_t offset, uint32_t size, std::vector<uint8_t>& bytes) {
  return readExactly(file, offset, size, bytes, kArchiveRead);
}

Status findNonZero(FileHandle& file, uint64_t from, uint64_t to, uint64_t& found) {
  std::vector<uint8_t> bytes;
  for (found = from; found < to;) {
    const auto piece = static_cast<uint32_t>(std::min<uint64_t>(to - found, 1 << 16));
    Status read = readArchiveBlock(file, found, piece, bytes);
    if (read.kind == StatusKind::EndedEarly) return failure(StatusKind::Failed, L"Unable to read archive file");
    if (!read.ok()) return read;
    const auto nonZero = std::find_if(bytes.begin(), bytes.end(), [](uint8_t b) { return b != 0; });
    found += static_cast<uint64_t>(nonZero - bytes.begin());
    if (nonZero != bytes.end()) return {};
  }
  return {};
}

Status readDestinationBlock(FileHandle& file, uint64_t offset, uint32_t size, std::vector<uint8_t>& bytes) {
  return readExactly(file, offset, size, bytes, kVerifyRead);
}

Status writeDestinationBytes(FileHandle& file, uint64_t offset, std::span<const uint8_t> bytes) {
  if (!seekFile(file, offset)) return failWithLastError(kDestinationWrite.seek);
  // A write that moves nothing leaves the disk-full code to report.
  if (!writeFully(file, bytes.data(), bytes.size())) return failWithLastError(kDestinationWrite.transfer);
  return {};
}

bool cutFileAt(FileHandle& file, uint64_t length) { return seekFile(file, length) && setEndOfFile(file); }

std::wstring codedErrorText(const wchar_t* prefix) {
  const uint32_t code = lastErrorCode();
  return prefix + std::to_wstring(code) + L"): " + systemErrorText(code);
}

std::wstring withReason(const std::wstring& what) { return what + L" (" + systemErrorText(lastErrorCode()) + L")"; }

std::wstring lastErrorText(const std::wstring& message) {
  uint32_t code = lastErrorCode();
  return message + L" (error " + std::to_wstring(code) + L")";
}

}  // namespace ablative
