// Block transfers and their error texts, on the platform the tests run on.
#include <gtest/gtest.h>

#include "extract_fixture.h"
#include "files/block_io.h"

using namespace testutil;
using namespace ablative;

namespace {

std::wstring withCode(const wchar_t* prefix, uint32_t code) {
  return prefix + std::to_wstring(code) + L"): " + systemErrorText(code);
}

// Exactly the bytes asked, even when the system moves one byte per call; an empty range anywhere; a file that ends
// early is no I/O error (no message, the caller decides); a write that moves nothing is a full disk, not an endless
// loop; a file is cut to a length. Then each failing step names itself, the code and the system's
// text for it, trimmed, or "Unknown error".
TEST(BlockIo, TransfersAndTheirErrorTexts) {
  Scene s;
  writeFile(s.archive, "0123456789");
  FileHandle file;
  ASSERT_TRUE(openFile(wide(s.archive), OpenMode::ReadWrite, file));
  std::vector<uint8_t> bytes = bytesOf("junk");
  std::wstring error = L"earlier text";
  uint32_t moves = 1;
  ScopedIoHook limited([&](const IoCall& call) {
    if (call.limit != nullptr) *call.limit = std::min(*call.limit, moves);
    return call.op == IoOp::Flush ? ioErrorCode() : 0u;
  });
  EXPECT_TRUE(readArchiveBlock(file, 1ull << 40, 0, bytes, error) && bytes.empty());
  EXPECT_TRUE(readArchiveBlock(file, 3, 4, bytes, error) && bytes == bytesOf("3456"));
  EXPECT_TRUE(writeDestinationBytes(file, 12, mixedBytes(40, 3), error));
  EXPECT_TRUE(readDestinationBlock(file, 12, 40, bytes, error) && bytes == mixedBytes(40, 3));
  EXPECT_FALSE(readArchiveBlock(file, 50, 3, bytes, error) || readDestinationBlock(file, 100, 1, bytes, error));
  EXPECT_EQ(error, L"earlier text");
  moves = 0;
  EXPECT_FALSE(writeDestinationBytes(file, 0, bytesOf("abc"), error));
  EXPECT_EQ(error, withCode(L"Failed to write destination block (code=", diskFullErrorCode()));
  EXPECT_TRUE(cutFileAt(file, 4));
  EXPECT_EQ(readFile(s.archive), bytesOf("0123"));
  const std::tuple<IoOp, const wchar_t*, const wchar_t*> cases[] = {
      // the failing call; reading, reading back
      {IoOp::Seek, L"Failed to seek archive block (code=", L"Failed to seek destination file for verification (code="},
      {IoOp::Read, L"Failed to read archive block (code=", L"Failed to read destination block for verification (code="},
      {IoOp::Seek, L"Failed to seek destination file (code=", nullptr},  // writing
      {IoOp::Write, L"Failed to write destination block (code=", nullptr}};
  for (const auto& [failing, message, verify] : cases) {
    ScopedIoHook fails([&](const IoCall& call) { return call.op == failing ? ioErrorCode() : 0u; });
    EXPECT_FALSE(verify ? readArchiveBlock(file, 0, 2, bytes, error)
                        : writeDestinationBytes(file, 0, bytesOf("ab"), error));
    EXPECT_EQ(error, withCode(message, ioErrorCode()));
    EXPECT_FALSE(verify && readDestinationBlock(file, 0, 2, bytes, error));
    EXPECT_EQ(error, withCode(verify ? verify : message, ioErrorCode()));
  }
  setLastErrorCode(50);
  EXPECT_EQ(lastErrorText(L"FSCTL_SET_ZERO_DATA failed"), L"FSCTL_SET_ZERO_DATA failed (error 50)");
  const std::wstring diskFull = systemErrorText(diskFullErrorCode());
  EXPECT_TRUE(!diskFull.empty() && std::wstring(L"\r\n \t").find(diskFull.back()) == std::wstring::npos);
  EXPECT_EQ(systemErrorText(0x7FFFFF00u), L"Unknown error");
}

}  // namespace
