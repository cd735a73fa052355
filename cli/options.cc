#include "options.h"

#include <algorithm>
#include <cstdint>
#include <map>

namespace zarvik {

namespace {

constexpr uint64_t kLargestBatch = uint64_t{1} << 50;  // 1 PiB: anything larger is no bound at all

// What each command accepts: its operands, at least and at most, and its options.
struct Grammar {
  size_t fewest, most;
  std::vector<std::wstring> flags;  // options without a value
  std::vector<std::wstring> sized;  // options with a SIZE
};

const std::map<std::wstring, Grammar>& grammars() {
  static const std::map<std::wstring, Grammar> kGrammars = {
      {L"create", {2, 2, {L"--json", L"-q", L"--quiet"}, {L"--block-size", L"--threads", L"--volume-size"}}},
      {L"list", {1, 1, {L"--json"}, {}}},
      {L"test", {1, 1, {L"--json"}, {}}},
      {L"extract",
       {2,
        SIZE_MAX,
        {L"--keep", L"--resume", L"--salvage", L"--no-space-check", L"--overwrite", L"--json", L"-q", L"--quiet"},
        {L"--batch"}}},
      {L"info", {1, SIZE_MAX, {L"--json"}, {L"--batch"}}},
  };
  return kGrammars;
}

const std::wstring kOperandNames[] = {L"", L"ARCHIVE", L"SOURCE and ARCHIVE"};

void setFlag(Command& command, const std::wstring& flag) {
  ablative::ExtractOptions& extract = command.extract;
  if (flag == L"--json") command.json = true;
  if (flag == L"-q" || flag == L"--quiet") command.quiet = true;
  if (flag == L"--keep") extract.keepOriginal = true;
  if (flag == L"--resume") extract.resume = true;
  if (flag == L"--salvage") extract.salvage = true;
  if (flag == L"--no-space-check") extract.checkSpace = false;
  if (flag == L"--overwrite") extract.overwrite = true;
  if (flag == L"--salvage" || flag == L"--no-space-check" || flag == L"--overwrite")
    command.extractOptions.push_back(flag);
}

constexpr uint64_t kMostThreads = 1024;
// Smaller volumes would make a set of thousands of files of any sizeable archive.
constexpr uint64_t kSmallestVolume = 64 << 10;

// --zstd or --zstd=LEVEL.
bool setZstd(Command& command, const std::wstring& arg, std::wstring& problem) {
  const size_t equals = arg.find(L'=');
  const std::wstring value = equals == std::wstring::npos ? L"" : arg.substr(equals + 1);
  const std::optional<uint64_t> level = value.empty() ? std::optional<uint64_t>(ablative::kDefaultZstdLevel)
                                                      : parseCount(value, ablative::kLargestZstdLevel);
  if (!level || (equals != std::wstring::npos && value.empty())) {
    problem = L"invalid compression level: " + value + L" (1 to " + std::to_wstring(ablative::kLargestZstdLevel) + L")";
    return false;
  }
  command.create.zstdLevel = static_cast<int>(*level);
  return true;
}

bool setSize(Command& command, const std::wstring& option, const std::wstring& value, std::wstring& problem) {
  if (option == L"--threads") {
    const std::optional<uint64_t> threads = parseCount(value, kMostThreads);
    if (!threads) problem = L"invalid thread count: " + value;
    if (threads) command.create.threads = static_cast<unsigned>(*threads);
    return threads.has_value();
  }
  if (option == L"--volume-size") {
    const std::optional<uint64_t> size = parseSize(value, kLargestBatch);
    const bool valid = size && *size >= kSmallestVolume;
    if (!valid) problem = L"invalid volume size: " + value + L" (64K at least)";
    if (valid) command.create.volumeBytes = *size;
    return valid;
  }
  const bool block = option == L"--block-size";
  const std::optional<uint64_t> size = parseSize(value, block ? UINT32_MAX : kLargestBatch);
  if (!size) {
    problem = (block ? L"invalid block size: " : L"invalid batch size: ") + value;
    return false;
  }
  if (block) command.create.blockSize = static_cast<uint32_t>(*size);
  if (!block) command.extract.groupBytes = *size;
  if (!block) command.extractOptions.insert(command.extractOptions.end(), {option, value});
  return true;
}

bool contains(const std::vector<std::wstring>& list, const std::wstring& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

}  // namespace

std::optional<uint64_t> parseCount(const std::wstring& text, uint64_t largest) {
  const bool digits =
      !text.empty() && std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
  return digits ? parseSize(text, largest) : std::nullopt;
}

std::optional<uint64_t> parseSize(const std::wstring& text, uint64_t largest) {
  uint64_t value = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - L'0');
    if (value > largest) return std::nullopt;
  }
  if (i == 0) return std::nullopt;
  if (i + 1 == text.size()) {
    const wchar_t suffix = text[i];
    const int shift = suffix == L'K' || suffix == L'k'   ? 10
                      : suffix == L'M' || suffix == L'm' ? 20
                      : suffix == L'G' || suffix == L'g' ? 30
                                                         : -1;
    if (shift < 0 || value > (largest >> shift)) return std::nullopt;
    value <<= shift;
  } else if (i != text.size()) {
    return std::nullopt;
  }
  if (value == 0) return std::nullopt;
  return value;
}

std::optional<Command> parseCommand(const std::vector<std::wstring>& args, std::wstring& problem) {
  Command command;
  command.extract.checkSpace = true;
  if (args.empty()) return problem = L"missing command", std::nullopt;
  command.name = args[0];
  if (command.name == L"--help" || command.name == L"-h" || command.name == L"help") command.name = L"help";
  if (command.name == L"--version") command.name = L"version";
  if (command.name == L"help" || command.name == L"version") {
    if (args.size() > 1) return problem = L"unexpected argument: " + args[1], std::nullopt;
    return command;
  }
  const auto grammar = grammars().find(command.name);
  if (grammar == grammars().end()) return problem = L"unknown command: " + command.name, std::nullopt;
  const Grammar& accepts = grammar->second;
  bool options = true;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::wstring& arg = args[i];
    const size_t equals = arg.find(L'=');
    const std::wstring name = arg.substr(0, equals);
    if (!options || arg.size() < 2 || arg[0] != L'-') {
      command.operands.push_back(arg);
    } else if (arg == L"--") {
      options = false;
    } else if (name == L"--zstd" && command.name == L"create") {
      if (!setZstd(command, arg, problem)) return std::nullopt;
    } else if (contains(accepts.sized, name)) {
      if (equals == std::wstring::npos && i + 1 == args.size()) {
        return problem = name + (name == L"--threads" ? L" needs a COUNT" : L" needs a SIZE"), std::nullopt;
      }
      if (!setSize(command, name, equals == std::wstring::npos ? args[++i] : arg.substr(equals + 1), problem)) {
        return std::nullopt;
      }
    } else if (contains(accepts.flags, arg)) {
      setFlag(command, arg);
    } else {
      return problem = L"unknown option for " + command.name + L": " + arg, std::nullopt;
    }
  }
  if (command.operands.size() < accepts.fewest || command.operands.size() > accepts.most) {
    problem = command.name + L" needs " +
              (command.name == L"info"      ? L"ARCHIVE and perhaps DESTINATION"
               : command.name == L"extract" ? L"ARCHIVE and DESTINATION"
                                            : kOperandNames[accepts.most]);
    return std::nullopt;
  }
  // A --keep run leaves no journal: there is nothing for it to resume.
  if (command.extract.keepOriginal && command.extract.resume) {
    return problem = L"--keep and --resume exclude each other", std::nullopt;
  }
  return command;
}

}  // namespace zarvik
