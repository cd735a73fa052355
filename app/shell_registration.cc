#include "shell_registration.h"

#include <shlobj.h>

#include <span>

#include "path_rules.h"

namespace zarvik {

namespace {

struct Verb {
  const wchar_t* name;
  const wchar_t* label;
  const wchar_t* option;
};

const Verb kAddVerbs[] = {{L"add", L"Add to archive", L"--context-archive"}};
// The "Extract to" label is stored as written, "%1" included.
const Verb kExtractVerbs[] = {{L"extract_here", L"Extract Here", L"--context-extract-here"},
                              {L"extract_to", L"Extract to \"%1\\\"", L"--context-extract-to"}};

struct MenuOwner {
  std::wstring classKey;  // under Software\Classes
  std::span<const Verb> verbs;
};

// Files and folders are added to an archive; a file of any archive's
// extension is extracted.
std::vector<MenuOwner> menuOwners() {
  std::vector<MenuOwner> owners{{L"*", kAddVerbs}, {L"Directory", kAddVerbs}};
  for (const std::wstring& extension : archiveExtensions()) {
    owners.push_back({L"SystemFileAssociations\\" + extension, kExtractVerbs});
  }
  return owners;
}

// A path longer than any the system allows: give up rather than loop.
constexpr size_t kMaxPathCapacity = 65536;

}  // namespace

std::vector<RegistryValue> shellVerbValues(const std::wstring& programPath) {
  const std::wstring quotedProgram = L"\"" + programPath + L"\"";
  std::vector<RegistryValue> values;
  for (const MenuOwner& owner : menuOwners()) {
    const std::wstring menuKey = std::wstring(L"Software\\Classes\\") + owner.classKey + L"\\shell\\ZarvikArchiver";
    values.push_back({menuKey, L"MUIVerb", L"Zarvik Archiver"});
    values.push_back({menuKey, L"Icon", quotedProgram + L",0"});
    values.push_back({menuKey, L"SubCommands", L""});
    for (const Verb& verb : owner.verbs) {
      const std::wstring verbKey = menuKey + L"\\shell\\" + verb.name;
      values.push_back({verbKey, L"MUIVerb", verb.label});
      values.push_back({verbKey + L"\\command", L"", quotedProgram + L" " + verb.option + L" \"%1\""});
    }
  }
  return values;
}

std::wstring moduleFilePath(HMODULE module, size_t initialCapacity) {
  for (size_t capacity = initialCapacity; capacity <= kMaxPathCapacity; capacity *= 2) {
    std::wstring path(capacity, L'\0');
    DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(capacity));
    if (length == 0) return {};
    if (length < capacity) {  // a full buffer means the path was cut short
      path.resize(length);
      return path;
    }
  }
  return {};
}

bool setRegistryString(const std::wstring& keyPath, const std::wstring& valueName, const std::wstring& data) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                      &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  auto bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t) + sizeof(wchar_t));  // with the terminating zero
  LSTATUS status =
      RegSetValueExW(key, valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()), bytes);
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

void registerShellVerbs() {
  std::wstring programPath = moduleFilePath(nullptr);
  if (programPath.empty()) return;
  for (const RegistryValue& value : shellVerbValues(programPath)) setRegistryString(value.key, value.name, value.data);
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
}

}  // namespace zarvik
