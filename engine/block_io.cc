#include "block_io.h"

namespace ablative {

namespace {

struct TransferMessages {
  const wchar_t* seek;
  const wchar_t* transfer;
};

constexpr TransferMessages kArchiveRead{L"Failed to seek archive block (code=", L"Failed to read archive block (code="};
constexpr TransferMessages kVerifyRead{L"Failed to seek destination file for verification (code=",
                                       L"Failed to read destination block for verification (code="};
constexpr TransferMessages kDestinationWrite{L"Failed to seek destination file (code=",
                                             L"Failed to write destination block (code="};

std::wstring textFor(const wchar_t* prefix, uint32_t code) {
  return prefix + std::to_wstring(code) + L"): " + systemErrorText(code);
}

bool failWithCode(std::wstring& errorText, const wchar_t* prefix, uint32_t code) {
  errorText = textFor(prefix, code);
  return false;
}

bool failWithLastError(std::wstring& errorText, const wchar_t* prefix) {
  return failWithCode(errorText, prefix, lastErrorCode());
}

bool readExactly(FileHandle& file, uint64_t offset, uint32_t size, std::vector<uint8_t>& bytes,
                 std::wstring& errorText, const TransferMessages& messages) {
  // A larger block replaces the buffer rather than growing it, which would
  // hold the old and the new buffer at once.
  if (bytes.capacity() < size) std::vector<uint8_t>().swap(bytes);
  bytes.assign(size, 0);
  if (!seekFile(file, offset)) return failWithLastError(errorText, messages.seek);
  uint32_t got = 0;
  while (got < size) {
    uint32_t count = 0;
    if (!readSome(file, bytes.data() + got, size - got, count)) return failWithLastError(errorText, messages.transfer);
    if (count == 0) return false;  // the file ended early; the caller decides what that means
    got += count;
  }
  return true;
}

}  // namespace

bool readArchiveBlock(FileHandle& file, uint64_t offset, uint32_t size, std::vector<uint8_t>& bytes,
                      std::wstring& errorText) {
  return readExactly(file, offset, size, bytes, errorText, kArchiveRead);
}

bool readDestinationBlock(FileHandle& file, uint64_t offset, uint32_t size, std::vector<uint8_t>& bytes,
                          std::wstring& errorText) {
  return readExactly(file, offset, size, bytes, errorText, kVerifyRead);
}

bool writeDestinationBytes(FileHandle& file, uint64_t offset, const std::vector<uint8_t>& bytes,
                           std::wstring& errorText) {
  if (!seekFile(file, offset)) return failWithLastError(errorText, kDestinationWrite.seek);
  const auto size = static_cast<uint32_t>(bytes.size());
  uint32_t written = 0;
  while (written < size) {
    uint32_t count = 0;
    if (!writeSome(file, bytes.data() + written, size - written, count)) {
      return failWithLastError(errorText, kDestinationWrite.transfer);
    }
    if (count == 0) return failWithCode(errorText, kDestinationWrite.transfer, diskFullErrorCode());
    written += count;
  }
  return true;
}

bool cutFileAt(FileHandle& file, uint64_t length) { return seekFile(file, length) && setEndOfFile(file); }

std::wstring codedErrorText(const wchar_t* prefix) { return textFor(prefix, lastErrorCode()); }

std::wstring lastErrorText(const std::wstring& message) {
  uint32_t code = lastErrorCode();
  return message + L" (error " + std::to_wstring(code) + L")";
}

}  // namespace ablative
