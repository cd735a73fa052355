// The journal file: its bytes, the rules for loading it, and the in-place, flushed state changes.
#include <gtest/gtest.h>

#include <optional>
#include <tuple>

#include "consume/journal.h"
#include "extract_fixture.h"

using namespace testutil;
using namespace ablative;

namespace {

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

TEST(Journal, LoadRules) {
  const Bytes good = journalBytes(1, 3, {0, 1, 2});
  using enum JournalLoad;
  // clang-format off
  const std::tuple<std::optional<Bytes>, JournalLoad, int> cases[] = {  // the file if any, the result, a failing IoOp
      {good, Loaded, -1}, {journalBytes(1, 3, {7, 255, 2, 9, 9}), Loaded, -1},  // any state; bytes after the states
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
    EXPECT_TRUE(expected != Loaded || journal.states.bytes() == Bytes(file->begin() + 16, file->begin() + 19));
  }
}

// A journal written today carries its archive's fingerprint, 48 bytes after the states; one whose fingerprint does
// not match its CRC loads as a journal written before fingerprints, its bytes after the states ignored.
TEST(Journal, AFingerprintFollowsTheStates) {
  Scene s;
  Journal written{wide(s.journal), Bytes(3, 0)};
  written.fingerprint = ArchiveFingerprint{{7, 9}, 100, 90, 0xABCD};
  ASSERT_TRUE(createJournal(written));
  written.file.close();
  Bytes bytes = readFile(s.journal);
  ASSERT_EQ(bytes.size(), 16u + 3 + 48);
  for (bool spoiled : {false, true}) {
    if (spoiled) {
      bytes[16 + 3 + 20] ^= 1;
      writeFile(s.journal, bytes);
    }
    Journal loaded{wide(s.journal), Bytes(3, 7)};
    ASSERT_EQ(loadJournal(loaded), JournalLoad::Loaded);
    EXPECT_EQ(loaded.states.bytes(), Bytes(3, 0));
    ASSERT_EQ(loaded.fingerprint.has_value(), !spoiled);
    if (spoiled) continue;
    const ArchiveFingerprint& f = *loaded.fingerprint;
    EXPECT_TRUE(f.identity == written.fingerprint->identity && f.length == 100 && f.described == 90 &&
                f.planCrc == 0xABCD);
    EXPECT_EQ(journalBytes(loaded), bytes.size());
  }
}

}  // namespace
