// The stored-path check on arbitrary names, under both rule sets. Whatever it
// accepts must be a plain relative path that cannot leave the destination;
// under the Windows rules, not a drive name either (elsewhere "C:x" is a name
// like any other).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "files/path_safety.h"
#include "platform/utf8.h"

namespace {

void requirePlainRelative(const std::string& path, bool windowsRules) {
  if (path.empty() || path.front() == '/' || path.back() == '/') std::abort();
  if (path.find('\\') != std::string::npos || path.find('\0') != std::string::npos) std::abort();
  bool letter = (path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z');
  if (windowsRules && path.size() >= 2 && letter && path[1] == ':') std::abort();  // a drive name
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string component = path.substr(start, end - start);
    if (component.empty() || component == "." || component == "..") std::abort();
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // One stored path per line, as a path table would list them.
  std::vector<std::string> paths;
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  while (start <= input.size()) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    paths.push_back(input.substr(start, end - start));
    start = end + 1;
  }
  for (bool windowsRules : {false, true}) {
    for (const std::string& path : paths) {
      if (ablative::isSafeStoredPath(path, windowsRules)) requirePlainRelative(path, windowsRules);
      (void)ablative::nameFromBytes(path);
    }
    size_t unsafe = ablative::findUnsafePath(std::vector<std::string_view>(paths.begin(), paths.end()), windowsRules);
    if (unsafe > paths.size()) std::abort();
    for (size_t i = 0; i < unsafe && i < paths.size(); ++i) requirePlainRelative(paths[i], windowsRules);
  }
  return 0;
}
