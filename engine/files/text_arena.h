// Many short texts kept in chunks that never move, each named by a small
// record: a string per text costs its own allocation (32 bytes and the
// allocator's share), and one growing string would briefly hold its bytes
// three times over.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace ablative {

struct ArenaText {
  uint32_t chunk = 0, offset = 0, length = 0;
};

class TextArena {
 public:
  // `text` and `then` as one text.
  ArenaText keep(std::string_view text, std::string_view then = {}) {
    const size_t length = text.size() + then.size();
    if (chunks_.empty() || chunks_.back().capacity() - chunks_.back().size() < length) {
      chunks_.emplace_back().reserve(std::max(kChunkBytes, length));
    }
    std::string& chunk = chunks_.back();
    const ArenaText kept{static_cast<uint32_t>(chunks_.size() - 1), static_cast<uint32_t>(chunk.size()),
                         static_cast<uint32_t>(length)};
    chunk.append(text).append(then);
    return kept;
  }
  std::string_view view(ArenaText text) const {
    return text.length == 0 ? std::string_view()
                            : std::string_view(chunks_[text.chunk]).substr(text.offset, text.length);
  }
  void clear() { chunks_ = {}; }

 private:
  static constexpr size_t kChunkBytes = 1 << 20;
  std::deque<std::string> chunks_;
};

}  // namespace ablative
