// Block transfers and their error texts, on the platform the tests run on.
#include <gtest/gtest.h>

#include "block_io.h"
#include "extract_fixture.h"

using namespace testutil;
using namespace ablative;

namespace {

class BlockIoTest : public ::testing::Test {
 protected:
  FileHandle open(const Bytes& content) {
    writeFile(path_, content);
    FileHandle file;
    EXPECT_TRUE(openFile(wide(path_), OpenMode::ReadWrite, file));
    return file;
  }

  ScratchDir scratch_;
  fs::path path_ = scratch_ / "file.bin";
};

std::wstring withCode(const std::wstring& prefix, uint32_t code) {
  return prefix + std::to_wstring(code) + L"): " + systemErrorText(code);
}

TEST_F(BlockIoTest, ReadsExactlyTheAskedRange) {
  FileHandle file = open(bytesOf("0123456789"));
  std::vector<uint8_t> bytes;
  std::wstring error = L"untouched";
  ASSERT_TRUE(readArchiveBlock(file, 3, 4, bytes, error));
  EXPECT_EQ(bytes, bytesOf("3456"));
  ASSERT_TRUE(readDestinationBlock(file, 6, 4, bytes, error));
  EXPECT_EQ(bytes, bytesOf("6789"));
  EXPECT_EQ(error, L"untouched");
}

TEST_F(BlockIoTest, ZeroSizeReadsSucceedAnywhere) {
  FileHandle file = open(bytesOf("abc"));
  std::vector<uint8_t> bytes = bytesOf("junk");
  std::wstring error;
  for (uint64_t offset : {uint64_t{0}, uint64_t{3}, uint64_t{1} << 40}) {
    EXPECT_TRUE(readArchiveBlock(file, offset, 0, bytes, error));
    EXPECT_TRUE(bytes.empty());
  }
}

// The file ending early is not an I/O error: no message, the caller decides.
TEST_F(BlockIoTest, ReadPastTheEndFailsWithoutMessage) {
  FileHandle file = open(bytesOf("abc"));
  std::vector<uint8_t> bytes;
  std::wstring error = L"earlier text";
  EXPECT_FALSE(readArchiveBlock(file, 1, 3, bytes, error));
  EXPECT_FALSE(readDestinationBlock(file, 100, 1, bytes, error));
  EXPECT_EQ(error, L"earlier text");
}

// Transfers that move fewer bytes than asked are continued to the end.
TEST_F(BlockIoTest, PartialTransfersAreContinued) {
  FileHandle file = open(Bytes(100, 0));
  ScopedIoHook oneByteAtATime([](const IoCall& call) {
    if (call.limit != nullptr) *call.limit = 1;
    return 0u;
  });
  std::wstring error;
  const Bytes block = mixedBytes(40, 3);
  ASSERT_TRUE(writeDestinationBlock(file, 10, block, error));
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(readDestinationBlock(file, 10, 40, bytes, error));
  EXPECT_EQ(bytes, block);
}

TEST_F(BlockIoTest, WriteIsFlushedEvenWhenEmpty) {
  FileHandle file = open({});
  std::vector<IoOp> ops;
  ScopedIoHook record([&](const IoCall& call) {
    ops.push_back(call.op);
    return 0u;
  });
  std::wstring error;
  ASSERT_TRUE(writeDestinationBlock(file, 5, bytesOf("xy"), error));
  ASSERT_TRUE(writeDestinationBlock(file, 0, {}, error));
  EXPECT_EQ(ops, (std::vector<IoOp>{IoOp::Seek, IoOp::Write, IoOp::Flush, IoOp::Seek, IoOp::Flush}));
  EXPECT_EQ(readFile(path_), (Bytes{0, 0, 0, 0, 0, 'x', 'y'}));
}

// Each failing step names itself, its code and the system's text.
TEST_F(BlockIoTest, FailuresCarryTheirMessage) {
  struct Case {
    IoOp failing;
    bool write;
    const wchar_t* archivePrefix;  // a read of an archive block, or a destination write
    const wchar_t* verifyPrefix;   // a read-back for verification
  };
  const Case cases[] = {
      {IoOp::Seek, false, L"Failed to seek archive block (code=", L"Failed to seek destination file for verification (code="},
      {IoOp::Read, false, L"Failed to read archive block (code=", L"Failed to read destination block for verification (code="},
      {IoOp::Seek, true, L"Failed to seek destination file (code=", nullptr},
      {IoOp::Write, true, L"Failed to write destination block (code=", nullptr},
      {IoOp::Flush, true, L"Failed to flush destination file (code=", nullptr},
  };
  FileHandle file = open(bytesOf("0123456789"));
  const uint32_t code = ioErrorCode();
  for (const Case& c : cases) {
    ScopedIoHook failing([&](const IoCall& call) { return call.op == c.failing ? code : 0u; });
    std::vector<uint8_t> bytes;
    std::wstring error;
    if (c.write) {
      EXPECT_FALSE(writeDestinationBlock(file, 0, bytesOf("ab"), error));
      EXPECT_EQ(error, withCode(c.archivePrefix, code));
    } else {
      EXPECT_FALSE(readArchiveBlock(file, 0, 2, bytes, error));
      EXPECT_EQ(error, withCode(c.archivePrefix, code));
      EXPECT_FALSE(readDestinationBlock(file, 0, 2, bytes, error));
      EXPECT_EQ(error, withCode(c.verifyPrefix, code));
    }
  }
}

// A write that reports success but moves nothing would otherwise spin forever.
TEST_F(BlockIoTest, WriteThatMovesNothingIsADiskFullFailure) {
  FileHandle file = open({});
  ScopedIoHook nothingMoves([](const IoCall& call) {
    if (call.op == IoOp::Write) *call.limit = 0;
    return 0u;
  });
  std::wstring error;
  EXPECT_FALSE(writeDestinationBlock(file, 0, bytesOf("abc"), error));
  EXPECT_EQ(error, withCode(L"Failed to write destination block (code=", diskFullErrorCode()));
}

TEST_F(BlockIoTest, CutSetsTheEndAndIgnoresTheFlush) {
  FileHandle file = open(bytesOf("0123456789"));
  {
    ScopedIoHook flushFails([](const IoCall& call) { return call.op == IoOp::Flush ? ioErrorCode() : 0u; });
    EXPECT_TRUE(cutFileAt(file, 4));
  }
  EXPECT_EQ(readFile(path_), bytesOf("0123"));
  ScopedIoHook cutFails([](const IoCall& call) { return call.op == IoOp::SetEnd ? ioErrorCode() : 0u; });
  EXPECT_FALSE(cutFileAt(file, 2));
}

TEST(ErrorText, LastErrorTextAppendsTheCode) {
  setLastErrorCode(50);
  EXPECT_EQ(lastErrorText(L"FSCTL_SET_ZERO_DATA failed"), L"FSCTL_SET_ZERO_DATA failed (error 50)");
}

TEST(ErrorText, SystemTextIsTrimmedAndUnknownCodesSaySo) {
  const std::wstring diskFull = systemErrorText(diskFullErrorCode());
  ASSERT_FALSE(diskFull.empty());
  EXPECT_EQ(std::wstring(L"\r\n \t").find(diskFull.back()), std::wstring::npos) << "trailing blank kept";
  EXPECT_EQ(systemErrorText(0x7FFFFF00u), L"Unknown error");
}

}  // namespace
