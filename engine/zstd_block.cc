#include "zstd_block.h"

#include <zstd.h>

namespace ablative {

bool zstdEncodeIfSmaller(const uint8_t* raw, size_t size, int level, uint8_t* out, size_t& codedLength) {
  thread_local ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_reset(context, ZSTD_reset_session_and_parameters);
  ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level);
  ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 1);
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 0);
  ZSTD_CCtx_setParameter(context, ZSTD_c_dictIDFlag, 0);
  if (size < 2) return false;
  const size_t n = ZSTD_compress2(context, out, size - 1, raw, size);
  if (ZSTD_isError(n)) return false;
  codedLength = n;
  return true;
}

bool zstdDecodeInto(const uint8_t* stored, size_t storedSize, uint8_t* out, size_t rawSize) {
  if (ZSTD_getFrameContentSize(stored, storedSize) != rawSize) return false;
  if (ZSTD_findFrameCompressedSize(stored, storedSize) != storedSize) return false;
  thread_local ZSTD_DCtx* context = ZSTD_createDCtx();
  const size_t n = ZSTD_decompressDCtx(context, out, rawSize, stored, storedSize);
  return !ZSTD_isError(n) && n == rawSize;
}

}  // namespace ablative
