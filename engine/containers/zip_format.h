// Zip archives (".zip"): the directory as plain records, the checks that come
// before anything is written, and a decoder for one entry's data in pieces.
//
// The central directory is authoritative: every entry's local header, and its
// data descriptor when it has one, must agree with it on what decides the
// bytes: the name (the same bytes, or the same name once each side is
// decoded with its own flags and Unicode path field), the method, the
// encryption flags, and the CRC-32 and sizes unless the local header defers
// them to a descriptor. The descriptor and UTF-8 flags may differ. Paths are
// not judged here: callers run the decoded names through path_safety.h like
// any other stored path.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "framings/inflate_points.h"
#include "platform/env.h"
#include "status.h"

namespace ablative {

inline constexpr uint16_t kZipStored = 0;
inline constexpr uint16_t kZipDeflated = 8;
// Both sizes and the end of the data of a cut zip's last entry when it
// deferred them to a descriptor the cut took: its data runs on past the
// file's end, for a length nothing left records.
inline constexpr uint64_t kZipSizeUnknown = UINT64_MAX;

enum class ZipEntryKind : uint8_t { File, Folder, SymbolicLink };  // a link's target is its data

// Ordered widest first: no padding between fields, which for 300,000 entries
// is megabytes.
struct ZipEntry {
  // UTF-8, decoded as zip_fields.h tells; a name flagged as UTF-8 that is not,
  // or made on Unix, stays the bytes it is, for the path rules to judge.
  std::string name;
  uint64_t compressedSize = 0;
  uint64_t uncompressedSize = 0;
  // Offsets in the file as it is, a prefix in front of the archive counted.
  uint64_t localHeaderOffset = 0;
  uint64_t dataOffset = 0;            // just past the local header
  uint64_t dataEnd = 0;               // dataOffset + compressedSize
  int64_t modifiedNs = 0;             // nanoseconds since 1970 UTC
  uint32_t crc = 0;                   // CRC-32 of the decoded data
  uint32_t localHeaderCrc = 0;        // CRC-32 of the local header, name and extra field included
  uint32_t dataDescriptorLength = 0;  // after dataEnd: 12 to 24 bytes when present
  uint32_t unixMode = 0;              // type and permission bits, when made on Unix
  uint16_t method = 0;
  uint16_t flags = 0;
  ZipEntryKind kind = ZipEntryKind::File;
  bool hasDataDescriptor = false;
  bool hasUnixMode = false;
  bool dosDirectory = false;
};

struct ZipDirectory {
  std::vector<ZipEntry> entries;  // in central directory order
  // Bytes in front of the first entry (a self-extracting program), and how far
  // the recorded offsets were moved to account for it (zero when the writer
  // already counted the prefix).
  uint64_t prefixLength = 0;
  uint64_t offsetShift = 0;
  uint64_t centralDirectoryOffset = 0;  // where it is, not where the archive records it
  uint64_t archiveSize = 0;
  // Where bytes other than zeros follow the end record and its comment:
  // "Data after the end of the zip archive: at byte " + the first of them.
  std::wstring unaccounted;
  // No end record, and the file is whole entries from its start, each read
  // from its local header, the last a file's whose data runs past the file's
  // end: a zip a consuming run has begun on, its directory gone with the
  // first cut. Local headers keep no links nor modes: every entry is a file
  // or, by its "/", a folder. An entry that defers its sizes to a
  // descriptor ends where its deflate stream does, or, stored, at the first
  // signed descriptor that gives the length and CRC-32 of the bytes before
  // it; the descriptor must match what its data came to. One whose data
  // reaches the file's end without ending is the last, its sizes
  // kZipSizeUnknown.
  bool cut = false;
};

inline constexpr wchar_t kZipNoEnd[] = L"Not a zip archive (no end of central directory record)";

// Reads the central directory of the zip archive open in `file` and checks
// every entry's local header and data descriptor against it, failing at the
// first fault with one of these (`name` is the entry's, as nameFromBytes gives it):
//   "Unable to open archive file" (its size unknown)
//   "Failed to seek archive block (code=" / "Failed to read archive block (code=" ...
//   "Not a zip archive (no end of central directory record)" (kZipNoEnd),
//     unless the file reads as one that is `cut`
//   "Multi-disk zip archive, which this program cannot extract"
//   "Invalid zip central directory (truncated or inconsistent)"
//   "Zip entry lies outside the archive: " + name
//   "Local header does not match the central directory: " + name
//   "Data descriptor does not match the central directory: " + name
//   "Zip entry overlaps the central directory: " + name
//   "Zip entries overlap: " + name (the later of the two in the file)
Status readZipDirectory(FileHandle& file, ZipDirectory& directory);

// Whether the file whose first bytes these are is a zip to readZipDirectory:
// it starts with an entry's header, or ends in an end record as that finds
// it (an empty zip, or one behind a program).
bool looksLikeZip(std::span<const uint8_t> firstBytes, FileHandle& file);

// Whether this program can decode the entry's data, else one of:
//   "Encrypted entry, which this program cannot extract: " + name
//   "Unsupported compression method (bzip2): " + name (Deflate64, LZMA,
//     Zstandard, XZ or the method's number likewise)
//   "Stored entry whose compressed and uncompressed sizes differ: " + name
Status checkZipEntryDecodable(const ZipEntry& entry);

// Decodes one entry's data, stored or deflated, from compressed bytes fed in
// pieces of any size into output buffers of any size; memory stays the same
// whatever the entry's size. The decoded data must come to exactly the
// recorded size and checksum, else damage, a DamagedBlock failure:
//   "Zip entry data is damaged (longer than recorded): " + name
//   "Zip entry data is damaged (ends early): " + name
//   "Zip entry data is damaged (data after its end): " + name
//   "Zip entry data is damaged (invalid deflate data): " + name
//   "Checksum verification failed: " + name
//   "Not enough memory to decode: " + name
// Decode only entries checkZipEntryDecodable accepts.
class ZipDecoder {
 public:
  explicit ZipDecoder(const ZipEntry& entry);
  ~ZipDecoder();
  ZipDecoder(const ZipDecoder&) = delete;
  ZipDecoder& operator=(const ZipDecoder&) = delete;

  // Continues from `point`, recorded by a decoder of the same entry: feed the
  // compressed bytes from point.inOffset on. False when the point cannot be
  // restored (it belongs to another stream or is damaged).
  bool resumeAt(const InflatePoint& point);

  // Deflated entries: hands a point to `onPoint` at the first block boundary
  // after each `spacing` decoded bytes (points cost a 32 KiB copy each).
  void recordPoints(uint64_t spacing, std::function<void(const InflatePoint&)> onPoint);

  // Decodes from `input` into `output`, reporting how much of each it used.
  // Until finished(), call again, with the input not consumed followed by the
  // next bytes of the entry's data, or with a fresh output buffer. Input past
  // the entry's compressed size is never consumed.
  Status decode(const uint8_t* input, size_t inputLength, uint8_t* output, size_t outputCapacity, size_t& consumed,
                size_t& produced);
  bool finished() const;  // every byte decoded and checked

  uint64_t inOffset() const;   // compressed bytes consumed, from the entry's dataOffset
  uint64_t outOffset() const;  // decoded bytes produced

  struct State;  // defined in zip_decoder.cc

 private:
  std::unique_ptr<State> state_;
};

// Decodes a local date and time as MS-DOS records them into seconds since
// 1970 UTC, with the time zone rules where this runs.
int64_t dosTimeToUnixSeconds(uint16_t date, uint16_t time);

}  // namespace ablative
