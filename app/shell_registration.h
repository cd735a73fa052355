// The file manager's "Zarvik Archiver" submenu: per-user registry entries for
// files, folders, archives (the program's own and zips) and journals,
// rewritten at every start so that they name the program file that was
// started last.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zarvik {

struct RegistryValue {
  std::wstring key;   // under HKEY_CURRENT_USER
  std::wstring name;  // "" is the key's default value
  std::wstring data;  // REG_SZ
};

// The values, five for each owner of Add and seven for each archive
// extension, in the order they are written, for the program at `programPath`.
std::vector<RegistryValue> shellVerbValues(const std::wstring& programPath);

// The full path of `module`'s file, however long; "" when the system cannot
// tell. `initialCapacity` is the first buffer size tried, in UTF-16 units.
std::wstring moduleFilePath(HMODULE module, size_t initialCapacity = MAX_PATH);

// Creates or opens `keyPath` under HKEY_CURRENT_USER and sets one REG_SZ value.
bool setRegistryString(const std::wstring& keyPath, const std::wstring& valueName, const std::wstring& data);

// Writes every value (a failed one is skipped silently), then tells the shell.
void registerShellVerbs();

}  // namespace zarvik
