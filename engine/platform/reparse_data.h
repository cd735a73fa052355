// What a Windows reparse point holds, read from its bytes: below the seam, so
// that the Windows platform file reads links without the extraction's rules.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace ablative {

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

}  // namespace ablative
