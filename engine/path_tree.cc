#include "path_tree.h"

namespace ablative {

// The parent's number as two 16-bit units, which every wchar_t holds.
// The parent's four bytes, then each character as a little-endian base-128
// number, which no other sequence of characters spells: a quarter of a wide
// string's bytes where names are ASCII, which for 300,000 names is megabytes.
std::string PathTree::keyOf(uint32_t parent, std::wstring_view component) {
  std::string key;
  key.reserve(4 + component.size());
  for (int shift = 0; shift < 32; shift += 8) key += static_cast<char>((parent >> shift) & 0xFF);
  for (const wchar_t c : component) {
    auto value = static_cast<uint32_t>(c);
    for (; value >= 0x80; value >>= 7) key += static_cast<char>(0x80 | (value & 0x7F));
    key += static_cast<char>(value);
  }
  return key;
}

uint32_t PathTree::child(uint32_t parent, std::wstring_view component, bool& added) {
  const auto [at, inserted] = children_.try_emplace(keyOf(parent, component), nodes_);
  added = inserted;
  if (inserted) ++nodes_;
  return at->second;
}

uint32_t PathTree::find(uint32_t parent, std::wstring_view component) const {
  const auto at = children_.find(keyOf(parent, component));
  return at == children_.end() ? kNone : at->second;
}

}  // namespace ablative
