// JSON text for `--json`: one object a line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zarvik {

// A JSON string literal, quotes included: control characters escaped, and
// an unpaired surrogate (a byte of a name that is not UTF-8, as
// nameFromBytes keeps it) as its \uNNNN escape, so that nothing is lost.
std::string jsonString(const std::wstring& text);

// Builds one object, member by member, in the order given.
class JsonObject {
 public:
  JsonObject& add(const char* name, const std::wstring& text);
  JsonObject& add(const char* name, const char* text);
  JsonObject& add(const char* name, uint64_t number);
  JsonObject& add(const char* name, bool value);
  JsonObject& add(const char* name, const std::vector<std::wstring>& texts);
  std::string line() const { return "{" + members_ + "}\n"; }

 private:
  void name(const char* member);
  std::string members_;
};

}  // namespace zarvik
