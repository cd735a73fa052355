#include "framings/refused_compressions.h"

#include "framings/framing_table.h"

namespace ablative {

namespace {

constexpr RefusedCompression kRefused[] = {
    {L"lzip", "LZIP"},
    {L"compress", "\x1f\x9d"},
};

}  // namespace

const RefusedCompression* refusedCompressionFor(std::span<const uint8_t> firstBytes) {
  if (framingFor(firstBytes) != nullptr) return nullptr;
  const std::string_view first(reinterpret_cast<const char*>(firstBytes.data()), firstBytes.size());
  for (const RefusedCompression& compression : kRefused) {
    if (first.starts_with(compression.magic)) return &compression;
  }
  return nullptr;
}

}  // namespace ablative
