// The formats this program reads, in the order their first bytes are asked:
// the table the consuming protocol picks an archive's source from.
#pragma once

#include <string>

#include "plan/archive_source.h"

namespace ablative {

// The source whose format the archive's first bytes show. An archive none
// recognises, or that cannot be read, is the .zvka source's to refuse with
// its messages: this program's own format says best what was chosen wrong.
const ArchiveSource& sourceFor(const std::wstring& archivePath);

// The source of that name, or null.
const ArchiveSource* sourceNamed(const std::wstring& format);

}  // namespace ablative
