// What a tar's members make, whether the tar is read from a file or decoded
// from a gzip stream: the plan's files, and where in the tar's bytes (its
// stream) each file's data lies, from which each source cuts its units.
//
// Of members that share a path, the last alone is kept, as tar leaves it.
// "./" in front of a path names nothing, and the tree's root (".") is no
// entry. A hard link names the file its target's path holds where the link
// stands in the archive, through hard links to hard links; where a later
// member replaced that file, the link is made a file of the earlier data.
// Devices, FIFOs and sockets make no entry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ablative.h"
#include "containers/tar_format.h"
#include "plan/extraction_plan.h"

namespace ablative {

// `length` bytes of the stream from `streamOffset` that go to plan file
// `file` from `destOffset`.
struct TarSpan {
  uint64_t streamOffset = 0;
  uint64_t length = 0;
  uint32_t file = 0;
  uint64_t destOffset = 0;
};

struct TarLayout {
  ExtractionPlan plan;                // its files and paths; no units
  std::vector<TarSpan> spans;         // in stream order, none empty
  std::vector<std::wstring> skipped;  // "Skipped special file: " + name, each
  uint64_t fileBytes = 0;             // the files' lengths added up
};

// Fails, naming the member, with
//   "Symbolic link target too long: " + name
//   "Tar hard link names no file the archive holds: " + name (nothing, or no
//     file, at its target's path before it)
// The members' names are dropped once the plan holds them (TarMembers::dropNames).
Status layOutTar(TarContents& contents, TarLayout& layout);

// Appends to `plan` the unit of the stream's bytes [from, to): its raw bytes
// are those the spans take there, in stream order, a piece each. Returns how
// many raw bytes that is; no unit is added where it is none.
uint64_t addSpanUnit(const std::vector<TarSpan>& spans, uint64_t from, uint64_t to, PlanUnit unit,
                     ExtractionPlan& plan);

// A member as a listing shows it.
ListedEntry listedMember(const TarMember& member);

}  // namespace ablative
