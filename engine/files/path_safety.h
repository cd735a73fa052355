// Which stored paths an extraction accepts. An archive is untrusted input:
// every stored path must name a plain file inside the destination folder, no
// two may name the same file, and none may overwrite the archive's own files.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/env.h"

namespace ablative {

// Whether the Windows rules apply where this build runs. Every function takes
// the choice as a parameter so that both rule sets are testable anywhere.
inline constexpr bool kWindowsPathRules = kPathSeparator == L'\\';

// Portable rules: the path is not empty, relative (no leading "/"), and has
// no empty, "." or ".." component, no backslash and no NUL; its bytes need
// not be UTF-8, as names on Linux need not be.
// Windows rules add: valid UTF-8, no ":" (drive names such as "C:",
// alternate data streams), none of < > " | ? *,
// no control character, no reserved device name (CON, PRN, AUX, NUL, COM1-9,
// LPT1-9, with or without an extension), no component ending in "." or " ".
bool isSafeStoredPath(std::string_view utf8, bool windowsRules = kWindowsPathRules);

// The index of the first stored path that is unsafe, names the same file as an
// earlier path (ignoring letter case under the Windows rules), or clashes with
// an earlier path as file against folder ("a" and "a/b"); storedPaths.size()
// when all are fine. Then the index of the first of `folders` that is unsafe
// or is, or lies below, one of the files; folders.size() when none. Time and
// memory grow with the paths' total length.
struct UnsafePaths {
  size_t file = 0;
  size_t folder = 0;
};
UnsafePaths findUnsafePaths(const std::vector<std::string_view>& storedPaths,
                            const std::vector<std::string_view>& folders, bool windowsRules = kWindowsPathRules);
size_t findUnsafePath(const std::vector<std::string_view>& storedPaths, bool windowsRules = kWindowsPathRules);

// A stored path with its "." components left out ("./a/./b" is "a/b", "./"
// is ""), as archives written from "." hold them.
std::string withoutDotComponents(std::string_view path);

// Text as a person sees it, safe for a terminal or a window: control
// characters as C escapes (\n, \t, \r, else octal such as \033), C1 controls,
// line separators and the marks that reorder text as \uNNNN, and bytes that
// are not UTF-8 (as nameFromBytes keeps them, utf8.h) as \xNN. JSON output takes text as it is.
std::wstring displayText(const std::wstring& text);

// Files that no extracted file may overwrite: the archive, its journal and the
// journal's temporary name. A destination path is refused when it names one of
// them by any spelling (same folder and name, letter case ignored under the
// Windows rules) or reaches one through a link. Should a protected file's
// folder be impossible to look up, its name is refused in every folder.
class ProtectedFiles {
 public:
  ProtectedFiles(const std::vector<std::wstring>& paths, bool windowsRules = kWindowsPathRules);
  bool includes(const std::wstring& destinationPath);

 private:
  struct Entry {
    std::optional<FileIdentity> folder;
    std::wstring nameKey;
    std::optional<FileIdentity> file;
  };
  std::optional<FileIdentity> folderIdentity(const std::wstring& folder);
  std::wstring nameKey(const std::wstring& name) const;

  bool windowsRules_;
  std::vector<Entry> entries_;
  std::unordered_map<std::wstring, std::optional<FileIdentity>> folders_;  // destination folders seen so far
};

}  // namespace ablative
