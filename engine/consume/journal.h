// The journal (".zvkj"): the durable record of an ablative extraction, one
// state byte per archive block, from which a run stopped at any instant is
// resumed without losing a block.
//
// Layout, integers little-endian and packed:
//   "ZVKJWIN\0" (8 bytes) | u32 version = 1 | u32 stateCount | stateCount state bytes
// Byte 16 + b is the state of block b.
//
// An archive whose description goes first when it is consumed (a zip's
// directory lies at its end) has a journal of version 2, which keeps that
// description, the record, in front of the states:
//   "ZVKJWIN\0" | u32 version = 2 | u32 stateCount | u64 recordLength |
//   u32 CRC-32 of the record | u32 0 | record | stateCount state bytes | tail
// The record is written once, with the journal, and never changes. The tail
// holds what single units need beyond it (where a deflated piece's decoding
// starts again: 32 KiB each), one piece of bytes a unit:
//   u32 unit | u32 length | u32 CRC-32 of the bytes | bytes
// laid out so that the units a run takes first come last, and cut away as
// those units are released, so that the journal shrinks as the archive does.
// Each cut is flushed at once: FAT writes a file's new length and its freed
// clusters apart, and a flush of another file may carry the clusters without
// the length, leaving a journal that no longer reads to its end. A cut lost
// otherwise only leaves the pieces it would have taken.
//
// A journal written today ties itself to its archive with a fingerprint
// right after the states, in either version (version 2's tail follows it):
//   u32 0xFFFFFFFF | u32 36 | u32 CRC-32 of the next 36 bytes | u64 volume |
//   u64 file number (0 where the file system keeps none that lasts) |
//   u64 the archive's length | u64 the bytes its plan describes |
//   u32 CRC-32 of the plan (planChecksum)
// No tail piece starts with that unit, and journals written before it, where
// nothing follows the states or a tail piece does, load without one.
//
// Durability: a journal is written whole under a temporary name, flushed,
// renamed into place and its folder flushed, so it never exists half
// written. After that a change of states rewrites only the bytes it changes,
// in place, and flushes them: each byte is whole either way, so a change cut
// short leaves every block in its old state or its new one, and a run costs
// the same per block however large the archive.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "consume/journal_file.h"
#include "consume/unit_states.h"
#include "platform/env.h"

namespace ablative {

inline constexpr uint32_t kJournalVersion = 1;
inline constexpr uint32_t kRecordJournalVersion = 2;
inline constexpr uint32_t kJournalHeaderSize = 16;
inline constexpr uint32_t kRecordJournalHeaderSize = 32;
inline constexpr uint8_t kJournalMagic[8] = {'Z', 'V', 'K', 'J', 'W', 'I', 'N', 0};

// Why a resumed run refuses an archive its journal's fingerprint or record
// does not match.
inline constexpr wchar_t kArchiveChanged[] =
    L"The archive is not the one this journal was written for: put the original back, or delete the journal to "
    L"start over";

// A piece of the tail: its unit, its bytes' length and CRC-32, and where they
// start, counted from the tail's start.
struct TailPiece {
  uint32_t unit = 0;
  uint32_t length = 0;
  uint32_t crc = 0;
  uint64_t offset = 0;
};

struct Journal;

// The archive a journal was written for, as a resumed run checks it.
struct ArchiveFingerprint {
  FileIdentity identity;   // index 0 where the file system keeps no lasting file numbers
  uint64_t length = 0;     // of the archive's file when the journal was written; it only shrinks since
  uint64_t described = 0;  // the bytes its plan describes
  uint32_t planCrc = 0;
};
inline constexpr uint32_t kFingerprintBytes = 48;

// Where createJournal finds the bytes of the tail it writes, a piece at a
// time, and whom it tells once the journal's file holds them.
struct TailSource {
  std::function<bool(uint32_t unit, std::vector<uint8_t>& bytes)> read;
  std::function<void(const Journal& journal)> written;
};

struct Journal {
  explicit Journal(std::wstring journalPath = {}, std::vector<uint8_t> blockStates = {})
      : path(std::move(journalPath)), states(std::move(blockStates)) {}

  std::wstring path;
  UnitStates states;            // one per block
  std::vector<uint8_t> record;  // version 2's; empty in version 1
  JournalFile file;             // open for state changes from createJournal/openJournal on
  // Version 2's tail, in its order, as far as its pieces read whole and
  // match their CRC-32: its bytes stay in the file.
  std::vector<TailPiece> tail;
  uint64_t tailBytes = 0;                         // all the file holds past the states, whole pieces or not
  TailSource tailSource;                          // for createJournal, of the pieces added to `tail`
  std::optional<ArchiveFingerprint> fingerprint;  // absent from journals written before it
};

// Adds a piece of `length` bytes (more than none) with that CRC-32 to the
// tail createJournal writes.
void addToTail(Journal& journal, uint32_t unit, uint32_t length, uint32_t crc);

// Where the tail starts in the journal's file.
uint64_t tailStart(const Journal& journal);

// Cuts away the pieces at the tail's end whose units are settled, and flushes
// the cut. A cut that fails only leaves the journal longer, and one whose
// flush fails is flushed by the journal's next change, so neither is reported.
void trimTail(Journal& journal);

// How many bytes the journal takes on disk.
uint64_t journalBytes(const Journal& journal);

// The archive's path + ".zvkj": data.zvka has the journal data.zvka.zvkj.
std::wstring journalPathFor(const std::wstring& archivePath);

// The journal's path + ".points": where a first pass over the archive keeps
// the points its units start at until a journal's tail takes them.
std::wstring pointsScratchPathFor(const std::wstring& journalPath);

enum class JournalLoad {
  Loaded,
  Missing,     // no file at the path
  Foreign,     // not a journal for this block count: magic, version, count, fewer state bytes than counted,
               // or a record that fails its CRC-32
  Unreadable,  // an I/O error; nothing is known about the file
};

// Reads `journal.path` into `states`, which the caller has sized to the
// archive's block count, `record` and `fingerprint`. In version 1, bytes
// after the states other than a fingerprint are ignored.
// The file is left closed.
JournalLoad loadJournal(Journal& journal);

// The same for a journal whose archive is not at hand: `states` takes the
// count the file claims.
JournalLoad loadJournalAsWritten(Journal& journal);

// What loadJournal finds, from what loadJournalAsWritten found (`load`), for
// an archive of `unitCount` units: a run reads its journal once, before it
// knows that count. Where the result is other than Loaded, `states` is
// `unitCount` Pending states and nothing past them is kept.
JournalLoad fitJournal(Journal& journal, JournalLoad load, uint32_t unitCount);

// Sets every state to Pending, writes the journal as described above (with
// `fingerprint` where it is set, of
// version 2 where it has a record), its tail's pieces read from tailSource
// and copied a few at a time, and keeps it open for state changes. False when
// any step failed; no temporary file is left behind.
bool createJournal(Journal& journal);

// Opens a loaded journal for state changes.
bool openJournal(Journal& journal);

// Deletes the journal at `path`, with what a creation cut short by a power
// loss may have left beside it, its temporary file and a first pass's
// scratch file.
void removeJournal(const std::wstring& path);

// Records `state` for every block of `blocks` with one write, of the span of
// state bytes from the lowest of them to the highest, and one flush: true
// once it is durable.
bool recordStates(Journal& journal, std::span<const uint32_t> blocks, BlockState state);

}  // namespace ablative
