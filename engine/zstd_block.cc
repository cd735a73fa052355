#include "zstd_block.h"

#include <zstd.h>

#include <memory>

namespace ablative {
namespace {

struct ContextFree {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

ZSTD_CCtx* threadEncoder() {
  thread_local std::unique_ptr<ZSTD_CCtx, ContextFree> context(ZSTD_createCCtx());
  return context.get();
}

// Decoding in one call writes the frame straight into the caller's buffer,
// which serves as its window: the context allocates nothing for a frame,
// whatever window it declares (the library's window limit only bounds its
// streaming buffers, which this code never uses).
ZSTD_DCtx* threadDecoder() {
  thread_local std::unique_ptr<ZSTD_DCtx, ContextFree> context(ZSTD_createDCtx());
  return context.get();
}

// Every parameter set afresh, so nothing carries over from the previous block.
bool setFrameParameters(ZSTD_CCtx* context, int level) {
  return !ZSTD_isError(ZSTD_CCtx_reset(context, ZSTD_reset_session_and_parameters)) &&
         !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level)) &&
         !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 1)) &&
         !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 0)) &&
         !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_dictIDFlag, 0));
}

// A skippable frame also has a content size (zero) and a frame length.
bool startsAsDataFrame(const uint8_t* stored, size_t storedSize) {
  if (storedSize < 4) return false;
  const uint32_t magic = stored[0] | stored[1] << 8 | stored[2] << 16 | static_cast<uint32_t>(stored[3]) << 24;
  return magic == ZSTD_MAGICNUMBER;
}

}  // namespace

bool zstdEncodeIfSmaller(const uint8_t* raw, size_t size, int level, std::vector<uint8_t>& out) {
  ZSTD_CCtx* context = threadEncoder();
  if (context == nullptr || !setFrameParameters(context, level)) return false;
  // Room for the worst case, so the frame never depends on the room given.
  out.resize(ZSTD_compressBound(size));
  const size_t frameSize = ZSTD_compress2(context, out.data(), out.size(), raw, size);
  if (ZSTD_isError(frameSize) || frameSize >= size) return false;
  out.resize(frameSize);
  return true;
}

bool zstdDecodeInto(const uint8_t* stored, size_t storedSize, uint8_t* out, size_t rawSize) {
  if (!startsAsDataFrame(stored, storedSize)) return false;
  const unsigned long long claimed = ZSTD_getFrameContentSize(stored, storedSize);
  if (claimed == ZSTD_CONTENTSIZE_UNKNOWN || claimed == ZSTD_CONTENTSIZE_ERROR || claimed != rawSize) return false;
  const size_t frameSize = ZSTD_findFrameCompressedSize(stored, storedSize);
  if (ZSTD_isError(frameSize) || frameSize != storedSize) return false;
  ZSTD_DCtx* context = threadDecoder();
  if (context == nullptr || ZSTD_isError(ZSTD_DCtx_reset(context, ZSTD_reset_session_only))) return false;
  const size_t decoded = ZSTD_decompressDCtx(context, out, rawSize, stored, storedSize);
  return !ZSTD_isError(decoded) && decoded == rawSize;
}

}  // namespace ablative
