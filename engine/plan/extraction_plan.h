// What the consuming protocol knows of an archive once its source has read
// and checked it, whatever its format: the units it is taken in, where each
// lies in the archive and where it goes, the files they fill, and the orders
// in which units are taken and the archive is cut. The journal indexes units
// as the plan numbers them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ablative.h"

namespace ablative {

// One part of the archive taken at once: stored bytes that decode to raw
// bytes that go to one file or several, a piece each (small files may share
// a block).
struct PlanUnit {
  uint64_t offset = 0;  // of its stored bytes in the archive
  uint32_t storedSize = 0;
  uint32_t rawSize = 0;
  uint32_t crc = 0;     // CRC-32 of the raw bytes, what a resumed run checks a read-back against
  uint32_t coding = 0;  // how the stored bytes decode, in its source's terms
  // False when the raw size is more than the stored bytes can decode to:
  // no buffer is sized for such a unit.
  bool decodable = true;
  // It stands for the rest of its file from its piece's destOffset on, of a
  // length the archive no longer records (a cut zip's last entry whose sizes
  // went with the cut): no raw bytes, not decodable, past the archive's end.
  // A salvage names it lost; the destination keeps whatever is there.
  bool lengthUnknown = false;
  // Its pieces in ExtractionPlan::pieces, at least one (of no bytes where it
  // has none), in rawOffset order, covering its raw bytes exactly.
  uint32_t firstPiece = 0;
  uint32_t pieceCount = 0;
};

// A range of a unit's raw bytes and where it goes.
struct PlanPiece {
  uint32_t file = 0;
  uint32_t rawOffset = 0;  // where it starts among the unit's raw bytes
  uint32_t length = 0;
  uint64_t destOffset = 0;  // where in its file it goes

  uint64_t destinationEnd() const { return destOffset + length; }
};

// A file or folder's modification time and permission bits where its archive
// keeps them, else these.
inline constexpr int64_t kNoTime = INT64_MIN;
inline constexpr uint32_t kNoMode = UINT32_MAX;

// Of the entry an archive found cut ends inside, the most bytes past the cut
// its plan names in units: their length is the header's word alone, and a
// hostile header is not to size the plan.
inline constexpr uint64_t kLargestCutAway = uint64_t{1} << 40;

// Its fields in order of size, so that it takes 40 bytes: an archive may hold
// hundreds of thousands of files.
struct PlanFile {
  uint64_t pathOffset = 0;       // its stored path in ExtractionPlan::paths
  uint64_t length = 0;           // the sum of its pieces' lengths, and of a sparse file's holes
  int64_t modifiedNs = kNoTime;  // nanoseconds since 1970 UTC
  uint32_t pathLength = 0;
  uint32_t targetLength = 0;  // a link's target, or the file a hard link names, after its path in ExtractionPlan::paths
  uint32_t unixMode = kNoMode;  // its permission bits (07777)
  EntryKind kind = EntryKind::File;
};

// Bytes outside every unit that a consuming run leaves until a cut takes them
// (a zip's local headers): what a resumed run checks the archive by.
struct PlanMark {
  uint64_t offset = 0;
  uint32_t length = 0;
  uint32_t crc = 0;
};

struct ExtractionPlan {
  std::vector<PlanFile> files;
  std::string paths;  // the stored paths (UTF-8), held together: one string per file would cost more
  std::vector<PlanUnit> units;
  std::vector<PlanPiece> pieces;       // of every unit, held together as the paths are
  uint64_t archiveSize = 0;            // the archive's length when it was read
  uint64_t dataStart = 0;              // no unit lies before it: the archive describes itself there
  std::vector<uint32_t> processOrder;  // units by archive offset, highest first
  std::vector<uint32_t> tailOrder;     // units by end offset, highest first
  // The bytes between and above the units (a zip's headers and directory)
  // hold nothing a run needs once its journal keeps the plan: a cut takes
  // them with the units above them. Else the archive is cut only where a
  // unit ends.
  bool describedByJournal = false;
  // Found cut where a consuming run cuts it, with the units' CRC-32s taken
  // from its bytes as they are now: a unit in a hole is one that run
  // released, not one that holds zeros.
  bool holesAreReleased = false;
  // Its units decode only in order, by one decoder (SourceReading::keepOnly).
  bool decodesInOrder = false;
  std::vector<PlanMark> marks;
  // What the source reads its units back with beyond these records (where to
  // resume decoding, say): its own, opaque here.
  std::shared_ptr<const void> sourceData;

  uint64_t endOf(uint32_t unit) const { return units[unit].offset + units[unit].storedSize; }
  std::span<const PlanPiece> piecesOf(uint32_t unit) const {
    return {pieces.data() + units[unit].firstPiece, units[unit].pieceCount};
  }
  std::string_view pathViewOf(uint32_t file) const {
    return std::string_view(paths).substr(files[file].pathOffset, files[file].pathLength);
  }
  std::string pathOf(uint32_t file) const { return std::string(pathViewOf(file)); }
  std::string_view targetViewOf(uint32_t file) const {
    return std::string_view(paths).substr(files[file].pathOffset + files[file].pathLength, files[file].targetLength);
  }
  std::string targetOf(uint32_t file) const { return std::string(targetViewOf(file)); }
};

// Appends `unit`, whose raw bytes all go to `file` from `destOffset`: for
// sources whose units are single pieces.
void addUnit(ExtractionPlan& plan, PlanUnit unit, uint32_t file, uint64_t destOffset);

// Sets the two orders of a plan whose units are in place.
void orderUnits(ExtractionPlan& plan);

// CRC-32 of what the plan was made from, as far as it decides the bytes
// extracted: the paths, each file's length and kind, each unit's place,
// sizes, CRC-32 and coding, and the marks. An archive read anew gives the
// same checksum exactly when it describes the same extraction.
uint32_t planChecksum(const ExtractionPlan& plan);

}  // namespace ablative
