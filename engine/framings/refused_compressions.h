// Compressions this program does not decode, known by their first bytes and
// refused by name before anything is written. They are asked after the
// framings built (framing_table.h): building one takes its bytes from here
// whether or not its row here is taken out.
#pragma once

#include <span>
#include <string_view>

namespace ablative {

struct RefusedCompression {
  const wchar_t* name;  // as the refusal names it
  std::string_view magic;
};

// The compression `firstBytes` start, where no framing built takes them; else null.
const RefusedCompression* refusedCompressionFor(std::span<const uint8_t> firstBytes);

}  // namespace ablative
