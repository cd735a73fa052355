// Path text as the window's fields hold it: Windows separators ("\" and "/"),
// the standard decomposition into parent, stem and extension, and the
// existence checks of the input fields.
#pragma once

#include <string>

namespace zarvik {

std::wstring fileNameOf(const std::wstring& path);  // "" when the path ends in a separator
// From the name's last "."; "" for a name without one, for ".name", "." and
// "..". A ":stream" suffix is not part of it.
std::wstring extensionOf(const std::wstring& path);
std::wstring stemOf(const std::wstring& path);
std::wstring parentOf(const std::wstring& path);  // keeps a root ("C:\"), drops other trailing separators
std::wstring joinPath(const std::wstring& folder, const std::wstring& name);

// A path whose status cannot be determined counts as absent.
bool pathExists(const std::wstring& path);
bool isRegularFile(const std::wstring& path);
bool isDirectory(const std::wstring& path);

// `path` with ".zvka" appended when it has no extension at all.
std::wstring withArchiveExtension(const std::wstring& path);

// True for ".zvka", ".zvkj", ".zip" and ".tar" with A to Z matched in either case.
bool hasArchiveOrJournalExtension(const std::wstring& path);

// `path` itself when nothing exists there, else the first free "stem_N.ext"
// beside it for N up to 9999; `path` again when all of those are taken.
std::wstring makeUniquePath(const std::wstring& path);

}  // namespace zarvik
