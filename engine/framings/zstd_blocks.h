// A Zstandard frame's blocks decoded one at a time with the library's block
// functions, where the decoder's state between two blocks can be saved as
// bytes and decoding started again from them: the entropy tables and repeat
// offsets in force, beside the window of decoded bytes later blocks may copy
// from. This is what lets a frame of any length be cut into pieces that
// decode on their own.
//
// The tables are read from and written into the library's decoding context,
// whose leading fields this code mirrors; the library's release is pinned
// (cmake/zstd.cmake), and start() checks the mirror against the context it
// made before anything relies on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace ablative {

// No block decodes to more.
inline constexpr size_t kZstdBlockMax = 128 << 10;

enum class ZstdBlockType : uint8_t { Raw = 0, Rle = 1, Compressed = 2, Reserved = 3 };

// A block's 3-byte header.
struct ZstdBlockHeader {
  bool last = false;
  ZstdBlockType type = ZstdBlockType::Raw;
  uint32_t size = 0;  // its content's bytes (Rle: the count of its one byte)
  uint32_t contentBytes() const { return type == ZstdBlockType::Rle ? 1 : size; }
};
ZstdBlockHeader readBlockHeader(const uint8_t* bytes);

class ZstdBlocks {
 public:
  ZstdBlocks();
  ~ZstdBlocks();
  ZstdBlocks(const ZstdBlocks&) = delete;
  ZstdBlocks& operator=(const ZstdBlocks&) = delete;

  // A frame's first block comes next. False where the library's context
  // cannot be made or is not laid out as this code reads it.
  bool start();
  // Where the `length` bytes decoded before a point (as far back as the
  // window reaches) go before resume(): they stay there as the window.
  std::span<uint8_t> historyRoom(size_t length);
  // The block after the point whose tables saveTables gave comes next, with
  // the bytes put in historyRoom to copy from. False where the tables do not
  // read back whole.
  bool resume(std::span<const uint8_t> tables);
  // Starts again behind the bytes decoded so far, as resuming from a point
  // here would: the window becomes the last `window` of them (those in
  // history() and then `recent`, all decoded since start or resume), and the
  // tables in force are saved into `tables`.
  bool restartBehind(std::span<const uint8_t> recent, size_t window, std::vector<uint8_t>& tables);
  std::span<const uint8_t> history() const;
  // The tables and repeat offsets in force, appended to `out`.
  bool saveTables(std::vector<uint8_t>& out) const;

  // Decodes a block's `content` to `out`, which directly follows the bytes
  // the last block decoded to, or is the first place written since start or
  // resume (whose bytes then stay untouched until the next resume): the
  // count decoded, or SIZE_MAX where the block is damaged or decodes to more
  // than `room`.
  size_t decode(const ZstdBlockHeader& header, const uint8_t* content, uint8_t* out, size_t room);

 private:
  struct Context;
  std::unique_ptr<Context> context_;
  std::vector<uint8_t> dictionary_;  // the window resumed from, behind fixed tables: the library reads it in place
};

}  // namespace ablative
