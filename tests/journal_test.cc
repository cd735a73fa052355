// The journal file: its bytes, the rules for loading it, and the in-place,
// flushed state changes.
#include <gtest/gtest.h>

#include "extract_fixture.h"
#include "journal.h"

using namespace testutil;
using namespace ablative;

namespace {

Bytes journalBytes(uint32_t version, uint32_t count, const Bytes& states, const char* magic = "ZVKJWIN") {
  Bytes bytes(magic, magic + 8);
  for (uint32_t value : {version, count}) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  bytes.insert(bytes.end(), states.begin(), states.end());
  return bytes;
}

class JournalTest : public ::testing::Test {
 protected:
  Journal journalOf(size_t blocks) {
    Journal journal;
    journal.path = wide(path_);
    journal.states.assign(blocks, 0);
    return journal;
  }

  ScratchDir scratch_;
  fs::path path_ = scratch_ / "a.zvka.zvkj";
};

TEST(JournalPath, AppendsTheExtension) {
  EXPECT_EQ(journalPathFor(L"dir/data.zvka"), L"dir/data.zvka.zvkj");
}

TEST_F(JournalTest, CreateWritesTheExactFormatAndNoTemporaryFile) {
  Journal journal = journalOf(3);
  journal.states = {2, 1, 7};
  ASSERT_TRUE(createJournal(journal));
  EXPECT_EQ(readFile(path_), journalBytes(1, 3, {0, 0, 0}));
  EXPECT_EQ(entriesOf(scratch_.path()), std::vector<std::string>{"a.zvka.zvkj"});
  journal.file.close();

  Journal empty = journalOf(0);
  ASSERT_TRUE(createJournal(empty));
  EXPECT_EQ(readFile(path_), journalBytes(1, 0, {}));
}

// Written whole under a temporary name, flushed, then renamed and the folder
// flushed: the journal's name never shows a partial file.
TEST_F(JournalTest, CreateFlushesBeforeRenamingAndSyncsTheFolder) {
  std::vector<IoOp> ops;
  ScopedIoHook record([&](const IoCall& call) {
    ops.push_back(call.op);
    return 0u;
  });
  Journal journal = journalOf(2);
  ASSERT_TRUE(createJournal(journal));
  EXPECT_EQ(ops, (std::vector<IoOp>{IoOp::Open, IoOp::Write, IoOp::Flush, IoOp::Rename, IoOp::SyncDirectory, IoOp::Open}));
}

// A failure at any step leaves no temporary file and the earlier journal as it was.
TEST_F(JournalTest, FailedCreateKeepsTheEarlierJournal) {
  const Bytes earlier = journalBytes(1, 2, {2, 1});
  for (int failAt = 0; failAt < 4; ++failAt) {
    writeFile(path_, earlier);
    int calls = 0;
    ScopedIoHook failing([&](const IoCall&) { return calls++ == failAt ? ioErrorCode() : 0u; });
    Journal journal = journalOf(2);
    EXPECT_FALSE(createJournal(journal)) << failAt;
    EXPECT_EQ(readFile(path_), earlier) << failAt;
    EXPECT_EQ(entriesOf(scratch_.path()), std::vector<std::string>{"a.zvka.zvkj"}) << failAt;
  }
}

TEST_F(JournalTest, LoadRules) {
  struct Case {
    const char* name;
    Bytes file;
    JournalLoad expected;
  };
  const Case cases[] = {
      {"exact", journalBytes(1, 3, {0, 1, 2}), JournalLoad::Loaded},
      {"extra bytes after the states", journalBytes(1, 3, {0, 1, 2, 9, 9}), JournalLoad::Loaded},
      {"other state values kept", journalBytes(1, 3, {7, 255, 2}), JournalLoad::Loaded},
      {"version 2", journalBytes(2, 3, {0, 1, 2}), JournalLoad::Foreign},
      {"archive magic", journalBytes(1, 3, {0, 1, 2}, "ZVKAWIN"), JournalLoad::Foreign},
      {"one block more", journalBytes(1, 4, {0, 1, 2, 0}), JournalLoad::Foreign},
      {"one block fewer", journalBytes(1, 2, {0, 1, 2}), JournalLoad::Foreign},
      {"states cut short", journalBytes(1, 3, {0, 1}), JournalLoad::Foreign},
      {"header cut short", Bytes(10, 0), JournalLoad::Foreign},
      {"empty file", Bytes{}, JournalLoad::Foreign},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(path_, c.file);
    Journal journal = journalOf(3);
    EXPECT_EQ(loadJournal(journal), c.expected);
    if (c.expected == JournalLoad::Loaded) {
      EXPECT_EQ(journal.states, Bytes(c.file.begin() + 16, c.file.begin() + 19));
    }
  }
  fs::remove(path_);
  Journal journal = journalOf(3);
  EXPECT_EQ(loadJournal(journal), JournalLoad::Missing);
}

TEST_F(JournalTest, AnIoErrorIsNotMistakenForAForeignFile) {
  writeFile(path_, journalBytes(1, 3, {0, 1, 2}));
  for (IoOp failing : {IoOp::Open, IoOp::Size, IoOp::Read}) {
    ScopedIoHook fails([&](const IoCall& call) { return call.op == failing ? ioErrorCode() : 0u; });
    Journal journal = journalOf(3);
    EXPECT_EQ(loadJournal(journal), JournalLoad::Unreadable);
  }
}

// One byte at 16 + block, flushed at once, and nothing else written.
TEST_F(JournalTest, StateChangesRewriteOnlyTheirByteAndFlushIt) {
  Journal journal = journalOf(5);
  ASSERT_TRUE(createJournal(journal));
  std::vector<IoCall> calls;
  ScopedIoHook record([&](const IoCall& call) {
    calls.push_back(call);
    return 0u;
  });
  ASSERT_TRUE(writeJournalState(journal, 3, BlockState::DestWritten));
  ASSERT_TRUE(writeJournalState(journal, 0, BlockState::Punched));
  ASSERT_EQ(calls.size(), 6u);
  for (size_t i : {0u, 3u}) {
    EXPECT_EQ(calls[i].op, IoOp::Seek);
    EXPECT_EQ(calls[i + 1].op, IoOp::Write);
    EXPECT_EQ(calls[i + 1].length, 1u);
    EXPECT_EQ(calls[i + 2].op, IoOp::Flush);
  }
  EXPECT_EQ(calls[0].offset, 19u);
  EXPECT_EQ(calls[3].offset, 16u);
  journal.file.close();
  EXPECT_EQ(readFile(path_), journalBytes(1, 5, {2, 0, 0, 1, 0}));
}

TEST_F(JournalTest, AFailedFlushIsAFailedStateChange) {
  Journal journal = journalOf(2);
  ASSERT_TRUE(createJournal(journal));
  ScopedIoHook flushFails([](const IoCall& call) { return call.op == IoOp::Flush ? ioErrorCode() : 0u; });
  EXPECT_FALSE(writeJournalState(journal, 1, BlockState::DestWritten));
}

TEST_F(JournalTest, StatesOtherThanOneAndTwoActAsPending) {
  Journal journal = journalOf(4);
  journal.states = {0, 1, 2, 3};
  EXPECT_EQ(stateOf(journal, 0), BlockState::Pending);
  EXPECT_EQ(stateOf(journal, 1), BlockState::DestWritten);
  EXPECT_EQ(stateOf(journal, 2), BlockState::Punched);
  EXPECT_EQ(stateOf(journal, 3), BlockState::Pending);
  EXPECT_TRUE(recordsProgress(journal));
  journal.states = {0, 3, 200};
  EXPECT_FALSE(recordsProgress(journal));
}

TEST_F(JournalTest, EveryBlockPunchedIsReadWithoutKnowingTheCount) {
  writeFile(path_, journalBytes(1, 3, {2, 2, 2}));
  EXPECT_TRUE(journalRecordsEveryBlockPunched(wide(path_)));
  writeFile(path_, journalBytes(1, 0, {}));
  EXPECT_TRUE(journalRecordsEveryBlockPunched(wide(path_)));
  writeFile(path_, journalBytes(1, 3, {2, 1, 2}));
  EXPECT_FALSE(journalRecordsEveryBlockPunched(wide(path_)));
  writeFile(path_, journalBytes(1, 4, {2, 2, 2}));
  EXPECT_FALSE(journalRecordsEveryBlockPunched(wide(path_)));
  EXPECT_FALSE(journalRecordsEveryBlockPunched(wide(scratch_ / "absent")));
}

}  // namespace
