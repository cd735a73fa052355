// Tar archives in a framing (framings/framing.h) as a source for the
// consuming protocol: ".tar.gz" is tar over gzip. A first pass decodes the
// stream once, reading the tar's members from the decoded bytes by the rules
// a tar file is read by (TarStream), checking each frame, and recording a
// point where decoding can start again at each frame's data start and at the
// first place after every kTarPieceBytes decoded. A unit is the compressed
// bytes between two points (with the zip source's rule for the byte a point
// splits, zip_source.h), whose raw bytes are the kept members' data it
// decodes to; a range that decodes to none is no unit. Frame headers and
// trailers lie outside every unit: the headers are marks.
//
// A stream that ends at a point, inside the tar, was cut there by a consuming
// run whose journal is gone: its plan holds the members whose headers the
// decoded bytes hold, with the data the cut took of the last one in units
// past the archive's end (ExtractionPlan::holesAreReleased).
#pragma once

#include "framings/framing.h"
#include "plan/archive_source.h"

namespace ablative {

// Its format is "tar." + the framing's name. Its messages, besides the
// framing's pass's, TarStream's and layOutTar's (tar_format.h, tar_layout.h),
// reading the archive, with the framing's texts (FramingTexts):
//   "This " + fileNoun + " holds no tar archive: decompress it with " + decompressor
//   unsplittable + the frame's offset
// and, reading a unit, a read's own message when Unreadable, or, when Damaged,
//   endsEarly or invalidData + the frame's offset
//   "Checksum verification failed: " + frame + its offset
//   "The journal no longer holds where this piece's decoding starts: " + frame + its offset
// or, when the file keeping where its decoding starts cannot be read, Unreadable:
//   "Unable to read where this piece's decoding starts: " + frame + its offset
ArchiveSource framedTarSource(const Framing& framing);

// The source of tar over a framing of the framing table, made once: a row
// of the format table.
template <const Framing& (*framing)()>
const ArchiveSource& tarOver() {
  static const ArchiveSource source = framedTarSource(framing());
  return source;
}

}  // namespace ablative
