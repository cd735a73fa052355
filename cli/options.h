// The command line of zarvik: which command, its operands and its options.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ablative.h"

namespace zarvik {

struct Command {
  std::wstring name;  // create, list, test, extract, info, help, version
  std::vector<std::wstring> operands;
  ablative::CreateOptions create;
  ablative::ExtractOptions extract;
  std::vector<std::wstring> extractOptions;  // as given, for the command that resumes a run
  bool json = false;
  bool quiet = false;
};

// Reads the arguments after the program's name. A usage error gives nothing
// and says what is wrong in `problem`.
std::optional<Command> parseCommand(const std::vector<std::wstring>& args, std::wstring& problem);

// "4096", "64K", "4M", "1G": a byte count from 1 to `largest`.
// (parseCount: digits alone.)
std::optional<uint64_t> parseCount(const std::wstring& text, uint64_t largest);
std::optional<uint64_t> parseSize(const std::wstring& text, uint64_t largest);

}  // namespace zarvik
