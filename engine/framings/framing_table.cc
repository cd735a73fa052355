#include "framings/framing_table.h"

#include "framings/bzip2_framing.h"
#include "framings/gzip_framing.h"
#include "framings/xz_framing.h"
#include "framings/zstd_framing.h"

namespace ablative {

namespace {

const Framing& (*const kFramings[])() = {gzipFraming, zstdFraming, xzFraming, bzip2Framing};

}  // namespace

const Framing* framingFor(std::span<const uint8_t> firstBytes) {
  for (const auto framing : kFramings) {
    if (framing().recognises(firstBytes)) return &framing();
  }
  return nullptr;
}

}  // namespace ablative
