// What the destination's file system can hold, found before a run writes
// anything, and the first entry of a plan it cannot: a run that met such an
// entry after its first release would meet it again on every resume.
//
// The system tells some of it (the longest name, whether names are FAT's);
// the rest is found by trying, with scratch entries in the destination's
// nearest existing folder that go again at once: whether letter case is
// ignored, whether symbolic links can be made, which names Windows would
// refuse, whether long names count UTF-16 units, and how long a file may grow.
#pragma once

#include <cstdint>
#include <string>

#include "plan/extraction_plan.h"
#include "status.h"

namespace ablative {

struct DestinationLimits {
  uint32_t longestName = 255;
  bool namesInUtf16 = false;  // longestName counts UTF-16 units, not bytes
  // The longest path: below the destination in bytes where paths are bytes;
  // the whole path in UTF-16 units where they are not (Windows).
  uint64_t longestPath = 4095;
  bool pathsInUtf16 = false;
  uint64_t longestLinkTarget = 4095;  // bytes; none where paths are UTF-16
  bool windowsNames = false;          // refuses what Windows refuses (FAT, exFAT)
  bool foldsCase = false;             // README and readme are one file
  bool holdsLinks = true;             // symbolic links
  uint64_t largestFile = UINT64_MAX;
};

// Probes the file system of `destinationDir` (its nearest existing folder).
// `longestFile` is the plan's longest file, which only a file system that
// may not hold it is asked to lengthen a scratch file to.
DestinationLimits probeDestination(const std::wstring& destinationDir, uint64_t longestFile);

// The first entry of `plan` that the destination cannot hold fails this,
// naming it and the limit:
//   "Name too long for the destination's file system (at most N bytes): " + path
//   "Name too long for the destination's file system (at most N UTF-16 units): " + path
//   "Name not allowed by the destination's file system: " + path
//   "Path too long for the destination (at most N bytes below it): " + path
//   "Path too long for the destination (at most N UTF-16 units): " + path
//   "Link target too long for the destination (at most N bytes): " + path
//   "Names that the destination holds as one, since it ignores letter case: " + a + " and " + b
//   "The destination's file system holds no file over N bytes: " + path
// Folders whose names differ only in case are one folder there, which loses
// nothing; two files, or a file and a folder, are refused. Links are not
// checked where the destination holds none: the run skips them.
Status checkAgainstLimits(const ExtractionPlan& plan, const DestinationLimits& limits,
                          const std::wstring& destinationDir);

}  // namespace ablative
