// Zip archives (zip_format.h) as a source for the consuming protocol. Each
// entry is one plan file (folders and links by their kind) in central
// directory order. An entry's data is one unit when it takes at most a piece
// (kZipPieceBytes) stored and decoded; a larger entry is split into pieces,
// found by decoding it once when the archive is read, each with its own
// CRC-32 and, when deflated, the point where its decoding starts again, so
// that every piece is verified on its own before it is written.
//
// A deflated piece's stored range starts where its point lies: the byte
// before, whose last bits begin the piece, belongs to the piece before,
// which reads all of it, while the point keeps those bits. So the pieces of
// an entry are contiguous and disjoint, and releasing one never takes bytes
// another still needs.
#pragma once

#include <cstdint>

#include "ablative.h"
#include "plan/archive_source.h"

namespace ablative {

// As large as a .zvka archive's default block, so units weigh the same in a
// group: a group then holds enough of them to share its flushes, and a
// piece's resume point (32 KiB of window) costs under 1% of its bytes.
inline constexpr uint64_t kZipPieceBytes = kDefaultBlockSize;

// Its messages, besides readZipDirectory's, checkZipEntryDecodable's and the
// decoder's (zip_format.h), reading the archive:
//   "Symbolic link target too long: " + name
//   "Zip entry cannot be split into pieces small enough to extract: " + name
//     (a deflate block that decodes to more than 256 MiB, or takes as much)
// and, reading a unit, a read's own message when Unreadable, or the
// decoder's, or "Checksum verification failed: " + name when Damaged, or,
// read from a journal that no longer holds a piece's resume point,
// "The journal no longer holds where this piece's decoding starts: " + name,
// or, when the file keeping that point cannot be read, Unreadable:
// "Unable to read where this piece's decoding starts: " + name.
const ArchiveSource& zipSource();

}  // namespace ablative
