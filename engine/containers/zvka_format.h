// The archive file (".zvka"): records, layout and the validating reader.
// docs/format.md specifies every version byte by byte.
//
// Layout, all integers little-endian and packed:
//   header (56 bytes) | path table | file table (24 bytes a file; version 4:
//   40 an entry) | block table (24 bytes a block) | data area (the stored blocks)
// Every table lies in front of the data, so the first bytes describe the whole
// archive. Before version 4 a file's content is the concatenation of its
// blocks' decoded bytes in index order; in version 4 the files' contents laid
// end to end are the blocks' decoded bytes. Block data is found only through
// BlockRecord::offset.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"
#include "status.h"

namespace ablative {

inline constexpr uint32_t kArchiveHeaderSize = 56;
inline constexpr uint32_t kRecordSize = 24;           // a BlockRecord, and a FileRecord before version 4
inline constexpr uint32_t kEntryRecordSize = 40;      // a FileRecord of version 4
inline constexpr uint32_t kArchiveVersion = 3;        // what creation writes unless told otherwise
inline constexpr uint32_t kOldestArchiveVersion = 2;  // read too: every block then run-length coded
// Entries of every kind with their times and permissions, and blocks cut from
// the files' bytes laid end to end (docs/format.md).
inline constexpr uint32_t kArchiveVersion4 = 4;
// Version 4 with the path and entry tables coded as one Zstandard frame.
inline constexpr uint32_t kArchiveVersion5 = 5;
inline constexpr uint8_t kArchiveMagic[8] = {'Z', 'V', 'K', 'A', 'W', 'I', 'N', 0};

uint32_t fileRecordSize(uint32_t version);

struct ArchiveHeader {
  uint8_t magic[8] = {};
  uint32_t version = 0;      // kArchiveVersion when written; kOldestArchiveVersion is read too
  uint32_t blockSize = 0;    // raw bytes per block
  uint64_t sourceBytes = 0;  // sum of the files' sizes
  uint32_t pathTableSize = 0;
  uint32_t fileCount = 0;
  uint32_t blockCount = 0;
  uint64_t fileTableOffset = 0;  // 56 + pathTableSize; informative, readers do not use it
  uint64_t dataOffset = 0;       // first byte after the tables; informative, readers do not use it
  uint32_t reserved = 0;
  // Version 5 holds these in place of fileTableOffset and reserved.
  uint64_t tablesStoredSize = 0;  // the coded tables' frame
  uint32_t tablesCrc = 0;         // CRC-32 of the decoded tables
};

// What an entry of version 4 is; earlier versions hold files alone.
enum class EntryType : uint32_t { File = 0, Folder = 1, Link = 2 };

struct FileRecord {
  uint32_t pathOffset = 0;  // inside the path table
  uint32_t pathLength = 0;
  uint64_t size = 0;  // a link's: its target's length, the target following its path in the path table
  uint32_t firstBlock = 0;
  // Version 4 stores where the file starts inside its first block and
  // derives the count; earlier versions store the count.
  uint32_t blockCount = 0;
  uint32_t firstOffset = 0;
  int64_t modifiedNs = 0;  // version 4 on: nanoseconds since 1970 UTC
  uint32_t mode = 0;       // version 4 on: POSIX permission bits
  EntryType type = EntryType::File;
};

struct BlockRecord {
  uint64_t offset = 0;  // absolute offset of the stored bytes in the archive
  uint32_t storedSize = 0;
  uint32_t rawSize = 0;
  uint32_t crc = 0;    // CRC-32 of the decoded bytes
  uint32_t codec = 0;  // a BlockCodec value
};

void encodeHeader(const ArchiveHeader& header, uint8_t* out);  // writes kArchiveHeaderSize bytes
ArchiveHeader decodeHeader(const uint8_t* in);
void encodeFileRecord(uint32_t version, const FileRecord& record, uint8_t* out);  // fileRecordSize(version) bytes
FileRecord decodeFileRecord(uint32_t version, const uint8_t* in);
void encodeBlockRecord(const BlockRecord& record, uint8_t* out);  // writes kRecordSize bytes
BlockRecord decodeBlockRecord(const uint8_t* in);

// A header as creation writes it: this version's magic and number, the sizes
// and counts given, and the table offsets that follow from them.
ArchiveHeader newArchiveHeader(uint32_t version, uint32_t blockSize, uint64_t sourceBytes, uint32_t pathTableSize,
                               uint32_t fileCount, uint32_t blockCount);

// Where the tables lie, from a header's sizes and counts alone.
uint64_t blockTableOffset(const ArchiveHeader& header);
uint64_t dataStart(const ArchiveHeader& header);  // the first byte after the tables

// Everything in front of the data: the header, the path table (file i's path,
// and a link's target after it, `pathOf(i)`, at its record's pathOffset), the
// file table and a block table of zeros, a placeholder until the blocks are
// stored. Version 5 codes the path and file tables as one frame at
// `tablesLevel`, and completes the header from it (the frame's size and CRC,
// and where the data starts).
std::vector<uint8_t> encodeTables(ArchiveHeader& header, const std::vector<FileRecord>& files,
                                  const std::function<std::string(size_t file)>& pathOf, int tablesLevel);
// Version 5's tables as stored: `plain`, the path table's `pathTableSize`
// bytes followed by the entry records as version 4 lays them, coded as one
// frame at `level`; `decodedCrc` gets the CRC-32 the header keeps.
std::vector<uint8_t> codeTables(const std::vector<uint8_t>& plain, uint32_t pathTableSize, int level,
                                uint32_t& decodedCrc);
std::vector<uint8_t> encodeBlockTable(const std::vector<BlockRecord>& blocks);

// An archive's tables as read from its first bytes.
struct ArchiveTables {
  ArchiveHeader header;
  std::vector<uint8_t> pathTable;
  std::vector<FileRecord> files;
  std::vector<BlockRecord> blocks;
  uint64_t archiveSize = 0;  // the file's length when it was read
};

// Reads and checks the header and the three tables, failing with the first
// of these messages that applies:
//   "Unable to open archive file"
//   "Invalid archive format (header read failed)"
//   "Invalid archive format (bad magic). Ensure you selected a .zvka archive, not a .zvkj journal."
//   "Archive version mismatch. Recreate archive using this app version."
//   "Invalid archive path table" / "Invalid archive file table" / "Invalid archive block table"
// A table is only allocated once the archive is known to hold it, so absurd
// counts end in their table's message. Version 5's coded tables (a frame that
// does not decode to exactly their size, or fails its CRC) end in "Invalid
// archive file table".
Status readArchiveTables(FileHandle& archive, ArchiveTables& tables);

// Checks file `index`: its path (and a link's target) lies in the path table
// ("Invalid archive path offsets"), its type is known and a folder or link
// holds no data ("Invalid archive file table"), then each of its blocks
// exists ("Invalid block index in archive").
Status checkFileRecord(const ArchiveTables& tables, size_t index);

// Checks that the stored ranges lie in the data area without overlapping,
// else "Invalid archive block table", and that the files fill the blocks:
// before version 4 every block belongs to exactly one file ("Invalid archive
// block table"); in version 4 each file starts where the one before it ended
// and together they cover every block's raw bytes ("Invalid archive file
// table"). A block for which `mayLieBeyondEnd` returns true (one already
// consumed and cut away) need not lie inside the current archive length.
Status checkBlockLayout(const ArchiveTables& tables, const std::function<bool(uint32_t block)>& mayLieBeyondEnd);

// The stored UTF-8 path of file `index`; call only after checkFileRecord.
std::string storedPath(const ArchiveTables& tables, size_t index);

// Restores a block read from an archive of `archiveVersion` into `out`
// (`rawSize` bytes).
//   Version 3: `codec` is a BlockCodec. Rle decodes; Stored succeeds only when
//              storedLength == rawSize and copies the bytes; any other value fails.
//   Versions 4, 5: as version 3, and Zstd succeeds only when the stored bytes are
//              one frame that declares and decodes to rawSize bytes, at most
//              kLargestZstdBlock.
//   Version 2: blocks are always Rle coded; `codec` is ignored.
// Other versions are not handled here and fail.
bool decodeBlock(uint32_t archiveVersion, uint32_t codec, const uint8_t* stored, size_t storedLength, uint32_t rawSize,
                 std::vector<uint8_t>& out);

}  // namespace ablative
