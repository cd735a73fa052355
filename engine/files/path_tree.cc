#include "files/path_tree.h"

#include <functional>

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

std::string_view PathTree::keyAt(uint32_t node) const { return arena_.view(keys_[node - 1]); }

size_t PathTree::slotOf(std::string_view key) const {
  const size_t mask = slots_.size() - 1;
  size_t slot = std::hash<std::string_view>{}(key) & mask;
  while (slots_[slot] != kNone && keyAt(slots_[slot]) != key) slot = (slot + 1) & mask;
  return slot;
}

// Keeps the table at most three quarters full, so that a probe ends soon.
void PathTree::grow() {
  const std::vector<uint32_t> old = std::move(slots_);
  slots_.assign(std::max<size_t>(16, old.size() * 2), kNone);
  for (const uint32_t node : old) {
    if (node != kNone) slots_[slotOf(keyAt(node))] = node;
  }
}

uint32_t PathTree::child(uint32_t parent, std::wstring_view component, bool& added) {
  if (4 * (keys_.size() + 1) > 3 * slots_.size()) grow();
  const std::string key = keyOf(parent, component);
  const size_t slot = slotOf(key);
  added = slots_[slot] == kNone;
  if (!added) return slots_[slot];
  keys_.push_back(arena_.keep(key));
  return slots_[slot] = size() - 1;
}

uint32_t PathTree::find(uint32_t parent, std::wstring_view component) const {
  return slots_.empty() ? kNone : slots_[slotOf(keyOf(parent, component))];
}

}  // namespace ablative
