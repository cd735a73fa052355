// The framings built, in the order their first bytes are asked; and the
// compressions not built yet, refused by name (refused_compressions.h), which
// are asked only after every framing here: a framing built is one more row.
#pragma once

#include <span>

#include "framings/framing.h"

namespace ablative {

// The framing whose stream `firstBytes` start, or null.
const Framing* framingFor(std::span<const uint8_t> firstBytes);

}  // namespace ablative
