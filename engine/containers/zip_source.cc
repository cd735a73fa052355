// Zip archives as a source: the directory read and checked, large entries
// decoded once to split them into pieces, entries mapped into a plan, and
// units read, decoded and verified.
#include "containers/zip_source.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <unordered_map>

#include "codecs/crc32.h"
#include "codecs/record_bytes.h"
#include "containers/zip_format.h"
#include "pause.h"
#include "status.h"
#include "files/block_io.h"
#include "files/file_util.h"
#include "files/path_safety.h"
#include "plan/unit_decoders.h"
#include "platform/utf8.h"
#include "side_by_side.h"

namespace ablative {

namespace {

// No piece takes more, stored or decoded: a deflate block may decode to any
// length, and a piece ends only where a block does.
constexpr uint64_t kLargestPiece = 256u << 20;
constexpr uint64_t kLongestLinkTarget = 4096;
constexpr size_t kPassBytes = 1 << 20;  // read and decoded at a time in the first pass
// Where each unit's decoding starts, beside the plan.
struct ZipUnits {
  std::vector<ZipEntry> entries;       // the plan's files, one for one
  std::shared_ptr<UnitPoints> points;  // none at an entry's start
  // Per unit, read from a journal: it starts at a point the journal's tail no
  // longer holds (released, so never read again, unless the journal is damaged).
  std::vector<uint8_t> lacksPoint;
};

// A piece of an entry as the first pass finds it.
struct Piece {
  uint64_t inOffset = 0, outOffset = 0;  // from the entry's start
  uint32_t crc = 0;
  PointPlace point;
};

struct ZipReading {
  ZipDirectory directory;
  std::shared_ptr<UnitPoints> points;
  std::vector<std::vector<Piece>> pieces;  // per entry; empty for one unit or none
  // A link's, by entry: an empty string for every entry would cost 32 bytes each.
  std::unordered_map<uint32_t, std::string> targets;
};

std::wstring nameOf(const ZipEntry& entry) { return nameFromBytes(entry.name); }

// Reads `length` stored bytes of `entry` from `from` (relative to its data).
Status readStored(FileHandle& file, const ZipEntry& entry, uint64_t from, uint64_t length,
                  std::vector<uint8_t>& bytes) {
  Status read = readArchiveBlock(file, entry.dataOffset + from, static_cast<uint32_t>(length), bytes);
  if (read.kind != StatusKind::EndedEarly) return read;
  return failure(StatusKind::Failed, L"Zip entry lies outside the archive: " + nameOf(entry));
}

// Decodes `stored`, the entry's data from `decoder`'s place on, into all of
// `raw`, the first `skip` decoded bytes passed over; the entry must end there
// when `last`. Fails as DamagedBlock.
Status decodeInto(ZipDecoder& decoder, const ZipEntry& entry, const std::vector<uint8_t>& stored, uint64_t skip,
                  std::vector<uint8_t>& raw, bool last) {
  size_t in = 0, out = 0;
  std::vector<uint8_t> passed(std::min<uint64_t>(skip, 1 << 20));
  for (;;) {
    size_t consumed = 0, produced = 0;
    const bool passing = skip > 0;
    uint8_t* const into = passing ? passed.data() : raw.data() + out;
    const size_t room = passing ? static_cast<size_t>(std::min<uint64_t>(skip, passed.size())) : raw.size() - out;
    Status decoded = decoder.decode(stored.data() + in, stored.size() - in, into, room, consumed, produced);
    in += consumed;
    if (passing) {
      skip -= produced;
    } else {
      out += produced;
    }
    if (!decoded.ok() || decoder.finished() || (skip == 0 && out == raw.size() && !last)) return decoded;
    if (consumed == 0 && produced == 0) break;
  }
  return failure(StatusKind::DamagedBlock, L"Zip entry data is damaged (ends early): " + nameOf(entry));
}

// A small entry's whole data (a link's target, or nothing at all), decoded
// and verified.
Status decodeWhole(FileHandle& file, const ZipEntry& entry, std::string& data) {
  if (entry.compressedSize > kLargestPiece) {
    return failure(StatusKind::Failed,
                   L"Zip entry cannot be split into pieces small enough to extract: " + nameOf(entry));
  }
  std::vector<uint8_t> stored, raw(entry.uncompressedSize);
  if (Status status = readStored(file, entry, 0, entry.compressedSize, stored); !status.ok()) return status;
  ZipDecoder decoder(entry);
  // Damage found while reading the archive fails the reading, not a unit.
  Status decoded = decodeInto(decoder, entry, stored, 0, raw, true);
  if (!decoded.ok()) return failure(StatusKind::Failed, decoded.message);
  data.assign(raw.begin(), raw.end());
  return {};
}

// Stored: a piece every kZipPieceBytes.
Status splitStored(FileHandle& file, const ZipEntry& entry, const StopCallback& shouldStop,
                   std::vector<Piece>& pieces) {
  std::vector<uint8_t> bytes;
  uint32_t whole = 0;
  for (uint64_t at = 0; at < entry.compressedSize; at += kZipPieceBytes) {
    if (stopRequested(shouldStop)) return stoppedOnRequest();
    if (Status read = readStored(file, entry, at, std::min(kZipPieceBytes, entry.compressedSize - at), bytes);
        !read.ok()) {
      return read;
    }
    pieces.push_back({at, at, crc32(bytes.data(), bytes.size()), {}});
    whole = crc32(whole, bytes.data(), bytes.size());
  }
  return whole == entry.crc ? Status{} : failure(StatusKind::Failed, L"Checksum verification failed: " + nameOf(entry));
}

// Sums each piece's CRC-32 as decoded bytes arrive, the pieces' starts known
// by the time their bytes are.
struct PieceSums {
  std::vector<Piece>& pieces;
  size_t current = 0;
  uint64_t out = 0;
  uint32_t crc = 0;

  void add(const uint8_t* bytes, size_t length) {
    for (;;) {
      while (current + 1 < pieces.size() && out == pieces[current + 1].outOffset) {
        pieces[current++].crc = crc;
        crc = 0;
      }
      if (length == 0) return;
      const uint64_t next = current + 1 < pieces.size() ? pieces[current + 1].outOffset : UINT64_MAX;
      const auto take = static_cast<size_t>(std::min<uint64_t>(length, next - out));
      crc = crc32(crc, bytes, take);
      out += take;
      bytes += take;
      length -= take;
    }
  }
  void finish() { pieces[current].crc = crc; }
};

// Decodes the entry's stored bytes below `limit`, each piece's raw bytes
// summed, until the data ends, fails or stalls, or `done` holds; `stalled`
// where the decoder took and gave nothing.
Status feedPieces(FileHandle& file, const ZipEntry& entry, uint64_t limit, ZipDecoder& decoder, PieceSums& sums,
                  const std::function<bool()>& done, bool& stalled) {
  stalled = false;
  std::vector<uint8_t> input, output(kPassBytes);
  size_t at = 0;
  for (uint64_t read = 0; !done();) {
    if (at == input.size() && read < limit) {
      const uint64_t length = std::min<uint64_t>(kPassBytes, limit - read);
      if (Status stored = readStored(file, entry, read, length, input); !stored.ok()) return stored;
      read += length;
      at = 0;
    }
    size_t consumed = 0, produced = 0;
    Status decoded =
        decoder.decode(input.data() + at, input.size() - at, output.data(), output.size(), consumed, produced);
    at += consumed;
    sums.add(output.data(), produced);
    if (!decoded.ok() || decoder.finished()) return decoded;
    if (consumed == 0 && produced == 0) return stalled = true, Status{};
  }
  return {};
}

// Deflated: a piece at the first block boundary after each kZipPieceBytes
// decoded, where decoding can start again.
Status splitDeflated(FileHandle& file, const ZipEntry& entry, UnitPoints& points, const StopCallback& shouldStop,
                     std::vector<Piece>& pieces) {
  ZipDecoder decoder(entry);
  pieces.push_back({});
  decoder.recordPoints(kZipPieceBytes, [&](const InflatePoint& point) {
    pieces.push_back({point.inOffset, point.outOffset, 0, points.keep(point)});
  });
  PieceSums sums{pieces};
  bool stalled = false, stopped = false;  // asked once each time: a request need not last
  Status fed = feedPieces(
      file, entry, entry.compressedSize, decoder, sums, [&] { return stopped = stopRequested(shouldStop); }, stalled);
  if (!fed.ok()) return failure(StatusKind::Failed, fed.message);
  if (stopped) return stoppedOnRequest();
  if (stalled) {
    return failure(StatusKind::Failed, L"Zip entry data is damaged (invalid deflate data): " + nameOf(entry));
  }
  sums.finish();
  return {};
}

// A cut zip's last entry whose sizes went with the cut: its last piece is the
// rest the cut took, of a length nothing left records.
bool sizesUnknown(const ZipEntry& entry) { return entry.uncompressedSize == kZipSizeUnknown; }

// Its decoded length as far as it is known: up to its lost rest where its
// sizes are unknown.
uint64_t knownLength(const ZipEntry& entry, const std::vector<Piece>& pieces) {
  return sizesUnknown(entry) ? pieces.back().outOffset : entry.uncompressedSize;
}

// Every piece within the bounds of a unit, a lost rest of unknown length aside.
Status checkPieceSizes(const ZipEntry& entry, const std::vector<Piece>& pieces) {
  for (size_t k = 0; k + (sizesUnknown(entry) ? 1 : 0) < pieces.size(); ++k) {
    const bool last = k + 1 == pieces.size();
    const uint64_t stored = (last ? entry.compressedSize : pieces[k + 1].inOffset) - pieces[k].inOffset;
    const uint64_t raw = (last ? entry.uncompressedSize : pieces[k + 1].outOffset) - pieces[k].outOffset;
    if (stored > kLargestPiece || raw > kLargestPiece) {
      return failure(StatusKind::Failed,
                     L"Zip entry cannot be split into pieces small enough to extract: " + nameOf(entry));
    }
  }
  return {};
}

bool fitsOneUnit(const ZipEntry& entry) {
  return entry.compressedSize <= kZipPieceBytes && entry.uncompressedSize <= kZipPieceBytes;
}

// What reading an entry's data takes before anything is written besides a
// large entry's pieces: a link's target, an entry of no stored bytes checked.
Status readAhead(FileHandle& file, const ZipEntry& entry, std::string& target) {
  if (entry.kind == ZipEntryKind::Folder) return {};
  if (entry.kind == ZipEntryKind::SymbolicLink) {
    if (entry.uncompressedSize > kLongestLinkTarget) {
      return failure(StatusKind::Failed, L"Symbolic link target too long: " + nameOf(entry));
    }
    return decodeWhole(file, entry, target);
  }
  if (entry.compressedSize == 0) {
    if (entry.uncompressedSize > 0)
      return failure(StatusKind::Failed, L"Zip entry data is damaged (ends early): " + nameOf(entry));
    return decodeWhole(file, entry, target);  // no unit reads it: its CRC-32 is checked here
  }
  return {};  // a large entry's pieces: splitLargeEntries
}

bool isLarge(const ZipEntry& entry) {
  return entry.kind == ZipEntryKind::File && entry.compressedSize > 0 && !fitsOneUnit(entry);
}

Status split(FileHandle& file, const ZipEntry& entry, UnitPoints& points, const StopCallback& shouldStop,
             std::vector<Piece>& pieces) {
  Status split = entry.method == kZipStored ? splitStored(file, entry, shouldStop, pieces)
                                            : splitDeflated(file, entry, points, shouldStop, pieces);
  return split.ok() ? checkPieceSizes(entry, pieces) : split;
}

// Decodes the `present` bytes of a deflated entry cut short, as splitDeflated
// does: the pieces that start below the cut, and where the decoded bytes of
// the one that starts at it go; false where no piece starts there.
bool splitDeflatedUpTo(FileHandle& file, const ZipEntry& entry, uint64_t present, UnitPoints& points,
                       std::vector<Piece>& pieces, uint64_t& outAtCut) {
  ZipDecoder decoder(entry);
  pieces.push_back({});
  bool pieceAtCut = false;
  decoder.recordPoints(kZipPieceBytes, [&](const InflatePoint& point) {
    if (point.inOffset < present) pieces.push_back({point.inOffset, point.outOffset, 0, points.keep(point)});
    if (point.inOffset == present) pieceAtCut = true, outAtCut = point.outOffset;
  });
  PieceSums sums{pieces};
  bool stalled = false;
  feedPieces(
      file, entry, present, decoder, sums, [&] { return pieceAtCut; }, stalled);
  sums.finish();
  return pieceAtCut && decoder.inOffset() == present;
}

// The entry a consuming run was taking when its journal was lost, cut where
// one of its units starts (else no cut zip: kZipNoEnd). The pieces below the
// cut are read as a large entry's are, but the entry's CRC-32 covers the
// bytes gone too, so only theirs are known; those past it are only named, by
// where their decoded bytes go, and never read. Where the entry's sizes went
// with the cut, whatever it held past the cut is one piece, its rest.
Status splitCutEntry(FileHandle& file, const ZipEntry& entry, uint64_t present, UnitPoints& points,
                     std::vector<Piece>& pieces) {
  if (!sizesUnknown(entry) && fitsOneUnit(entry)) {
    return present == 0 ? Status{} : failure(StatusKind::Failed, kZipNoEnd);  // one unit, its CRC-32 the entry's
  }
  uint64_t outAtCut = present;
  if (entry.method == kZipStored) {
    if (present % kZipPieceBytes != 0) return failure(StatusKind::Failed, kZipNoEnd);
    std::vector<uint8_t> bytes;
    for (uint64_t at = 0; at < present; at += kZipPieceBytes) {
      if (Status status = readStored(file, entry, at, kZipPieceBytes, bytes); !status.ok()) return status;
      pieces.push_back({at, at, crc32(bytes.data(), bytes.size()), {}});
    }
  } else if (present > 0 && !splitDeflatedUpTo(file, entry, present, points, pieces, outAtCut)) {
    return failure(StatusKind::Failed, kZipNoEnd);
  }
  if (sizesUnknown(entry)) {
    pieces.push_back({present, outAtCut, 0, {}});
    return checkPieceSizes(entry, pieces);
  }
  // The sizes gone are the local header's word alone: no more units are
  // named for them than an entry of a terabyte has.
  if (outAtCut > entry.uncompressedSize || entry.uncompressedSize - outAtCut > kLargestCutAway) {
    return failure(StatusKind::Failed, kZipNoEnd);
  }
  const uint64_t goneStored = entry.compressedSize - present, goneRaw = entry.uncompressedSize - outAtCut;
  const uint64_t count = std::max<uint64_t>(1, (goneRaw + kZipPieceBytes - 1) / kZipPieceBytes);
  for (uint64_t k = 0; k < count; ++k) {
    const uint64_t out = outAtCut + k * kZipPieceBytes;
    pieces.push_back({entry.method == kZipStored ? out : present + goneStored * k / count, out, 0, {}});
  }
  return checkPieceSizes(entry, pieces);
}

bool isCutEntry(const ZipDirectory& directory, size_t index) {
  return directory.cut && index + 1 == directory.entries.size();
}

// Large entries are split on every core, each worker reading with a handle
// of its own; why one could not be is kept for when its turn comes. A stop
// request ends the splitting, and fails it.
Status splitLargeEntries(FileHandle& archive, ZipReading& zip, const StopCallback& shouldStop,
                         std::vector<std::wstring>& failures) {
  std::vector<size_t> large;
  for (size_t i = 0; i < zip.directory.entries.size(); ++i) {
    if (isLarge(zip.directory.entries[i]) && !isCutEntry(zip.directory, i)) large.push_back(i);
  }
  std::atomic<size_t> next{0};
  std::atomic<bool> stopped{false};
  const auto work = [&] {
    FileHandle file;
    const bool opened = openAgain(archive, file);
    for (size_t k; !stopped && (k = next++) < large.size();) {
      const size_t i = large[k];
      if (!opened) {
        failures[i] = L"Unable to open archive file";
      } else if (Status splitting = split(file, zip.directory.entries[i], *zip.points, shouldStop, zip.pieces[i]);
                 splitting.kind == StatusKind::Stopped) {
        stopped = true;
      } else if (!splitting.ok()) {
        failures[i] = splitting.message.empty() ? L"Unable to read archive file" : splitting.message;
      }
    }
  };
  const size_t wanted = std::min<size_t>(decodeWorkersFor(std::thread::hardware_concurrency()), large.size());
  runSideBySide(std::max<size_t>(wanted, 1), [&](size_t) { work(); });
  return stopped ? stoppedOnRequest() : Status{};
}

// A local header stays until a cut takes it: it tells a resumed run that the
// archive is the one its journal was written for.
PlanMark headerMark(const ZipEntry& entry) {
  return {entry.localHeaderOffset, static_cast<uint32_t>(entry.dataOffset - entry.localHeaderOffset),
          entry.localHeaderCrc};
}

uint32_t unitsOf(const ZipEntry& entry, const std::vector<Piece>& pieces) {
  if (entry.kind != ZipEntryKind::File || entry.compressedSize == 0) return 0;
  return pieces.empty() ? 1 : static_cast<uint32_t>(pieces.size());
}

EntryKind kindOf(const ZipEntry& entry) {
  if (entry.kind == ZipEntryKind::Folder) return EntryKind::Folder;
  return entry.kind == ZipEntryKind::SymbolicLink ? EntryKind::Link : EntryKind::File;
}

// A unit of entry `index`, whose raw bytes go to its file from `outOffset`.
void addZipUnit(ExtractionPlan& plan, std::vector<PointPlace>& places, PlanUnit unit, uint32_t index,
                uint64_t outOffset, PointPlace resumeAt) {
  addUnit(plan, unit, index, outOffset);
  places.push_back(resumeAt);
}

// The rest of an entry whose sizes went with the cut: a unit of a byte at
// least, lying past the archive's end.
PlanUnit lostRest(const ZipEntry& entry, const Piece& rest) {
  return {.offset = entry.dataOffset + rest.inOffset,
          .storedSize = 1,
          .coding = entry.method,
          .decodable = false,
          .lengthUnknown = true};
}

// Where an entry goes: "." components name nothing, as `bsdtar --format zip
// -cf x.zip .` writes them; a folder's "/" goes.
std::string placeOf(const ZipEntry& entry) {
  std::string_view name = entry.name;
  if (entry.kind == ZipEntryKind::Folder && name.ends_with('/')) name.remove_suffix(1);
  return withoutDotComponents(name);
}

// A folder whose place is the destination itself makes nothing.
bool mapsToNothing(const ZipEntry& entry) { return entry.kind == ZipEntryKind::Folder && placeOf(entry).empty(); }

// Maps entry `index` as the plan's file `index` now that those before it that
// map to nothing are left out.
void mapEntry(const ZipReading& zip, uint32_t index, ExtractionPlan& plan, std::vector<PointPlace>& places) {
  const ZipEntry& entry = zip.directory.entries[index];
  const auto fileIndex = static_cast<uint32_t>(plan.files.size());
  PlanFile file;
  file.kind = kindOf(entry);
  const std::string path = placeOf(entry);
  file.pathOffset = plan.paths.size();
  file.pathLength = static_cast<uint32_t>(path.size());
  plan.paths += path;
  if (file.kind == EntryKind::Link) {
    const std::string& target = zip.targets.at(index);
    file.targetLength = static_cast<uint32_t>(target.size());
    plan.paths += target;
  }
  if (unitsOf(entry, zip.pieces[index]) > 0) file.length = knownLength(entry, zip.pieces[index]);
  file.modifiedNs = entry.modifiedNs;
  if (entry.hasUnixMode) file.unixMode = entry.unixMode & 07777;
  plan.files.push_back(file);
  const PlanUnit whole{.offset = entry.dataOffset,
                       .storedSize = static_cast<uint32_t>(entry.compressedSize),
                       .rawSize = static_cast<uint32_t>(entry.uncompressedSize),
                       .crc = entry.crc,
                       .coding = entry.method};
  const std::vector<Piece>& pieces = zip.pieces[index];
  if (pieces.empty()) {
    if (unitsOf(entry, pieces) == 1) addZipUnit(plan, places, whole, fileIndex, 0, {});
    return;
  }
  for (size_t k = 0; k < pieces.size(); ++k) {
    const bool last = k + 1 == pieces.size();
    if (last && sizesUnknown(entry)) {
      addZipUnit(plan, places, lostRest(entry, pieces[k]), fileIndex, pieces[k].outOffset, {});
      return;
    }
    PlanUnit unit = whole;
    unit.offset = entry.dataOffset + pieces[k].inOffset;
    unit.storedSize =
        static_cast<uint32_t>((last ? entry.compressedSize : pieces[k + 1].inOffset) - pieces[k].inOffset);
    unit.rawSize =
        static_cast<uint32_t>((last ? entry.uncompressedSize : pieces[k + 1].outOffset) - pieces[k].outOffset);
    unit.crc = pieces[k].crc;
    addZipUnit(plan, places, unit, fileIndex, pieces[k].outOffset, pieces[k].point);
  }
}

// Hands the directory's entries over to the plan's decoding records.
void mapDirectory(ZipReading& zip, ExtractionPlan& plan) {
  plan = ExtractionPlan{};
  plan.archiveSize = zip.directory.archiveSize;
  plan.dataStart = zip.directory.prefixLength;
  plan.describedByJournal = true;
  // A cut zip's large entries have their pieces' CRC-32s from the bytes as
  // they are now, so zeros where a hole was punched would pass for data.
  plan.holesAreReleased = zip.directory.cut;
  const std::vector<ZipEntry>& entries = zip.directory.entries;
  // Sized before they fill: growing by doubling would hold up to twice as many records.
  size_t files = 0, unitCount = 0, pathBytes = 0;
  for (uint32_t i = 0; i < entries.size(); ++i) {
    if (mapsToNothing(entries[i])) continue;
    ++files;
    unitCount += unitsOf(entries[i], zip.pieces[i]);
    pathBytes += entries[i].name.size();
    if (entries[i].kind == ZipEntryKind::SymbolicLink) pathBytes += zip.targets.at(i).size();
  }
  plan.marks.reserve(entries.size());
  for (const ZipEntry& entry : entries) plan.marks.push_back(headerMark(entry));
  auto units = std::make_shared<ZipUnits>();
  plan.files.reserve(files);
  plan.paths.reserve(pathBytes);
  plan.units.reserve(unitCount);
  plan.pieces.reserve(unitCount);
  std::vector<PointPlace> places;
  places.reserve(unitCount);
  for (uint32_t i = 0; i < entries.size(); ++i) {
    if (!mapsToNothing(entries[i])) mapEntry(zip, i, plan, places);
  }
  units->entries = std::move(zip.directory.entries);
  std::erase_if(units->entries, mapsToNothing);
  units->points = zip.points;
  units->points->setPlaces(std::move(places));
  plan.sourceData = std::move(units);
}

Status openZip(FileHandle& file, ZipDirectory& directory) {
  if (!rewindArchive(file)) return failure(StatusKind::Failed, L"Unable to open archive file");
  return readZipDirectory(file, directory);
}

Status readZip(FileHandle& file, const std::wstring& scratchPath, const StopCallback& shouldStop,
               SourceReading& reading) {
  auto zip = std::make_shared<ZipReading>();
  if (Status status = openZip(file, zip->directory); !status.ok()) return status;
  const std::vector<ZipEntry>& entries = zip->directory.entries;
  for (const ZipEntry& entry : entries) {
    if (Status status = checkZipEntryDecodable(entry); !status.ok()) return status;
  }
  zip->pieces.resize(entries.size());
  zip->points = std::make_shared<UnitPoints>(scratchPath);
  reading = SourceReading{};
  reading.facts.format = zipSource().format;
  reading.facts.blockSize = kZipPieceBytes;
  reading.unaccounted = zip->directory.unaccounted;
  std::vector<std::wstring> splitFailures(entries.size());
  if (Status split = splitLargeEntries(file, *zip, shouldStop, splitFailures); !split.ok()) return split;
  if (zip->directory.cut) {
    const ZipEntry& last = entries.back();
    Status cut =
        splitCutEntry(file, last, zip->directory.archiveSize - last.dataOffset, *zip->points, zip->pieces.back());
    if (!cut.ok()) return cut;
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!splitFailures[i].empty()) return failure(StatusKind::Failed, splitFailures[i]);
    std::string target;
    if (Status status = readAhead(file, entries[i], target); !status.ok()) return status;
    if (entries[i].kind == ZipEntryKind::SymbolicLink) {
      zip->targets.emplace(static_cast<uint32_t>(i), std::move(target));
    }
    reading.unitCount += unitsOf(entries[i], zip->pieces[i]);
    if (entries[i].kind == ZipEntryKind::File) reading.facts.sourceBytes += knownLength(entries[i], zip->pieces[i]);
  }
  reading.plan = [zip](const UnitFilter&, ExtractionPlan& plan) {
    mapDirectory(*zip, plan);
    return Status{};
  };
  return {};
}

const ZipEntry& entryOf(const ExtractionPlan& plan, uint32_t u) {
  return static_cast<const ZipUnits*>(plan.sourceData.get())->entries[plan.piecesOf(u).front().file];
}

// The unit whose start unit `u`'s decoding starts from: `u` itself, unless
// the journal lost or spoiled its point; then the nearest unit of its entry
// before it whose point reads whole, or the entry's first, which needs none.
// The archive still holds those units: they lie below `u`, and a run takes
// units from the archive's end.
uint32_t decodingStart(const ExtractionPlan& plan, uint32_t u) {
  const auto& units = *static_cast<const ZipUnits*>(plan.sourceData.get());
  auto point = std::make_unique<InflatePoint>();
  for (uint32_t v = u;; --v) {
    const bool lacks = v < units.lacksPoint.size() && units.lacksPoint[v];
    if (plan.piecesOf(v).front().destOffset == 0 || (!lacks && units.points->read(v, *point) != PointRead::Damaged)) {
      return v;
    }
  }
}

// A unit's stored bytes, with those of the units its decoding must start
// from in front.
Status readStoredUnit(FileHandle& archive, const ExtractionPlan& plan, uint32_t u, std::vector<uint8_t>& stored) {
  const uint64_t from = plan.units[decodingStart(plan, u)].offset, length = plan.endOf(u) - from;
  Status read = length <= UINT32_MAX ? readArchiveBlock(archive, from, static_cast<uint32_t>(length), stored)
                                     : failure(StatusKind::EndedEarly, L"");
  if (read.kind != StatusKind::EndedEarly) return read;
  return failure(StatusKind::DamagedBlock, L"Zip entry lies outside the archive: " + nameOf(entryOf(plan, u)));
}

// A deflated piece from its own point (or its entry's start) to the next
// piece's point (or its entry's end), decoded by libdeflate, which inflates
// about twice as fast as zlib (inflateStretch); false where it is a whole
// entry (ZipDecoder inflates those with libdeflate at once, without copies),
// where its decoding starts at an earlier piece, where a point does not read,
// or where libdeflate does not decode it: zlib then does.
bool decodedAlone(const ZipUnits& units, const ExtractionPlan& plan, uint32_t u, const std::vector<uint8_t>& stored,
                  std::vector<uint8_t>& raw) {
  const PlanUnit& unit = plan.units[u];
  const PlanPiece& piece = plan.piecesOf(u).front();
  const bool first = piece.destOffset == 0, last = piece.destinationEnd() == units.entries[piece.file].uncompressedSize;
  const auto pointHeld = [&](uint32_t v, InflatePoint& point) {
    return !(v < units.lacksPoint.size() && units.lacksPoint[v]) && units.points->read(v, point) == PointRead::Read;
  };
  auto from = std::make_unique<InflatePoint>(), to = std::make_unique<InflatePoint>();
  if ((first && last) || stored.size() != unit.storedSize || (!first && !pointHeld(u, *from))) return false;
  if (!last && !(u + 1 < plan.units.size() && plan.piecesOf(u + 1).front().file == piece.file &&
                 plan.piecesOf(u + 1).front().destOffset == piece.destinationEnd() && pointHeld(u + 1, *to))) {
    return false;
  }
  const auto room = std::make_unique_for_overwrite<uint8_t[]>(kInflateRoom + unit.rawSize);
  const std::span<uint8_t> out(room.get() + kInflateRoom, unit.rawSize);
  if (!inflateStretch(stretchBetween(first ? nullptr : from.get(), last ? nullptr : to.get(), stored), out)) {
    return false;
  }
  raw.assign(out.begin(), out.end());
  return true;
}

Status decodeUnit(const ExtractionPlan& plan, uint32_t u, const std::vector<uint8_t>& stored,
                  std::vector<uint8_t>& raw) {
  const auto& units = *static_cast<const ZipUnits*>(plan.sourceData.get());
  const PlanUnit& unit = plan.units[u];
  const PlanPiece& piece = plan.piecesOf(u).front();  // a zip's units are single pieces
  const ZipEntry& entry = units.entries[piece.file];
  if (entry.method == kZipStored) {
    raw = stored;
  } else if (!decodedAlone(units, plan, u, stored, raw)) {
    raw.resize(unit.rawSize);
    ZipDecoder decoder(entry);
    // Stored bytes in front of the unit's own are those of the unit readStoredUnit found to start from.
    uint32_t from = u;
    while (plan.units[from].offset > unit.offset - (stored.size() - unit.storedSize)) --from;
    auto point = std::make_unique<InflatePoint>();
    const PointRead got = units.points->read(from, *point);
    if (got == PointRead::Unreadable) {
      return failure(StatusKind::Failed, L"Unable to read where this piece's decoding starts: " + nameOf(entry));
    }
    if ((from < units.lacksPoint.size() && units.lacksPoint[from]) || got == PointRead::Damaged) {
      return failure(StatusKind::DamagedBlock,
                     L"The journal no longer holds where this piece's decoding starts: " + nameOf(entry));
    }
    if (got == PointRead::Read && !decoder.resumeAt(*point)) {
      return failure(StatusKind::DamagedBlock, L"Zip entry data is damaged (invalid deflate data): " + nameOf(entry));
    }
    const bool last = piece.destinationEnd() == entry.uncompressedSize;
    const uint64_t skip = piece.destOffset - plan.piecesOf(from).front().destOffset;
    if (Status decoded = decodeInto(decoder, entry, stored, skip, raw, last); !decoded.ok()) return decoded;
  }
  // The size too: the unit's pieces take its raw bytes by their offsets.
  if (raw.size() != unit.rawSize || crc32(raw.data(), raw.size()) != unit.crc) {
    return failure(StatusKind::DamagedBlock, L"Checksum verification failed: " + nameOf(entry));
  }
  return {};
}

// What a unit's decoding needs of its entry, once the archive no longer
// holds its directory, and which units start at a point of their own.
void saveUnits(const ExtractionPlan& plan, RecordWriter& out) {
  const auto& units = *static_cast<const ZipUnits*>(plan.sourceData.get());
  for (const ZipEntry& entry : units.entries) {
    out.text(entry.name);
    out.u32(entry.method);
    out.u32(entry.crc);
    out.u64(entry.compressedSize);
    out.u64(entry.uncompressedSize);
  }
  for (uint32_t u = 0; u < plan.units.size(); ++u) out.u8(units.points->placeOf(u).length > 0 ? 1 : 0);
}

std::shared_ptr<UnitPoints> pointsOf(const ExtractionPlan& plan) {
  return static_cast<const ZipUnits*>(plan.sourceData.get())->points;
}

bool loadUnits(RecordReader& in, std::shared_ptr<UnitPoints> tail, ExtractionPlan& plan) {
  auto units = std::make_shared<ZipUnits>();
  units->entries.resize(plan.files.size());
  for (ZipEntry& entry : units->entries) {
    entry.name = in.text();
    entry.method = static_cast<uint16_t>(in.u32());
    entry.crc = in.u32();
    entry.compressedSize = in.u64();
    entry.uncompressedSize = in.u64();
    if (entry.method != kZipStored && entry.method != kZipDeflated) return false;
  }
  units->lacksPoint.resize(plan.units.size());
  for (uint32_t u = 0; u < plan.units.size(); ++u) {
    const bool startsAtPoint = in.u8() != 0;
    const bool inTail = tail->placeOf(u).length > 0;
    if (inTail && !startsAtPoint) return false;
    units->lacksPoint[u] = startsAtPoint && !inTail;
  }
  units->points = std::move(tail);
  plan.sourceData = std::move(units);
  return in.ok();
}

// Every entry as the directory names it, a folder with its "/"; a cut zip's
// last entry whose sizes went with the cut by the bytes present of its data.
Status listEntries(FileHandle& file, const FileLister& onFile) {
  ZipDirectory directory;
  if (Status status = openZip(file, directory); !status.ok()) return status;
  for (const ZipEntry& entry : directory.entries) {
    const uint64_t size = sizesUnknown(entry) ? directory.archiveSize - entry.dataOffset : entry.uncompressedSize;
    onFile({entry.name, size, kindOf(entry), {}});
  }
  return {};
}

}  // namespace

const ArchiveSource& zipSource() {
  static const ArchiveSource source{.format = L"zip",
                                    .recognises = looksLikeZip,
                                    .read = readZip,
                                    .readStored = readStoredUnit,
                                    .decodeUnit = decodeUnit,
                                    .list = listEntries,
                                    .saveUnits = saveUnits,
                                    .points = pointsOf,
                                    .loadUnits = loadUnits};
  return source;
}

}  // namespace ablative
