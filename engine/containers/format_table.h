// The formats this program reads, in one table: the source of each, the
// extensions it is opened by, and where its mark lies. The consuming protocol
// picks an archive's source from it by the first bytes; the front ends list
// archives by its extensions.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "plan/archive_source.h"

namespace ablative {

// The source whose format the first bytes of the archive open as `archive`
// show. An archive none recognises, or that cannot be read (or was not
// opened), is the .zvka source's to refuse with its messages: this program's
// own format says best what was chosen wrong.
const ArchiveSource& sourceFor(FileHandle& archive);

// The source of that name, or null.
const ArchiveSource* sourceNamed(const std::wstring& format);

// A format as a user knows it: the name its source reports, and the file-name
// extensions an archive of it is opened by, the usual one first. The front
// ends list archives by these (the usage text, the file dialog, the context
// menu); the engine tells formats apart by their first bytes, never by name.
struct FormatExtensions {
  std::wstring_view format;
  std::span<const std::wstring_view> extensions;
};

// Every format an archive may be given in, this program's own first.
std::span<const FormatExtensions> formatExtensions();

// The extensions of the format of that name; none for a name not in the table.
std::span<const std::wstring_view> extensionsOf(std::wstring_view format);

}  // namespace ablative
