#include "path_tree.h"

namespace ablative {

// The parent's number as two 16-bit units, which every wchar_t holds.
std::wstring PathTree::keyOf(uint32_t parent, std::wstring_view component) {
  std::wstring key;
  key.reserve(2 + component.size());
  key += static_cast<wchar_t>(parent & 0xFFFF);
  key += static_cast<wchar_t>(parent >> 16);
  key += component;
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
