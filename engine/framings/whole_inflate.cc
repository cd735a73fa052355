#include "framings/whole_inflate.h"

#include <libdeflate.h>

#include <memory>

namespace ablative {

namespace {

struct FreeDecompressor {
  void operator()(libdeflate_decompressor* decompressor) const { libdeflate_free_decompressor(decompressor); }
};

}  // namespace

bool inflateWhole(std::span<const uint8_t> stored, std::span<uint8_t> out, size_t& consumed, size_t& produced) {
  // One for each call: it is a small allocation beside the data, and a
  // per-thread one would need a thread-exit destructor (zstd_block.h says
  // why that is avoided).
  const std::unique_ptr<libdeflate_decompressor, FreeDecompressor> decompressor(libdeflate_alloc_decompressor());
  // Empty spans may have no address; libdeflate is handed one either way.
  uint8_t none = 0;
  return decompressor &&
         libdeflate_deflate_decompress_ex(decompressor.get(), stored.empty() ? &none : stored.data(), stored.size(),
                                          out.empty() ? &none : out.data(), out.size(), &consumed,
                                          &produced) == LIBDEFLATE_SUCCESS;
}

}  // namespace ablative
