// Path text as the window's fields hold it: Windows separators ("\" and "/"),
// the standard decomposition into parent, stem and extension, and the
// existence checks of the input fields.
#pragma once

#include <string>
#include <string_view>
#include <vector>

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

// The extensions the window knows an archive of `format` by, from the
// engine's format table. Only a name's last extension is seen, so one like
// ".tar.gz" counts by its last part (".gz"), after those seen whole; the
// journal's (".zvkj") counts with this program's own format.
std::vector<std::wstring> archiveExtensionsOf(std::wstring_view format);

// Every format's, in the table's order: what a path given alone is extracted
// for, and what the context menu is offered on.
std::vector<std::wstring> archiveExtensions();

// True for any of archiveExtensions(), with A to Z matched in either case.
bool hasArchiveOrJournalExtension(const std::wstring& path);

// `path` itself when nothing exists there, else the first free "stem_N.ext"
// beside it for N up to 9999; `path` again when all of those are taken.
std::wstring makeUniquePath(const std::wstring& path);

}  // namespace zarvik
