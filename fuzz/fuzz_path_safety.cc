// The stored-path check on arbitrary names: what it accepts is a plain relative path, and under the Windows rules
// no drive name (elsewhere "C:x" is a name like any other).
#include <string_view>

#include "files/path_safety.h"
#include "fuzz_util.h"
#include "platform/utf8.h"

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  for (size_t start = 0, end; start <= text.size(); start = end + 1) {
    end = std::min(text.find(separator, start), text.size());
    parts.push_back(text.substr(start, end - start));
  }
  return parts;
}

void requirePlainRelative(const std::string& path, bool windowsRules) {
  using fuzz::require;
  require(!path.empty() && path.find_first_of(std::string("\\\0", 2)) == std::string::npos);
  const bool letter = (path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z');
  require(!(windowsRules && path.size() >= 2 && letter && path[1] == ':'));  // a drive name
  for (const std::string& component : split(path, '/'))
    require(!component.empty() && component != "." && component != "..");
}

}  // namespace

void fuzz::one(Input input) {
  // One stored path per line, as a path table would list them.
  const std::vector<std::string> paths =
      split(std::string(reinterpret_cast<const char*>(input.data), input.size), '\n');
  for (bool windowsRules : {false, true}) {
    for (const std::string& path : paths) {
      if (ablative::isSafeStoredPath(path, windowsRules)) requirePlainRelative(path, windowsRules);
      (void)ablative::nameFromBytes(path);
    }
    size_t unsafe = ablative::findUnsafePath(std::vector<std::string_view>(paths.begin(), paths.end()), windowsRules);
    require(unsafe <= paths.size());
    for (size_t i = 0; i < unsafe; ++i) requirePlainRelative(paths[i], windowsRules);
  }
}
