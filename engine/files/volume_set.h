// Archives split into volumes NAME.001, NAME.002, … (a byte split, as
// `split --numeric-suffixes=1 -a 3` and 7-Zip's volumes make them), or into a
// split zip's NAME.z01, NAME.z02, …, NAME.zip: the archive is their
// concatenation, which a split zip's disk numbers count from (partStarts in
// env.h). Any part stands for its set, and the set for
// its first part, beside which the journal lies. A consuming run deletes the
// parts from the last as it cuts the archive, so a set partly consumed is
// still its first parts, all whole but the last.
#pragma once

#include <string>
#include <vector>

#include "platform/env.h"
#include "status.h"

namespace ablative {

struct VolumeSet {
  std::vector<std::wstring> parts;  // in order; one for an archive in one file
};

// The path that stands for the archive at `path`: the first part of its set
// where `path` names a part (a name ending in "." and three digits, or more
// digits while the first part is there; in ".z" and two digits or more, or
// in ".zip" while a ".z01" is beside it), else `path`.
std::wstring firstVolumeOf(const std::wstring& path);

// The parts of the archive that `first` stands for: the parts numbered on
// from it that are there, then a split zip's NAME.zip where it is there. Fails, naming the part, where a part is missing
// below another ("Volume set is missing a part: " + its path; with the first
// missing, `set` holds it and the parts after it that are there), or where a
// part is not as long as the first while another follows it, or is longer
// ("Volume set part is N bytes where the first is M: " + its path).
Status findVolumeSet(const std::wstring& first, VolumeSet& set);

// `read`, the failure of reading as an archive a set no run has cut
// (`progress` false), with where a part may be missing: after the last, where
// it is as long as the others ("The volume set may lack a part after " + its
// path + " (as long as the parts before it): " + the failure).
Status withMissingPartHint(const VolumeSet& set, bool progress, Status read);

// Part `number` (from 1) of the set `archivePath` is split into: its path +
// ".001", ".002", …, with more digits past 999.
std::wstring volumePath(const std::wstring& archivePath, uint64_t number);

struct NumberedVolume {
  uint64_t number = 0;
  std::wstring path;
};

// The parts of sets named `archivePath` that its folder holds, by number: its
// path + "." and a number, as findVolumeSet takes them ("1000" or "0002"
// too). False where the folder is there but cannot be listed.
bool volumesAt(const std::wstring& archivePath, std::vector<NumberedVolume>& found);

// Opens the set as one file (openParts), or its one file as openFile does.
bool openVolumeSet(const VolumeSet& set, OpenMode mode, FileHandle& archive);

}  // namespace ablative
