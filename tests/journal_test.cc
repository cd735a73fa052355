// What an extraction writes through: block transfers and their error texts, and the journal file: its bytes, the
// rules for loading it, and the in-place, flushed state changes.
#include <gtest/gtest.h>

#include <optional>
#include <tuple>

#include "consume/journal.h"
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
// loop. Then each failing step names itself, the code and the system's text for it, or "Unknown error".
TEST(BlockIo, TransfersAndTheirErrorTexts) {
  Scene s;
  writeFile(s.archive, "0123456789");
  FileHandle file;
  ASSERT_TRUE(openFile(wide(s.archive), OpenMode::ReadWrite, file));
  std::vector<uint8_t> bytes = bytesOf("junk");
  uint32_t moves = 1;
  ScopedIoHook limited([&](const IoCall& call) {
    if (call.limit != nullptr) *call.limit = std::min(*call.limit, moves);
    return call.op == IoOp::Flush ? ioErrorCode() : 0u;
  });
  EXPECT_TRUE(readArchiveBlock(file, 1ull << 40, 0, bytes).ok() && bytes.empty());
  EXPECT_TRUE(readArchiveBlock(file, 3, 4, bytes).ok() && bytes == bytesOf("3456"));
  EXPECT_TRUE(writeDestinationBytes(file, 12, mixedBytes(40, 3)).ok());
  EXPECT_TRUE(readDestinationBlock(file, 12, 40, bytes).ok() && bytes == mixedBytes(40, 3));
  for (const Status& early : {readArchiveBlock(file, 50, 3, bytes), readDestinationBlock(file, 100, 1, bytes)}) {
    EXPECT_EQ(early.kind, StatusKind::EndedEarly);
    EXPECT_EQ(early.message, L"");
  }
  moves = 0;
  EXPECT_EQ(writeDestinationBytes(file, 0, bytesOf("abc")).message,
            withCode(L"Failed to write destination block (code=", diskFullErrorCode()));
  const std::tuple<IoOp, const wchar_t*, const wchar_t*> cases[] = {
      // the failing call; reading, reading back
      {IoOp::Seek, L"Failed to seek archive block (code=", L"Failed to seek destination file for verification (code="},
      {IoOp::Read, L"Failed to read archive block (code=", L"Failed to read destination block for verification (code="},
      {IoOp::Seek, L"Failed to seek destination file (code=", nullptr},  // writing
      {IoOp::Write, L"Failed to write destination block (code=", nullptr}};
  for (const auto& [failing, message, verify] : cases) {
    ScopedIoHook fails([&](const IoCall& call) { return call.op == failing ? ioErrorCode() : 0u; });
    const Status failed = verify ? readArchiveBlock(file, 0, 2, bytes) : writeDestinationBytes(file, 0, bytesOf("ab"));
    EXPECT_EQ(failed.message, withCode(message, ioErrorCode()));
    if (verify) {
      EXPECT_EQ(readDestinationBlock(file, 0, 2, bytes).message, withCode(verify, ioErrorCode()));
    }
  }
  setLastErrorCode(50);
  EXPECT_EQ(lastErrorText(L"FSCTL_SET_ZERO_DATA failed"), L"FSCTL_SET_ZERO_DATA failed (error 50)");
  EXPECT_EQ(systemErrorText(0x7FFFFF00u), L"Unknown error");
}

Bytes journalBytes(uint32_t version, uint32_t count, const Bytes& states, const char* magic = "ZVKJWIN") {
  Bytes bytes(magic, magic + 8);
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<uint8_t>((i < 4 ? version : count) >> (8 * (i % 4))));
  bytes.insert(bytes.end(), states.begin(), states.end());
  return bytes;
}

// Created whole with every block Pending; a change of states writes its span of bytes at 16 + block in place and
// flushes it (a failed flush is a failed change). Failures while it is created, and power losses around its
// replacement of an earlier journal, are in the fault tests.
TEST(Journal, CreatedWholeThenChangedInPlace) {
  Scene s;
  writeFile(s.journal, journalBytes(1, 2, {2, 1}));
  Journal journal{wide(s.journal), Bytes(5, 7)};
  ASSERT_TRUE(createJournal(journal) && journal.states.bytes() == Bytes(5, 0));
  EXPECT_EQ(readFile(s.journal), journalBytes(1, 5, Bytes(5, 0)));
  const uint32_t group[] = {3, 1}, first[] = {0}, last[] = {4};
  ASSERT_TRUE(recordStates(journal, group, BlockState::DestWritten));
  ASSERT_TRUE(recordStates(journal, first, BlockState::Punched));
  {
    ScopedIoHook flushFails([](const IoCall& call) { return call.op == IoOp::Flush ? ioErrorCode() : 0u; });
    EXPECT_FALSE(recordStates(journal, last, BlockState::DestWritten));
  }
  journal.file.close();
  EXPECT_EQ(readFile(s.journal), journalBytes(1, 5, {2, 1, 0, 1, 1}));
}

// A journal loads when its header matches its archive's block count; bytes after its states that are no fingerprint
// (a journal written before fingerprints) are ignored.
TEST(Journal, LoadRules) {
  const Bytes good = journalBytes(1, 3, {0, 1, 2});
  using enum JournalLoad;
  // clang-format off
  const std::tuple<std::optional<Bytes>, JournalLoad, int> cases[] = {  // the file if any, the result, a failing IoOp
      {good, Loaded, -1}, {journalBytes(1, 3, {7, 255, 2, 9, 9}), Loaded, -1},  // any state; bytes after the states,
      {journalBytes(1, 3, Bytes(3 + 48, 9)), Loaded, -1},  // also a fingerprint's length whose CRC does not match
      {journalBytes(2, 3, {0, 1, 2}), Foreign, -1}, {journalBytes(1, 4, {0, 1, 2, 0}), Foreign, -1},
      {journalBytes(1, 3, {0, 1, 2}, "ZVKAWIN"), Foreign, -1}, {journalBytes(1, 2, {0, 1, 2}), Foreign, -1},
      {journalBytes(1, 3, {0, 1}), Foreign, -1}, {Bytes(10, 0), Foreign, -1}, {std::nullopt, Missing, -1},
      {good, Unreadable, int(IoOp::Open)}, {good, Unreadable, int(IoOp::Size)}, {good, Unreadable, int(IoOp::Read)}};
  // clang-format on
  for (const auto& [file, expected, failing] : cases) {
    SCOPED_TRACE(::testing::PrintToString(file) + " failing " + std::to_string(failing));
    Scene s;
    if (file) writeFile(s.journal, *file);
    ScopedIoHook fails([&](const IoCall& call) { return int(call.op) == failing ? ioErrorCode() : 0u; });
    Journal journal{wide(s.journal), Bytes(3, 7)};
    EXPECT_EQ(loadJournal(journal), expected);
    EXPECT_TRUE(expected != Loaded ||
                (journal.states.bytes() == Bytes(file->begin() + 16, file->begin() + 19) && !journal.fingerprint));
  }
}

}  // namespace
