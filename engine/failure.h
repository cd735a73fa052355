// How a step reports that it failed: its one fixed message in the caller's
// `errorText`, and false, so that `return fail(errorText, message);` both
// says why and ends the step.
#pragma once

#include <string>
#include <utility>

namespace ablative {

inline bool fail(std::wstring& errorText, std::wstring message) {
  errorText = std::move(message);
  return false;
}

}  // namespace ablative
