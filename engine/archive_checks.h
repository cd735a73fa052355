// What every reader of an archive checks before it trusts the contents, and
// the one way a block is read, decoded and verified. Extraction and `test`
// both go through here, so `test` passes exactly the archives extraction
// would take.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "env.h"
#include "format.h"

namespace ablative {

inline constexpr wchar_t kArchiveInUse[] = L"Archive is in use by another extraction";

// Every file record (its path lies in the path table, its blocks exist), the
// layout of the blocks (checkBlockLayout, with `mayLieBeyondEnd`) and the
// stored paths (findUnsafePath), failing with the first message that applies:
//   "Invalid archive path offsets" / "Invalid block index in archive"
//   "Invalid archive block table" / "Unsafe path in archive: " + the path
bool checkArchiveContents(const ArchiveTables& tables, const std::function<bool(uint32_t block)>& mayLieBeyondEnd,
                          std::wstring& errorText);

// readArchiveTables, then checkArchiveContents for an archive nothing has
// consumed yet.
bool readAndCheckArchive(const std::wstring& archivePath, ArchiveTables& tables, std::wstring& errorText);

// Opens the archive for one run and keeps every other run off it (lockFile):
// `consume` for a run that releases its blocks (read and write access, an
// exclusive lock), else read access and a shared lock. Fails with
// kArchiveInUse while another run holds it, else with `cannotOpen`.
bool openArchiveForRun(const std::wstring& archivePath, bool consume, FileHandle& archive, const wchar_t* cannotOpen,
                       std::wstring& errorText);

// Whether block `block` can decode at all: a run-length coded byte stands for
// at most 65, so a block claiming more is refused before its buffer exists.
bool blockCanDecode(const BlockRecord& block);

// Reads the stored bytes of `block` into `stored`, decodes them into `raw`
// and checks their CRC-32. Unreadable: the system failed the read (the seek
// or read message of readArchiveBlock), which a later run may get past.
// Damaged: the archive no longer holds the block as written, for good:
//   "Invalid archive block table" (the archive ends before the block does)
//   "Decompression failed (unsupported or invalid block codec)"
//   "Checksum verification failed"
// each followed by " in block " + its index + " of: " + its file's path.
enum class BlockRead { Verified, Unreadable, Damaged };
BlockRead readVerifiedBlock(FileHandle& archive, const ArchiveTables& tables, uint32_t block,
                            std::vector<uint8_t>& stored, std::vector<uint8_t>& raw, std::wstring& errorText);

// The file that block `block` belongs to, in tables whose file records are
// checked.
uint32_t fileOfBlock(const ArchiveTables& tables, uint32_t block);

}  // namespace ablative
