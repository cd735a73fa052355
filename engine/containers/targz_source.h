// Tar archives compressed with gzip (".tar.gz", ".tgz") as a source for the
// consuming protocol. A first pass decodes the stream once, reading the tar's
// members from the decoded bytes, checking each gzip member, and recording a
// point where decoding can start again at each gzip member's start and at the
// first deflate block boundary after every kTarPieceBytes decoded. A unit is
// the compressed bytes between two points (with the zip source's rule for the
// byte a point splits, zip_source.h), whose raw bytes are the kept members'
// data it decodes to; a range that decodes to none is no unit. Gzip headers
// and trailers lie outside every unit: the headers are marks.
//
// A stream that ends at a point, inside the tar, was cut there by a consuming
// run whose journal is gone: its plan holds the members whose headers the
// decoded bytes hold, with the data the cut took of the last one in units
// past the archive's end (ExtractionPlan::holesAreReleased).
#pragma once

#include "plan/archive_source.h"

namespace ablative {

// Its messages, besides readGzip's (gzip_format.h), layOutTar's and the tar
// reader's (tar_format.h), reading the archive:
//   "Gzip stream cannot be split into pieces small enough to extract: at byte " + the member's offset
// and, reading a unit, a read's own message when Unreadable, or, when Damaged,
//   "Gzip data is damaged (ends early): at byte " + the member's offset
//   "Gzip data is damaged (invalid deflate data): at byte " + the member's offset
//   "Checksum verification failed: gzip member at byte " + its offset
//   "The journal no longer holds where this piece's decoding starts: gzip member at byte " + its offset
// or, when the file keeping where its decoding starts cannot be read, Unreadable:
//   "Unable to read where this piece's decoding starts: gzip member at byte " + its offset
const ArchiveSource& targzSource();

// Archives compressed with what this program does not decode (xz, bzip2,
// Zstandard, lzip, compress), refused by name before anything is written:
//   "Compressed archive (" + name + "), which this program cannot extract"
const ArchiveSource& otherCompressionSource();

}  // namespace ablative
