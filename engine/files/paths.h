// Path text as the engine forms it: the platform's separator, parent
// folders, and relative paths placed under a folder.
#pragma once

#include <string>

#include "platform/env.h"

namespace ablative {

// The folder part of `path`: "" for a bare name, the root itself for an entry
// of the root ("/" or "C:\").
std::wstring parentFolder(const std::wstring& path);

// The nearest folder that exists at or above `path` (a destination need not
// exist yet: its file system is that of this folder); `missing` counts the
// folders on the way there, each one to make.
std::wstring nearestFolder(const std::wstring& path, uint64_t& missing);
std::wstring nearestFolder(const std::wstring& path);

// The last component of `path`.
std::wstring fileNameOf(const std::wstring& path);

// Where a file is written before it is complete and renamed to `path`: `path`
// + ".creating".
std::wstring temporaryPathFor(const std::wstring& path);

// `relativePath` (components separated by "/") under `folder`, with the
// platform's separator. An empty `folder` leaves the path relative.
std::wstring joinPath(const std::wstring& folder, const std::wstring& relativePath);

}  // namespace ablative
