// zarvik: the command-line tool over the archive engine. It owns argument
// parsing, the progress line and exit codes: 0 success, 1 failure, 2 usage.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ablative.h"
#include "console.h"
#include "env.h"
#include "format.h"
#include "progress.h"

namespace zarvik {

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr uint32_t kDefaultBlockSize = 4u << 20;
constexpr uint64_t kLargestBatch = uint64_t{1} << 50;  // 1 PiB: anything larger is no bound at all

const wchar_t kUsage[] =
    L"Usage:\n"
    L"  zarvik create [--block-size SIZE] SOURCE ARCHIVE\n"
    L"  zarvik list ARCHIVE\n"
    L"  zarvik test ARCHIVE\n"
    L"  zarvik extract [--keep] [--resume] [--salvage] [--batch SIZE] ARCHIVE DESTINATION\n"
    L"  zarvik --help | --version\n"
    L"\n"
    L"Commands:\n"
    L"  create  pack the file or folder SOURCE into ARCHIVE (.zvka)\n"
    L"  list    print each file of ARCHIVE: its size in bytes, a tab, its path\n"
    L"  test    read, decode and check every block of ARCHIVE, writing nothing\n"
    L"  extract restore ARCHIVE into the folder DESTINATION, consuming the archive\n"
    L"          as it goes (its space is freed block by block); --keep leaves the\n"
    L"          archive untouched, --resume continues an interrupted extraction\n"
    L"          (ARCHIVE may also be its resume file, ARCHIVE.zvkj); --salvage\n"
    L"          extracts every intact block when some are damaged, names each\n"
    L"          damaged file and keeps the archive; --batch SIZE releases the\n"
    L"          archive in groups of at most SIZE stored bytes (default 64M, and\n"
    L"          at most a quarter of the space free beside the archive): beyond\n"
    L"          the extracted tree, a run needs about SIZE plus the archive's\n"
    L"          tables on disk; a SIZE below one block releases block by block\n"
    L"\n"
    L"SIZE is in bytes with an optional K or M suffix (powers of 1024); a block\n"
    L"size is at most 4294967295 bytes, and 4M unless given.\n";

int usageError(const std::wstring& problem) {
  write(Stream::Err, L"zarvik: " + problem + L"\n" + kUsage);
  return kExitUsage;
}

int failure(const std::wstring& prefix, const std::wstring& message) {
  write(Stream::Err, prefix + message + L"\n");
  return kExitFailure;
}

// "4096", "64K", "4M": a byte count from 1 to `largest`.
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
    const int shift = suffix == L'K' || suffix == L'k' ? 10 : suffix == L'M' || suffix == L'm' ? 20 : -1;
    if (shift < 0 || value > (largest >> shift)) return std::nullopt;
    value <<= shift;
  } else if (i != text.size()) {
    return std::nullopt;
  }
  if (value == 0) return std::nullopt;
  return value;
}

void logLine(ProgressLine& progress, const std::wstring& line) {
  progress.clear();
  write(Stream::Out, line + L"\n");
}

int runCreate(const std::vector<std::wstring>& args) {
  uint32_t blockSize = kDefaultBlockSize;
  std::vector<std::wstring> paths;
  for (size_t i = 0; i < args.size(); ++i) {
    std::wstring value;
    if (args[i] == L"--block-size" && i + 1 < args.size()) {
      value = args[++i];
    } else if (args[i].rfind(L"--block-size=", 0) == 0) {
      value = args[i].substr(13);
    } else if (args[i].size() > 1 && args[i][0] == L'-' && args[i] != L"--") {
      return usageError(L"unknown option for create: " + args[i]);
    } else {
      if (args[i] == L"--") {
        paths.insert(paths.end(), args.begin() + static_cast<ptrdiff_t>(i) + 1, args.end());
        break;
      }
      paths.push_back(args[i]);
      continue;
    }
    std::optional<uint64_t> parsed = parseSize(value, UINT32_MAX);
    if (!parsed) return usageError(L"invalid block size: " + value);
    blockSize = static_cast<uint32_t>(*parsed);
  }
  if (paths.size() != 2) return usageError(L"create needs SOURCE and ARCHIVE");

  ProgressLine progress(false, blockSize);
  std::wstring errorText;
  bool ok = ablative::createArchive(
      paths[0], paths[1], blockSize, errorText, [&](const ablative::ProgressInfo& info) { progress.update(info); },
      [&](const std::wstring& line) { logLine(progress, line); }, {});
  progress.clear();
  return ok ? 0 : failure(L"Create failed: ", errorText);
}

int runList(const std::wstring& archivePath) {
  ablative::ArchiveTables tables;
  std::wstring errorText;
  if (!ablative::readArchiveTables(archivePath, tables, errorText)) return failure(L"List failed: ", errorText);
  std::wstring listing;
  for (size_t i = 0; i < tables.files.size(); ++i) {
    if (!ablative::checkFileRecord(tables, i, errorText)) return failure(L"List failed: ", errorText);
    std::string path = ablative::storedPath(tables, i);
    std::wstring name = ablative::fromUtf8(path);
    if (name.empty() && !path.empty()) name = L"(name is not valid UTF-8)";
    listing += std::to_wstring(tables.files[i].size) + L"\t" + name + L"\n";
    if (listing.size() > (1u << 16)) {
      write(Stream::Out, listing);
      listing.clear();
    }
  }
  write(Stream::Out, listing);
  return 0;
}

// The archive's header, for the progress line's byte rate; the tables read
// with it are let go at once, as the engine reads its own.
ablative::ArchiveHeader headerOf(const std::wstring& archivePath) {
  ablative::ArchiveTables tables;
  std::wstring ignored;
  if (!ablative::readArchiveTables(archivePath, tables, ignored)) return {};
  return tables.header;
}

double bytesPerBlock(const ablative::ArchiveHeader& header) {
  if (header.blockCount == 0) return 0;
  return static_cast<double>(header.sourceBytes) / static_cast<double>(header.blockCount);
}

int runTest(const std::wstring& archivePath) {
  const ablative::ArchiveHeader header = headerOf(archivePath);
  std::wstring errorText;
  ProgressLine progress(false, bytesPerBlock(header));
  bool ok = ablative::verifyArchive(archivePath, errorText,
                                    [&](const ablative::ProgressInfo& info) { progress.update(info); });
  progress.clear();
  if (!ok) return failure(L"Test failed: ", errorText);
  write(Stream::Out, L"OK: " + std::to_wstring(header.fileCount) + L" files, " + std::to_wstring(header.blockCount) +
                         L" blocks verified\n");
  return 0;
}

// A path as a shell command line needs it.
std::wstring quotedForShell(const std::wstring& path) {
  bool plain = !path.empty() && path.find_first_of(L" \t\n'\"\\$`!*?[](){}<>|&;#~") == std::wstring::npos;
  if (plain) return path;
#ifdef _WIN32
  return L"\"" + path + L"\"";
#else
  std::wstring quoted = L"'";
  for (wchar_t ch : path) quoted += ch == L'\'' ? std::wstring(L"'\\''") : std::wstring(1, ch);
  return quoted + L"'";
#endif
}

// What to do after a failed extraction that left the archive partly consumed.
std::wstring resumeAdvice(const ablative::ExtractOutcome& outcome, const std::wstring& archive,
                          const std::wstring& destination) {
  if (outcome.destinationLacksData) return L"Resume into the folder where the extraction started.\n";
  if (!outcome.resumable) return L"";
  const std::wstring command = L"zarvik extract --resume " + quotedForShell(archive) + L" ";
  if (outcome.resumeHere) return L"To continue, run: " + command + quotedForShell(destination) + L"\n";
  return L"To continue, resume it into the folder where it started: " + command + L"FOLDER\n";
}

int runExtract(const std::vector<std::wstring>& args) {
  ablative::ExtractOptions options;
  std::vector<std::wstring> paths;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == L"--keep") {
      options.keepOriginal = true;
    } else if (args[i] == L"--resume") {
      options.resume = true;
    } else if (args[i] == L"--salvage") {
      options.salvage = true;
    } else if (args[i] == L"--batch" || args[i].rfind(L"--batch=", 0) == 0) {
      const bool joined = args[i].size() > 7;
      if (!joined && i + 1 == args.size()) return usageError(L"--batch needs a SIZE");
      const std::wstring value = joined ? args[i].substr(8) : args[++i];
      std::optional<uint64_t> parsed = parseSize(value, kLargestBatch);
      if (!parsed) return usageError(L"invalid batch size: " + value);
      options.groupBytes = *parsed;
    } else if (args[i] == L"--") {
      paths.insert(paths.end(), args.begin() + static_cast<ptrdiff_t>(i) + 1, args.end());
      break;
    } else if (args[i].size() > 1 && args[i][0] == L'-') {
      return usageError(L"unknown option for extract: " + args[i]);
    } else {
      paths.push_back(args[i]);
    }
  }
  if (paths.size() != 2) return usageError(L"extract needs ARCHIVE and DESTINATION");
  std::wstring archive = paths[0];
  const std::wstring& destination = paths[1];

  // A resume file stands for its archive: data.zvka.zvkj belongs to data.zvka.
  const std::wstring journalSuffix = L".zvkj";
  if (archive.size() > journalSuffix.size() &&
      archive.compare(archive.size() - journalSuffix.size(), journalSuffix.size(), journalSuffix) == 0) {
    std::wstring owner = archive.substr(0, archive.size() - journalSuffix.size());
    // Resuming may only have the journal left to remove, after the archive is gone.
    if (!options.resume && ablative::pathStatus(owner).kind != ablative::PathKind::File) {
      return failure(L"Extract failed: ", L"Please select the .zvka archive file.");
    }
    archive = owner;
    write(Stream::Out, L"Info: Resume file selected; switched to archive: " + archive + L"\n");
  }

  std::wstring errorText;
  ablative::ExtractOutcome outcome;
  ProgressLine progress(true, bytesPerBlock(headerOf(archive)));
  bool ok = ablative::extractArchive(
      archive, destination, options, errorText, outcome,
      [&](const ablative::ProgressInfo& info) { progress.update(info); },
      [&](const std::wstring& line) { logLine(progress, line); }, {});
  progress.clear();
  if (ok) return 0;
  write(Stream::Err, L"Extract failed: " + errorText + L"\n" + resumeAdvice(outcome, archive, destination));
  return kExitFailure;
}

int run(const std::vector<std::wstring>& args) {
  if (args.empty()) return usageError(L"missing command");
  const std::wstring& command = args[0];
  std::vector<std::wstring> rest(args.begin() + 1, args.end());
  if (command == L"--help" || command == L"-h" || command == L"help") {
    write(Stream::Out, kUsage);
    return 0;
  }
  if (command == L"--version") {
    write(Stream::Out, L"zarvik " ZARVIK_VERSION L"\n");
    return 0;
  }
  if (command == L"create") return runCreate(rest);
  if (command == L"extract") return runExtract(rest);
  if (command == L"list" || command == L"test") {
    if (rest.size() != 1) return usageError(command + L" needs exactly one ARCHIVE");
    return command == L"list" ? runList(rest[0]) : runTest(rest[0]);
  }
  return usageError(L"unknown command: " + command);
}

}  // namespace

}  // namespace zarvik

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  return zarvik::run(std::vector<std::wstring>(argv + 1, argv + argc));
}
#else
int main(int argc, char** argv) {
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = ablative::fromUtf8(argv[i]);
    if (arg.empty() && argv[i][0] != '\0') return zarvik::usageError(L"argument is not valid UTF-8");
    args.push_back(arg);
  }
  return zarvik::run(args);
}
#endif
