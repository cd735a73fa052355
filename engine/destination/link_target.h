// Where the symbolic links of an archive lead. A link is made only where it
// leads inside the destination: an archive must not leave behind a way out of
// the folder it was extracted into, for whoever follows the link later.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "files/path_safety.h"
#include "plan/extraction_plan.h"

namespace ablative {

// Whether a stored path names a link of the archive.
using NamesLink = std::function<bool(const std::string&)>;

// Resolves `target`, the target of the link stored at `linkPath`, on its text
// alone, from the link's own folder, as the system will: "/" separates, ".."
// climbs, "." and empty components stay. Sets `resolved` to where it leads
// below the destination ("" for the destination itself) and returns true, or
// returns false where it may lead outside: an empty or absolute target, text
// that is not UTF-8, a ".." above the destination, or a way through a link of
// the archive (`namesLink`), which the system follows to wherever that leads.
// Under the Windows rules also a backslash, a drive or a stream (":"), any
// component a stored path may not have there, and a "~" on the way, which may
// be the short name of a link.
bool resolveLinkTarget(const std::string& linkPath, const std::string& target, const NamesLink& namesLink,
                       std::string& resolved, bool windowsRules = kWindowsPathRules);

// Per file of `plan`, what becomes of it as a link; empty where the plan has
// no link. Windows makes links to folders and to files apart.
enum class LinkPlace : uint8_t { NotALink, Outside, ToFile, ToFolder };
std::vector<LinkPlace> placeLinks(const ExtractionPlan& plan);

}  // namespace ablative
