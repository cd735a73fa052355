// The zip directory: the end records, the central directory, and each entry's
// local header and data descriptor checked against it.
#include <algorithm>
#include <numeric>
#include <string_view>

#include "codecs/coding.h"
#include "codecs/crc32.h"
#include "containers/zip_fields.h"
#include "containers/zip_format.h"
#include "status.h"
#include "files/block_io.h"
#include "framings/inflate_points.h"
#include "platform/utf8.h"

namespace ablative {

namespace {

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kDescriptorSignature = 0x08074b50;
constexpr uint32_t kEndSize = 22;
constexpr uint32_t kZip64EndSize = 56;
constexpr uint32_t kLocatorSize = 20;
constexpr uint32_t kCentralSize = 46;
constexpr uint32_t kLocalSize = 30;
constexpr uint64_t kEndSearch = kEndSize + 0xFFFF;  // the record and the longest comment
constexpr uint32_t kLongestDescriptor = 24;         // signed, with 8-byte sizes
constexpr uint16_t kZip64Extra = 0x0001;
constexpr uint32_t kAllOnes32 = 0xFFFFFFFF;
constexpr uint16_t kDescriptorFlag = 1 << 3;
// The flags a local header must repeat, those that change how the data is
// read: encryption, strong encryption, masked local header. The descriptor
// and UTF-8 name flags may differ: the local header's sizes and name are
// compared for what they say.
constexpr uint16_t kFlagsThatMatter = 1 << 0 | 1 << 6 | 1 << 13;
constexpr uint32_t kUnixTypeMask = 0170000;
constexpr uint32_t kUnixSymbolicLink = 0120000;
constexpr uint32_t kDosDirectory = 0x10;

constexpr wchar_t kMultiDisk[] = L"Multi-disk zip archive, which this program cannot extract";
constexpr wchar_t kBadCentral[] = L"Invalid zip central directory (truncated or inconsistent)";
constexpr wchar_t kOutside[] = L"Zip entry lies outside the archive: ";
constexpr wchar_t kLocalMismatch[] = L"Local header does not match the central directory: ";
constexpr wchar_t kDescriptorMismatch[] = L"Data descriptor does not match the central directory: ";
constexpr wchar_t kOverlapsCentral[] = L"Zip entry overlaps the central directory: ";
constexpr wchar_t kOverlap[] = L"Zip entries overlap: ";

Status failFor(const wchar_t* message, const ZipEntry& entry) {
  return failure(StatusKind::Failed, message + nameFromBytes(entry.name));
}

std::string_view textOf(const std::vector<uint8_t>& bytes, size_t at, size_t length) {
  return {reinterpret_cast<const char*>(bytes.data()) + at, length};
}

// The central directory is read this much at a time, and a window always
// holds the longest record whole once it starts in it.
constexpr uint64_t kCentralWindow = 1 << 20;
constexpr size_t kLongestCentralRecord = kCentralSize + 3 * 0xFFFF;

// Reads [offset, offset + length) of a file known to be `size` bytes long;
// a file that ends early (it shrank) is an inconsistent directory. A split
// zip's parts are its disks, whose offsets count from where each starts.
struct ArchiveReader {
  FileHandle& file;
  uint64_t size;
  std::vector<uint64_t> diskStarts = {0};

  // The end records lie on the last disk, which numbers the disks. A zip of
  // one disk counts its offsets from its start, though it be split into
  // parts (NAME.zip.001, …).
  Status takeDisks(uint64_t lastDisk) {
    if (lastDisk == 0) diskStarts = {0};
    if (lastDisk + 1 == diskStarts.size()) return {};
    if (diskStarts.size() == 1) return failure(StatusKind::Failed, kMultiDisk);
    return failure(StatusKind::Failed, L"Zip archive spans " + std::to_wstring(lastDisk + 1) +
                                           L" disks, and its volume set has " + std::to_wstring(diskStarts.size()) +
                                           L" parts");
  }

  Status read(uint64_t offset, uint64_t length, std::vector<uint8_t>& bytes) {
    if (offset > size || length > size - offset || length > UINT32_MAX) return failure(StatusKind::Failed, kBadCentral);
    Status read = readArchiveBlock(file, offset, static_cast<uint32_t>(length), bytes);
    return read.kind == StatusKind::EndedEarly ? failure(StatusKind::Failed, kBadCentral) : read;
  }
};

// Where the central directory lies, as the end records tell.
struct CentralLocation {
  uint64_t entryCount = 0;
  uint64_t size = 0;
  uint64_t recordedOffset = 0;
  uint64_t end = 0;  // where the end records begin: the directory lies just before
};

// Whether the file's tail holds an end record (`found`), and where. The end
// record is the last signature in the tail whose comment reaches the file's
// end; failing that (bytes appended after the archive), the last whose
// comment fits in the file.
Status findEndRecord(ArchiveReader& reader, uint64_t& at, bool& found) {
  const uint64_t tailStart = reader.size - std::min(reader.size, kEndSearch);
  std::vector<uint8_t> tail;
  found = false;
  if (Status read = reader.read(tailStart, reader.size - tailStart, tail); !read.ok()) return read;
  for (size_t i = tail.size() < kEndSize ? 0 : tail.size() - kEndSize + 1; i-- > 0;) {
    if (get32(&tail[i]) != kEndSignature) continue;
    const uint64_t recordEnd = i + kEndSize + get16(&tail[i + 20]);
    if (recordEnd > tail.size() || (found && recordEnd != tail.size())) continue;
    at = tailStart + i;
    found = true;
    if (recordEnd == tail.size()) return {};
  }
  return {};
}

// The Zip64 end record, where the locator says, or just before the locator
// when a prefix moved it.
Status readZip64End(ArchiveReader& reader, uint64_t locatorAt, CentralLocation& location) {
  std::vector<uint8_t> locator;
  if (Status read = reader.read(locatorAt, kLocatorSize, locator); !read.ok()) return read;
  const uint32_t lastDisk = std::max<uint32_t>(get32(&locator[16]), 1) - 1;
  if (Status disks = reader.takeDisks(lastDisk); !disks.ok()) return disks;
  if (get32(&locator[4]) != lastDisk) return failure(StatusKind::Failed, kMultiDisk);
  std::vector<uint8_t> record;
  for (uint64_t at : {reader.diskStarts.back() + get64(&locator[8]), locatorAt - kZip64EndSize}) {
    if (at > locatorAt || locatorAt - at < kZip64EndSize) continue;
    if (Status read = reader.read(at, kZip64EndSize, record); !read.ok()) return read;
    if (get32(&record[0]) != kZip64EndSignature) continue;
    const uint32_t centralDisk = get32(&record[20]);
    if (get32(&record[16]) != lastDisk || centralDisk > lastDisk) return failure(StatusKind::Failed, kMultiDisk);
    if (lastDisk == 0 && get64(&record[24]) != get64(&record[32])) return failure(StatusKind::Failed, kMultiDisk);
    location = {get64(&record[32]), get64(&record[40]), reader.diskStarts[centralDisk] + get64(&record[48]), at};
    return {};
  }
  return failure(StatusKind::Failed, kBadCentral);
}

Status locateCentralDirectory(ArchiveReader& reader, uint64_t endAt, CentralLocation& location, uint64_t& archiveEnd) {
  std::vector<uint8_t> end;
  if (Status read = reader.read(endAt, kEndSize, end); !read.ok()) return read;
  archiveEnd = endAt + kEndSize + get16(&end[20]);
  std::vector<uint8_t> locator;
  if (endAt >= kLocatorSize) {
    if (Status read = reader.read(endAt - kLocatorSize, 4, locator); !read.ok()) return read;
    if (get32(locator.data()) == kZip64LocatorSignature) return readZip64End(reader, endAt - kLocatorSize, location);
  }
  const uint16_t lastDisk = get16(&end[4]), centralDisk = get16(&end[6]);
  if (Status disks = reader.takeDisks(lastDisk); !disks.ok()) return disks;
  if (centralDisk > lastDisk || (lastDisk == 0 && get16(&end[8]) != get16(&end[10]))) {
    return failure(StatusKind::Failed, kMultiDisk);
  }
  location = {get16(&end[10]), get32(&end[12]), reader.diskStarts[centralDisk] + get32(&end[16]), endAt};
  return {};
}

// Takes the Zip64 extra field's 64-bit values, in order, for the header
// fields that hold all ones; false when the field lacks one.
bool takeZip64Values(std::string_view extra, std::initializer_list<uint64_t*> overflowing) {
  std::string_view values = findZipExtra(extra, kZip64Extra).value_or(std::string_view());
  for (uint64_t* field : overflowing) {
    if (field == nullptr) continue;
    if (values.size() < 8) return false;
    *field = get64(reinterpret_cast<const uint8_t*>(values.data()));
    values.remove_prefix(8);
  }
  return true;
}

uint64_t* ifAllOnes(uint64_t& field) { return field == kAllOnes32 ? &field : nullptr; }

ZipEntryKind kindOf(const ZipEntry& entry) {
  if (entry.name.ends_with('/') || entry.dosDirectory) return ZipEntryKind::Folder;
  if (entry.hasUnixMode && (entry.unixMode & kUnixTypeMask) == kUnixSymbolicLink) return ZipEntryKind::SymbolicLink;
  return ZipEntryKind::File;
}

// What the central directory says of an entry's name, for its local header's to agree with.
struct CentralName {
  std::string raw;
  uint8_t madeBy = 0;
  uint16_t disk = 0;  // where its local header lies
};

// One central directory header at `at`, moving `at` past it.
bool parseCentralHeader(const std::vector<uint8_t>& central, size_t& at, ZipEntry& entry, CentralName& name) {
  if (central.size() - at < kCentralSize || get32(&central[at]) != kCentralSignature) return false;
  const uint8_t* h = &central[at];
  const size_t nameLength = get16(h + 28), extraLength = get16(h + 30), commentLength = get16(h + 32);
  if (central.size() - at - kCentralSize < nameLength + extraLength + commentLength) return false;
  name.raw = textOf(central, at + kCentralSize, nameLength);
  name.madeBy = h[5];
  const std::string_view extra = textOf(central, at + kCentralSize + nameLength, extraLength);
  at += kCentralSize + nameLength + extraLength + commentLength;
  entry.flags = get16(h + 8);
  entry.method = get16(h + 10);
  entry.crc = get32(h + 16);
  entry.compressedSize = get32(h + 20);
  entry.uncompressedSize = get32(h + 24);
  entry.localHeaderOffset = get32(h + 42);
  name.disk = get16(h + 34);  // 0xFFFF, for a Zip64 disk number, is past any set's disks
  if (!takeZip64Values(extra, {ifAllOnes(entry.uncompressedSize), ifAllOnes(entry.compressedSize),
                               ifAllOnes(entry.localHeaderOffset)})) {
    return false;
  }
  entry.hasUnixMode = h[5] == kZipMadeOnUnix;
  entry.name = decodeZipName(name.raw, entry.flags, extra, h[5]);
  entry.unixMode = entry.hasUnixMode ? get32(h + 38) >> 16 : 0;
  entry.dosDirectory = (get32(h + 38) & kDosDirectory) != 0;
  entry.kind = kindOf(entry);
  entry.modifiedNs = zipModifiedNs(extra, get16(h + 14), get16(h + 12));
  return true;
}

// The descriptor after the data: an optional signature, the CRC-32, then both
// sizes in 4 or 8 bytes each, of the `widths` given. The form that repeats the
// entry's values is the one written; 0 when none does.
uint32_t descriptorLength(std::span<const uint8_t> bytes, const ZipEntry& entry,
                          std::initializer_list<uint32_t> widths = {4u, 8u}) {
  for (const bool signed_ : {true, false}) {
    for (const uint32_t width : widths) {
      const uint32_t length = (signed_ ? 4 : 0) + 4 + 2 * width;
      if (bytes.size() < length || (signed_ && get32(bytes.data()) != kDescriptorSignature)) continue;
      const uint8_t* p = bytes.data() + (signed_ ? 4 : 0);
      const auto size = [&](int i) { return width == 4 ? get32(p + 4 + 4 * i) : get64(p + 4 + 8 * i); };
      if (get32(p) == entry.crc && size(0) == entry.compressedSize && size(1) == entry.uncompressedSize) return length;
    }
  }
  return 0;
}

// The descriptor after the entry's data, if one is there (its length is 0 if not).
Status readDescriptor(ArchiveReader& reader, ZipEntry& entry) {
  std::vector<uint8_t> bytes;
  Status read = reader.read(entry.dataEnd, std::min<uint64_t>(kLongestDescriptor, reader.size - entry.dataEnd), bytes);
  if (read.ok()) entry.dataDescriptorLength = descriptorLength(bytes, entry);
  return read;
}

// The names agree when their bytes do, or when what they decode to does
// (each with its own flags and Unicode path field). Sizes and CRC-32 are
// compared unless the local header defers them to a data descriptor.
bool localFieldsMatch(const uint8_t* h, const CentralName& central, std::string_view name, std::string_view extra,
                      const ZipEntry& entry) {
  const uint16_t flags = get16(h + 6);
  if (name != central.raw && decodeZipName(name, flags, extra, central.madeBy) != entry.name) return false;
  if (get16(h + 8) != entry.method || (flags & kFlagsThatMatter) != (entry.flags & kFlagsThatMatter)) return false;
  if (flags & kDescriptorFlag) return true;
  uint64_t compressed = get32(h + 18), uncompressed = get32(h + 22);
  // A local Zip64 field holds both sizes, whichever overflowed.
  const bool both = findZipExtra(extra, kZip64Extra).value_or(std::string_view()).size() >= 16 &&
                    (compressed == kAllOnes32 || uncompressed == kAllOnes32);
  if (!(both ? takeZip64Values(extra, {&uncompressed, &compressed})
             : takeZip64Values(extra, {ifAllOnes(uncompressed), ifAllOnes(compressed)}))) {
    return false;
  }
  return get32(h + 14) == entry.crc && compressed == entry.compressedSize && uncompressed == entry.uncompressedSize;
}

// A local header that defers its sizes must be followed by a descriptor
// that gives them; where only the central directory sets the flag, one may
// follow or not. One read takes the header, its name and the extra fields
// writers commonly add; longer ones are read again whole.
Status checkLocalHeader(ArchiveReader& reader, const CentralName& name, ZipEntry& entry) {
  constexpr uint64_t kCommonExtra = 256;
  std::vector<uint8_t> local;
  if (entry.localHeaderOffset > reader.size || reader.size - entry.localHeaderOffset < kLocalSize) {
    return failFor(kOutside, entry);
  }
  const uint64_t likely =
      std::min(reader.size - entry.localHeaderOffset, kLocalSize + name.raw.size() + kCommonExtra);
  if (Status read = reader.read(entry.localHeaderOffset, likely, local); !read.ok()) return read;
  if (get32(&local[0]) != kLocalSignature) return failFor(kLocalMismatch, entry);
  const size_t nameLength = get16(&local[26]), extraLength = get16(&local[28]);
  entry.dataOffset = entry.localHeaderOffset + kLocalSize + nameLength + extraLength;
  if (entry.dataOffset > reader.size || reader.size - entry.dataOffset < entry.compressedSize) {
    return failFor(kOutside, entry);
  }
  entry.dataEnd = entry.dataOffset + entry.compressedSize;
  const size_t length = kLocalSize + nameLength + extraLength;
  if (length > local.size()) {
    if (Status read = reader.read(entry.localHeaderOffset, length, local); !read.ok()) return read;
  }
  if (!localFieldsMatch(local.data(), name, textOf(local, kLocalSize, nameLength),
                        textOf(local, kLocalSize + nameLength, extraLength), entry)) {
    return failFor(kLocalMismatch, entry);
  }
  entry.localHeaderCrc = crc32(local.data(), length);
  const bool localDefers = (get16(&local[6]) & kDescriptorFlag) != 0;
  if (!localDefers && (entry.flags & kDescriptorFlag) == 0) return {};
  if (Status descriptor = readDescriptor(reader, entry); !descriptor.ok()) return descriptor;
  if (entry.dataDescriptorLength == 0 && localDefers) return failFor(kDescriptorMismatch, entry);
  entry.hasDataDescriptor = entry.dataDescriptorLength != 0;
  return {};
}

Status readCentralDirectory(ArchiveReader& reader, const CentralLocation& location, ZipDirectory& directory) {
  if (location.size > location.end || location.end - location.size < location.recordedOffset) {
    return failure(StatusKind::Failed, kBadCentral);
  }
  directory.centralDirectoryOffset = location.end - location.size;
  directory.offsetShift = directory.centralDirectoryOffset - location.recordedOffset;
  // Read a window at a time: the whole directory of 300,000 entries would be
  // as much memory again as the entries made of it.
  std::vector<uint8_t> central, more;
  uint64_t next = directory.centralDirectoryOffset;  // the first byte not yet in `central`
  const uint64_t end = directory.centralDirectoryOffset + location.size;
  size_t at = 0;
  const auto refill = [&] {
    if (central.size() - at >= kLongestCentralRecord || next == end) return Status{};
    central.erase(central.begin(), central.begin() + static_cast<ptrdiff_t>(at));
    at = 0;
    const uint64_t length = std::min<uint64_t>(kCentralWindow, end - next);
    Status read = reader.read(next, length, more);
    central.insert(central.end(), more.begin(), more.end());
    next += length;
    return read;
  };
  directory.entries.reserve(std::min<uint64_t>(location.entryCount, location.size / kCentralSize));
  for (uint64_t i = 0; i < location.entryCount; ++i) {
    ZipEntry entry;
    CentralName name;
    if (Status filled = refill(); !filled.ok()) return filled;
    if (!parseCentralHeader(central, at, entry, name)) return failure(StatusKind::Failed, kBadCentral);
    if (name.disk >= reader.diskStarts.size()) return failFor(kOutside, entry);
    entry.localHeaderOffset += reader.diskStarts[name.disk];
    if (entry.localHeaderOffset > reader.size) return failFor(kOutside, entry);
    entry.localHeaderOffset += directory.offsetShift;
    if (Status local = checkLocalHeader(reader, name, entry); !local.ok()) return local;
    directory.entries.push_back(std::move(entry));
  }
  return at == central.size() && next == end ? Status{} : failure(StatusKind::Failed, kBadCentral);
}

uint64_t rangeEnd(const ZipEntry& entry) { return entry.dataEnd + entry.dataDescriptorLength; }

// Every entry, header to descriptor, lies before the central directory and
// apart from every other.
Status checkEntryRanges(ZipDirectory& directory) {
  const std::vector<ZipEntry>& entries = directory.entries;
  std::vector<size_t> order(entries.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return entries[a].localHeaderOffset < entries[b].localHeaderOffset; });
  uint64_t previousEnd = 0;
  for (size_t i : order) {
    if (rangeEnd(entries[i]) > directory.centralDirectoryOffset) return failFor(kOverlapsCentral, entries[i]);
    if (entries[i].localHeaderOffset < previousEnd) return failFor(kOverlap, entries[i]);
    previousEnd = rangeEnd(entries[i]);
  }
  directory.prefixLength = order.empty() ? directory.centralDirectoryOffset : entries[order[0]].localHeaderOffset;
  return {};
}

// An entry's data is read 16 KiB first, then twice as much each time up to
// 1 MiB: most entries a streaming writer makes are small, and a whole window
// read for each would read the archive many times over.
constexpr uint64_t kFirstScanWindow = 16 << 10, kScanWindow = 1 << 20;
constexpr size_t kInflatedDiscard = 64 << 10;  // what inflating only to find the end writes into

uint64_t grown(uint64_t window) { return std::min(2 * window, kScanWindow); }

// A descriptor's sizes take 8 bytes each where the local header has a Zip64
// field, or where they need them (as Java writes them), else 4.
uint32_t descriptorWidth(bool zip64, const ZipEntry& entry) {
  return zip64 || entry.compressedSize > UINT32_MAX || entry.uncompressedSize > UINT32_MAX ? 8 : 4;
}

// The descriptor at `at`, after an entry's data whose sizes and CRC-32 are set.
bool readDeferredDescriptor(ArchiveReader& reader, uint64_t at, bool zip64, ZipEntry& entry) {
  std::vector<uint8_t> bytes;
  if (!reader.read(at, std::min<uint64_t>(kLongestDescriptor, reader.size - at), bytes).ok()) return false;
  entry.dataDescriptorLength = descriptorLength(bytes, entry, {descriptorWidth(zip64, entry)});
  return entry.dataDescriptorLength != 0;
}

// Deflated: the stream's end gives the sizes and CRC-32; `ended` stays false
// where the file ends first.
bool inflateToEnd(ArchiveReader& reader, ZipEntry& entry, bool& ended) {
  RawInflate inflate;
  if (!inflate.begin()) return false;
  std::vector<uint8_t> input, output(kInflatedDiscard);
  for (uint64_t at = entry.dataOffset, window = kFirstScanWindow; at < reader.size; window = grown(window)) {
    const uint64_t length = std::min(window, reader.size - at);
    if (!reader.read(at, length, input).ok()) return false;
    at += length;
    const uint8_t* next = input.data();
    size_t left = input.size();
    for (;;) {
      const RawInflate::Step step = inflate.step(next, left, output.data(), output.size());
      if (step == RawInflate::Step::Stalled) break;  // it wants the next bytes
      if (step == RawInflate::Step::Invalid) return false;
      if (step == RawInflate::Step::Ended) {
        entry.compressedSize = inflate.at.in;
        entry.uncompressedSize = inflate.at.out;
        entry.crc = inflate.at.crc;
        return ended = true;
      }
    }
  }
  return true;
}

// Stored: the data ends at the first signed descriptor that gives the length
// and CRC-32 of the bytes before it, as other readers find it; `ended` stays
// false where none does before the file ends.
bool scanStoredToEnd(ArchiveReader& reader, bool zip64, ZipEntry& entry, bool& ended) {
  std::vector<uint8_t> window;
  uint32_t crc = 0;  // of the data before `at`
  for (uint64_t at = entry.dataOffset, step = kFirstScanWindow; at < reader.size; step = grown(step)) {
    const uint64_t length = std::min(step + kLongestDescriptor, reader.size - at);
    if (!reader.read(at, length, window).ok()) return false;
    const size_t scanned = at + length == reader.size ? window.size() : step;
    size_t summed = 0;
    for (size_t i = 0; i + 4 <= window.size() && i < scanned; ++i) {
      if (get32(&window[i]) != kDescriptorSignature) continue;
      crc = crc32(crc, window.data() + summed, i - summed);
      summed = i;
      entry.crc = crc;
      entry.compressedSize = entry.uncompressedSize = at + i - entry.dataOffset;
      entry.dataDescriptorLength =
          descriptorLength(std::span(window).subspan(i), entry, {descriptorWidth(zip64, entry)});
      if (entry.dataDescriptorLength != 0) return ended = true;
    }
    crc = crc32(crc, window.data() + summed, scanned - summed);
    at += scanned;
  }
  return true;
}

// The sizes, CRC-32 and descriptor of an entry that defers them, from its
// data; kZipSizeUnknown where its data runs on past the file's end. False
// where it cannot be delimited: data neither stored nor deflated, deflate
// data that is not, a descriptor that does not match.
bool delimitDeferred(ArchiveReader& reader, bool zip64, ZipEntry& entry) {
  bool ended = false;
  if (entry.method == kZipDeflated) {
    if (!inflateToEnd(reader, entry, ended)) return false;
  } else if (entry.method != kZipStored || !scanStoredToEnd(reader, zip64, entry, ended)) {
    return false;
  }
  if (!ended) {
    entry.compressedSize = entry.uncompressedSize = entry.dataEnd = kZipSizeUnknown;
    entry.crc = 0;
    return true;
  }
  entry.dataEnd = entry.dataOffset + entry.compressedSize;
  entry.hasDataDescriptor = true;
  return entry.method == kZipStored || readDeferredDescriptor(reader, entry.dataEnd, zip64, entry);
}

// An entry read from its local header alone, at `at`, and its data where it
// defers its sizes to a descriptor; false where none starts there.
bool parseLocalHeader(ArchiveReader& reader, uint64_t at, ZipEntry& entry) {
  std::vector<uint8_t> header, variable;
  if (reader.size - at < kLocalSize || !reader.read(at, kLocalSize, header).ok()) return false;
  const uint8_t* h = header.data();
  const size_t nameLength = get16(h + 26), extraLength = get16(h + 28);
  if (get32(h) != kLocalSignature || !reader.read(at + kLocalSize, nameLength + extraLength, variable).ok()) {
    return false;
  }
  const std::string_view name = textOf(variable, 0, nameLength), extra = textOf(variable, nameLength, extraLength);
  entry.localHeaderOffset = at;
  entry.flags = get16(h + 6);
  entry.method = get16(h + 8);
  entry.crc = get32(h + 14);
  entry.compressedSize = get32(h + 18);
  entry.uncompressedSize = get32(h + 22);
  const std::optional<std::string_view> zip64 = findZipExtra(extra, kZip64Extra);
  const bool defers = (entry.flags & kDescriptorFlag) != 0;
  // A local Zip64 field holds both sizes, whichever overflowed.
  const bool both = zip64.value_or(std::string_view()).size() >= 16 &&
                    (entry.compressedSize == kAllOnes32 || entry.uncompressedSize == kAllOnes32);
  if (!defers &&
      !(both ? takeZip64Values(extra, {&entry.uncompressedSize, &entry.compressedSize})
             : takeZip64Values(extra, {ifAllOnes(entry.uncompressedSize), ifAllOnes(entry.compressedSize)}))) {
    return false;
  }
  // The upper byte of "version needed" names the host, where the writer sets it.
  entry.name = decodeZipName(name, entry.flags, extra, h[5]);
  entry.kind = kindOf(entry);
  entry.modifiedNs = zipModifiedNs(extra, get16(h + 12), get16(h + 10));
  entry.dataOffset = at + kLocalSize + nameLength + extraLength;
  entry.localHeaderCrc = crc32(crc32(h, kLocalSize), variable.data(), variable.size());
  if (defers) return delimitDeferred(reader, zip64.has_value(), entry);
  if (entry.compressedSize > UINT64_MAX - entry.dataOffset) return false;
  entry.dataEnd = entry.dataOffset + entry.compressedSize;
  return true;
}

// A consuming run cuts a zip first where its last unit starts, taking the
// directory, then where each unit below starts: whole entries follow one
// another from the file's start, each with its descriptor, and the last
// one's data runs past its end.
bool readCutEntries(ArchiveReader& reader, ZipDirectory& directory) {
  for (uint64_t at = 0; at < reader.size;) {
    ZipEntry entry;
    if (!parseLocalHeader(reader, at, entry)) return false;
    directory.entries.push_back(std::move(entry));
    const ZipEntry& last = directory.entries.back();
    if (last.dataEnd > reader.size) return last.kind == ZipEntryKind::File && last.dataOffset <= reader.size;
    at = last.dataEnd + last.dataDescriptorLength;
  }
  return false;
}

// A file with no end record is read as a cut zip where it reads as one.
Status readWithoutEnd(ArchiveReader& reader, ZipDirectory& directory) {
  ZipDirectory cut;
  cut.archiveSize = cut.centralDirectoryOffset = directory.archiveSize;
  if (!readCutEntries(reader, cut)) return failure(StatusKind::Failed, kZipNoEnd);
  cut.cut = true;
  directory = std::move(cut);
  return {};
}

// The directory the end records point to, and what follows them.
Status readWithEnd(ArchiveReader& reader, uint64_t endAt, ZipDirectory& directory) {
  CentralLocation location;
  uint64_t archiveEnd = 0, nonZero = directory.archiveSize;
  if (Status located = locateCentralDirectory(reader, endAt, location, archiveEnd); !located.ok()) return located;
  if (Status central = readCentralDirectory(reader, location, directory); !central.ok()) return central;
  if (Status ranges = checkEntryRanges(directory); !ranges.ok()) return ranges;
  if (archiveEnd < directory.archiveSize) {
    if (Status found = findNonZero(reader.file, archiveEnd, directory.archiveSize, nonZero); !found.ok()) return found;
  }
  if (nonZero < directory.archiveSize) {
    directory.unaccounted = L"Data after the end of the zip archive: at byte " + std::to_wstring(nonZero);
  }
  return {};
}

}  // namespace

bool looksLikeZip(std::span<const uint8_t> firstBytes, FileHandle& file) {
  if (firstBytes.size() >= 4 && get32(firstBytes.data()) == kLocalSignature) return true;
  uint64_t at = 0;
  bool found = false;
  ArchiveReader reader{file, 0};
  return fileSize(file, reader.size) && findEndRecord(reader, at, found).ok() && found;
}

Status readZipDirectory(FileHandle& file, ZipDirectory& directory) {
  directory = {};
  if (!fileSize(file, directory.archiveSize)) return failure(StatusKind::Failed, L"Unable to open archive file");
  ArchiveReader reader{file, directory.archiveSize, partStarts(file)};
  uint64_t endAt = 0;
  bool found = false;
  if (Status searched = findEndRecord(reader, endAt, found); !searched.ok()) return searched;
  return found ? readWithEnd(reader, endAt, directory) : readWithoutEnd(reader, directory);
}

}  // namespace ablative
