// Where the symbolic links of an archive lead. A link is made only where it
// leads inside the destination: an archive must not leave behind a way out of
// the folder it was extracted into, for whoever follows the link later.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "extraction_plan.h"
#include "path_safety.h"

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

// The target of a Windows reparse point, from its data as FSCTL_GET_REPARSE_POINT
// gives it, as a scan stores it: UTF-8 with "/" between its components. A
// symbolic link gives its print name (else its substitute name); a relative
// one stays relative. A junction gives the folder it leads to, always
// absolute, so that an extraction refuses it as leaving the destination:
// following it would store another place's contents. The "\??\" prefix of a
// system name goes before a drive ("C:"), else becomes "\\?\", so that the
// path stays absolute. False for any other reparse point (cloud files,
// deduplicated files: files to be read as such), and for data whose lengths do
// not fit, or whose name is empty or not UTF-16.
bool linkTargetOfReparseData(std::span<const uint8_t> data, std::string& target);

// Per file of `plan`, what becomes of it as a link; empty where the plan has
// no link. Windows makes links to folders and to files apart.
enum class LinkPlace : uint8_t { NotALink, Outside, ToFile, ToFolder };
std::vector<LinkPlace> placeLinks(const ExtractionPlan& plan);

}  // namespace ablative
