// Paths as a tree of their components, so that checks over many paths, or
// one very deep path, cost memory and time in proportion to the paths'
// total length rather than to the sum of every prefix of every path.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "files/text_arena.h"

namespace ablative {

class PathTree {
 public:
  static constexpr uint32_t kRoot = 0;
  static constexpr uint32_t kNone = UINT32_MAX;

  // The node of `component` below `parent`, made when missing (`added` says so).
  uint32_t child(uint32_t parent, std::wstring_view component, bool& added);
  // The node of `component` below `parent`, or kNone.
  uint32_t find(uint32_t parent, std::wstring_view component) const;
  uint32_t size() const { return static_cast<uint32_t>(keys_.size()) + 1; }  // the root included

 private:
  static std::string keyOf(uint32_t parent, std::wstring_view component);
  std::string_view keyAt(uint32_t node) const;
  // The slot that holds the node of `key`, or the empty one where it would go.
  size_t slotOf(std::string_view key) const;
  void grow();

  // Keys in an arena, nodes by number in an open table: about 30 bytes a
  // node besides its key, where a map of strings takes 100.
  TextArena arena_;
  std::deque<ArenaText> keys_;   // of node n at n - 1: the root has none; a deque never holds two copies
  std::vector<uint32_t> slots_;  // node numbers, kNone where empty
};

// Calls `visit(node, end, added)` for each component of `path` ("/" between
// them) in turn, adding the nodes that are missing (`added` says so), where
// `end` is the offset in `path` just past the component; stops early when
// `visit` returns false. Returns the last node visited.
template <class Visit>
uint32_t walkPath(PathTree& tree, std::wstring_view path, Visit&& visit) {
  uint32_t node = PathTree::kRoot;
  for (size_t start = 0;;) {
    const size_t slash = std::min(path.find(L'/', start), path.size());
    bool added = false;
    node = tree.child(node, path.substr(start, slash - start), added);
    if (!visit(node, slash, added) || slash == path.size()) return node;
    start = slash + 1;
  }
}

}  // namespace ablative
