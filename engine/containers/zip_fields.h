// Internal to the zip reader: the fields of a header whose meaning depends on
// its extra fields (name, modification time) and the extra fields themselves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ablative {

// An extra field's data inside a header's extra bytes (id, length, data).
// Fields that overrun the extra bytes end the search.
std::optional<std::string_view> findZipExtra(std::string_view extra, uint16_t id);

// The hosts of "version made by" whose names are read apart.
inline constexpr uint8_t kZipMadeOnDos = 0, kZipMadeOnUnix = 3, kZipMadeOnNtfs = 11, kZipMadeOnVfat = 14;

// The entry's name in UTF-8: the raw name when flag bit 11 says it is UTF-8,
// else the Unicode path extra field when it was written for this very raw
// name, else the raw name as it is when it was made on Unix (Unix tools
// store the bytes of the file system's names, which need not be UTF-8),
// else the raw name read as code page 437. Made on MS-DOS or Windows, where no name
// holds a backslash, its backslashes are the folder separators some Windows
// tools write, and become '/'.
std::string decodeZipName(std::string_view rawName, uint16_t flags, std::string_view extra, uint8_t madeBy);

// The modification time in nanoseconds since 1970 UTC: from the extended
// timestamp extra field, else the NTFS one, else the MS-DOS local time.
int64_t zipModifiedNs(std::string_view extra, uint16_t dosDate, uint16_t dosTime);

}  // namespace ablative
