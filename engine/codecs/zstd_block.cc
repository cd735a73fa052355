#include "codecs/zstd_block.h"

#include <zstd.h>

#include <memory>

#include "codecs/coding.h"

namespace ablative {
namespace {

struct ContextFree {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

using Encoder = std::unique_ptr<ZSTD_CCtx, ContextFree>;
using Decoder = std::unique_ptr<ZSTD_DCtx, ContextFree>;

// The smallest window that holds `size` bytes: at least the library's least
// (1 KiB), at most what a decoder takes without being told (128 MiB).
int windowLogFor(size_t size) {
  int log = 10;
  while (log < 27 && (size_t{1} << log) < size) ++log;
  return log;
}

bool setFrameParameters(ZSTD_CCtx* context, int level, ZstdWindow window, size_t size) {
  if (window == ZstdWindow::WholeInput &&
      ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, windowLogFor(size)))) {
    return false;
  }
  return !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level)) &&
         !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 1)) &&
         !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 0)) &&
         !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_dictIDFlag, 0));
}

bool encode(const uint8_t* raw, size_t size, int level, ZstdWindow window, uint8_t* out, size_t& frameSize) {
  const Encoder context(ZSTD_createCCtx());
  if (context == nullptr || !setFrameParameters(context.get(), level, window, size)) return false;
  // Room for the worst case, so the frame never depends on the room given.
  frameSize = ZSTD_compress2(context.get(), out, zstdRoom(size), raw, size);
  return !ZSTD_isError(frameSize);
}

// A skippable frame also has a content size (zero) and a frame length.
bool startsAsDataFrame(const uint8_t* stored, size_t storedSize) {
  if (storedSize < 4) return false;
  return get32(stored) == ZSTD_MAGICNUMBER;
}

}  // namespace

size_t zstdRoom(size_t size) { return ZSTD_compressBound(size); }

bool zstdEncodeIfSmaller(const uint8_t* raw, size_t size, int level, ZstdWindow window, uint8_t* out,
                         size_t& frameSize) {
  return encode(raw, size, level, window, out, frameSize) && frameSize < size;
}

bool zstdEncodeIfSmaller(const uint8_t* raw, size_t size, int level, std::vector<uint8_t>& out) {
  out.resize(zstdRoom(size));
  size_t frameSize = 0;
  const bool smaller = zstdEncodeIfSmaller(raw, size, level, ZstdWindow::OfLevel, out.data(), frameSize);
  if (smaller) out.resize(frameSize);
  return smaller;
}

bool zstdEncodeWhole(const uint8_t* raw, size_t size, int level, std::vector<uint8_t>& out) {
  out.resize(zstdRoom(size));
  size_t frameSize = 0;
  if (!encode(raw, size, level, ZstdWindow::WholeInput, out.data(), frameSize)) return false;
  out.resize(frameSize);
  return true;
}

bool zstdFrameStates(const uint8_t* stored, size_t storedSize, size_t rawSize) {
  if (!startsAsDataFrame(stored, storedSize)) return false;
  const unsigned long long claimed = ZSTD_getFrameContentSize(stored, storedSize);
  if (claimed == ZSTD_CONTENTSIZE_UNKNOWN || claimed == ZSTD_CONTENTSIZE_ERROR || claimed != rawSize) return false;
  const size_t frameSize = ZSTD_findFrameCompressedSize(stored, storedSize);
  return !ZSTD_isError(frameSize) && frameSize == storedSize;
}

// Decoding in one call writes the frame straight into the caller's buffer,
// which serves as its window: the context allocates nothing for a frame,
// whatever window it declares (the library's window limit only bounds its
// streaming buffers, which this code never uses).
bool zstdDecodeInto(const uint8_t* stored, size_t storedSize, uint8_t* out, size_t rawSize) {
  if (!zstdFrameStates(stored, storedSize, rawSize)) return false;
  const Decoder context(ZSTD_createDCtx());
  if (context == nullptr) return false;
  const size_t decoded = ZSTD_decompressDCtx(context.get(), out, rawSize, stored, storedSize);
  return !ZSTD_isError(decoded) && decoded == rawSize;
}

}  // namespace ablative
