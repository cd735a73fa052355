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

// Every format's, in the table's order, then the first parts of volume sets
// (".001", ".z01"): what the file dialog lists and the context menu is
// offered on.
std::vector<std::wstring> archiveExtensions();

// True for any of archiveExtensions(), with A to Z matched in either case, and
// for any part of a volume set: what a path given alone is extracted for.
bool hasArchiveOrJournalExtension(const std::wstring& path);

// The name of the archive whose volume set `path` is a part of: "NAME" for
// "NAME.001", "NAME.002", … (three digits, or more where the engine takes
// them for a later part), "NAME.zip" for a split zip's "NAME.z01", "NAME.z02",
// …; any other path itself.
std::wstring volumeSetNameOf(const std::wstring& path);

// The folder an archive is extracted into by default, beside it: its stem,
// the same for every part of a volume set as for the whole archive.
std::wstring extractionFolderOf(const std::wstring& archive);

// The archive field's text for `paths`: one path as it is, several each in
// double quotes (which no file name holds), separated by spaces.
std::wstring archiveFieldText(const std::vector<std::wstring>& paths);

// The paths in the archive field: the whole text as one path when it holds no
// double quote, else each quoted run, and each run of other text between
// spaces. None for an empty field.
std::vector<std::wstring> archiveFieldPaths(const std::wstring& text);

// The paths an open dialog with multiple selection returns in `buffer`: the
// full path alone, or a folder followed by names in it; each ended by a zero,
// the list by another.
std::vector<std::wstring> dialogSelection(const wchar_t* buffer);

// Where paths dropped on the window go: archives and journals, all of them,
// to the Extract page's archive field; otherwise the first path (a folder or
// a file to pack) to the Create page's source. Page -1: nothing dropped.
struct DropTarget {
  int page = -1;  // 0 Create Archive, 1 Extract
  std::wstring text;
};
DropTarget dropTargetOf(const std::vector<std::wstring>& paths);

// `path` itself when nothing exists there, else the first free "stem_N.ext"
// beside it for N up to 9999; `path` again when all of those are taken.
std::wstring makeUniquePath(const std::wstring& path);

}  // namespace zarvik
