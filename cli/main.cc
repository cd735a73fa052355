// zarvik: the command-line tool over the archive engine. It owns the
// arguments, what is written and the exit codes; the engine says what
// happened.
#include <cstdint>
#include <string>
#include <vector>

#include "ablative.h"
#include "console.h"
#include "containers/format_table.h"
#include "files/path_safety.h"
#include "options.h"
#include "output.h"
#include "platform/env.h"
#include "platform/utf8.h"

namespace zarvik {

namespace {

using ablative::StatusKind;

// An extension of `format` as the engine's format table gives it: the usual
// one (k = 0), or another the format is opened by.
std::wstring extension(std::wstring_view format, size_t k = 0) {
  const auto extensions = ablative::extensionsOf(format);
  return k < extensions.size() ? std::wstring(extensions[k]) : std::wstring();
}

// The formats' extensions come from the engine's table; the words about each
// are this tool's.
// clang-format off
const std::wstring kUsage =
    L"Usage:\n"
    L"  zarvik create [--zstd[=LEVEL]] [--threads N] [--block-size SIZE]\n"
    L"                [--volume-size SIZE] [--json] [-q] SOURCE ARCHIVE\n"
    L"  zarvik list [--json] ARCHIVE\n"
    L"  zarvik test [--json] ARCHIVE\n"
    L"  zarvik extract [--keep] [--resume] [--salvage] [--batch SIZE] [--no-space-check]\n"
    L"                 [--overwrite] [--json] [-q] ARCHIVE [ARCHIVE...] DESTINATION\n"
    L"  zarvik info [--batch SIZE] [--json] ARCHIVE [DESTINATION]\n"
    L"  zarvik info [--batch SIZE] [--json] ARCHIVE ARCHIVE [ARCHIVE...] DESTINATION\n"
    L"  zarvik --help | --version\n"
    L"\n"
    L"Commands:\n"
    L"  create   pack the file or folder SOURCE into ARCHIVE (" + extension(L"zvka") + L")\n"
    L"  list     print each file of ARCHIVE: its size in bytes, a tab, its path\n"
    L"           (with --json one \"file\" object each, as stored names may hold\n"
    L"           newlines)\n"
    L"  test     make every check of an extraction and read, decode and check every\n"
    L"           block of ARCHIVE, writing nothing\n"
    L"  extract  restore ARCHIVE into the folder DESTINATION, consuming the archive\n"
    L"           as it goes: its space is given back while the files are written\n"
    L"           (by punching holes, or on FAT and exFAT by cutting it from its\n"
    L"           end), and it is deleted at the end. Several archives go one after\n"
    L"           another into the one tree, each consumed in turn\n"
    L"  info     describe ARCHIVE; with DESTINATION, also the space free there and\n"
    L"           the space an extraction into it needs; several archives, one\n"
    L"           forecast for extracting them all\n"
    L"\n"
    L"ARCHIVE may also be a " + extension(L"zip") + L" archive (stored or deflated entries, Zip64), a\n" +
    extension(L"tar") + L" archive (ustar, pax or GNU; sparse files keep their holes), or a tar\n"
    L"compressed with gzip (" + extension(L"tar.gz") + L", " + extension(L"tar.gz", 1) + L"), Zstandard (" +
    extension(L"tar.zst") + L", " + extension(L"tar.zst", 1) + L"), xz\n(" + extension(L"tar.xz") + L", " +
    extension(L"tar.xz", 1) + L") or bzip2 (" + extension(L"tar.bz2") + L", " + extension(L"tar.bz2", 1) + L", " +
    extension(L"tar.bz2", 2) + L"), which every command but\n"
    L"create takes, and extract consumes as it does a " + extension(L"zvka") + L" one.\n"
    L"Any of these split into volumes is named by any of its parts: NAME.001,\n"
    L"NAME.002, ... (split, 7-Zip, create --volume-size) or a split zip's NAME.z01,\n"
    L"..., NAME.zip; extract consumes the set from its last part, deleting each part\n"
    L"once it is empty, and refuses a set with a part missing, short or out of order.\n"
    L"\n"
    L"Options:\n"
    L"  --zstd[=LEVEL]     write version 5: Zstandard at LEVEL (1 to 19, 3 unless\n"
    L"                     given), small files sharing blocks, and folders, symbolic\n"
    L"                     links, times and permissions kept. Without it, version 3\n"
    L"  --threads N        code N blocks, and list N folders, at once (every core\n"
    L"                     unless given); the archive's bytes do not depend on N\n"
    L"  --block-size SIZE  raw bytes per block: 4M unless given, at most 4294967295\n"
    L"                     (256M with --zstd)\n"
    L"  --volume-size SIZE write ARCHIVE.001, ARCHIVE.002, ... of SIZE bytes each (the\n"
    L"                     last at most SIZE; 64K at least), which joined are the\n"
    L"                     archive; ARCHIVE.001 alone where the archive fits\n"
    L"  --keep             extract without touching the archive\n"
    L"  --resume           continue an extraction that stopped, into the folder where\n"
    L"                     it started (ARCHIVE may also be its journal, ARCHIVE" + ablative::kJournalExtension + L")\n"
    L"  --salvage          extract every intact block of a damaged archive, name each\n"
    L"                     damaged file, and keep the archive with what it still holds\n"
    L"  --batch SIZE       give the archive's space back in groups of at most SIZE\n"
    L"                     stored bytes (64M unless given, and at most a quarter of\n"
    L"                     the space free beside the archive). Beyond the extracted\n"
    L"                     tree, an extraction needs about SIZE plus the archive's\n"
    L"                     tables on disk; a SIZE below one block gives back block by\n"
    L"                     block, slowly\n"
    L"  --overwrite        with several archives, take a file that two of them hold\n"
    L"                     from the later one, rather than refuse the run\n"
    L"  --no-space-check   do not refuse an extraction that seems not to fit, for file\n"
    L"                     systems that compress or deduplicate\n"
    L"  --json             write only JSON objects to standard output, one a line\n"
    L"  -q, --quiet        leave out the line for each file\n"
    L"\n"
    L"SIZE is in bytes, with an optional K, M or G suffix (powers of 1024).\n"
    L"\n"
    L"Exit codes:\n"
    L"  0  success\n"
    L"  1  failure, with nothing left to resume\n"
    L"  2  usage error\n"
    L"  3  stopped with the archive partly consumed: --resume continues\n"
    L"  4  stopped at a damaged block: --salvage extracts everything else\n"
    L"  5  the archive is not the one its journal was written for\n"
    L"\n"
    L"Ctrl+C, SIGTERM and SIGHUP stop create and extract between two steps.\n";
// clang-format on

// A warning beside a command's output: on standard error, where it leaves a
// listing as it is, or as a log object.
void warn(Output& out, const std::wstring& line) {
  if (out.json()) return out.log(line);
  write(Stream::Err, line + L"\n");
}

// A file's line as a run reaches it, which --quiet leaves out.
void logEntry(Output& out, const Command& command, const std::wstring& line) {
  if (!command.quiet) out.log(line);
}

int usageError(const std::wstring& problem) {
  write(Stream::Err, L"zarvik: " + problem + L"\n" + kUsage);
  return kExitUsage;
}

int runCreate(const Command& command) {
  Output out(command.json, false);
  ablative::CreateOptions options = command.create;
  options.shouldStop = stopRequested;
  options.onEntry = [&](const std::wstring& line) { logEntry(out, command, line); };
  catchStopRequests();
  const ablative::Status created = ablative::createArchive(
      command.operands[0], command.operands[1], options,
      [&](const ablative::ProgressInfo& info) { out.progress(info); }, [&](const std::wstring& line) { out.log(line); },
      {});
  return created.ok() ? out.succeed() : out.fail(L"Create failed: ", created.message);
}

// The archive ARCHIVE names: its journal stands for it where it exists.
std::wstring archiveOf(const Command& command) {
  std::wstring archive;
  return ablative::archiveForExtraction(command.operands[0], false, archive).ok() ? archive : command.operands[0];
}

// Nothing is listed unless the whole table reads: the listing is written at the end.
int runList(const Command& command) {
  Output out(command.json, false);
  // The archive is read whole and checked before the first entry comes, so
  // each line goes out as it comes: an archive of many entries is never held
  // in memory twice over.
  const ablative::Status listed = ablative::listArchive(
      archiveOf(command),
      [&](const ablative::ListedEntry& entry) {
        const std::wstring name = ablative::nameFromBytes(entry.storedPath),
                           target = ablative::nameFromBytes(entry.target);
        const bool folder = entry.kind == ablative::EntryKind::Folder, link = entry.kind == ablative::EntryKind::Link,
                   hardLink = entry.kind == ablative::EntryKind::HardLink;
        if (!out.json()) {
          // A folder ends in "/" (a zip's name already does), a link shows where it leads, a hard link what it names.
          const std::wstring shownTarget = ablative::displayText(target);
          write(Stream::Out, std::to_wstring(entry.size) + L"\t" + ablative::displayText(name) +
                                 (folder && !name.ends_with(L'/') ? L"/" : L"") +
                                 (link && !target.empty() ? L" -> " + shownTarget : L"") +
                                 (hardLink ? L" link to " + shownTarget : L"") + L"\n");
          return;
        }
        JsonObject file;
        file.add("event", "file").add("path", name).add("size", entry.size);
        if (folder || link || hardLink) file.add("kind", folder ? "folder" : link ? "link" : "hardlink");
        if (!target.empty()) file.add("target", target);
        out.object(file);
      },
      [&](const std::wstring& warning) { warn(out, warning); });
  if (!listed.ok()) return out.fail(L"List failed: ", listed.message);
  return out.json() ? out.succeed() : kExitSuccess;
}

int runTest(const Command& command) {
  Output out(command.json, false);
  ablative::ArchiveDescription archive;
  const std::wstring named = archiveOf(command);
  const ablative::Status tested =
      ablative::verifyArchive(named, [&](const ablative::ProgressInfo& info) { out.progress(info); }, archive);
  if (!tested.ok()) return out.fail(L"Test failed: ", tested.message);
  if (!archive.warning.empty()) warn(out, archive.warning);
  std::wstring verified = L"OK: " + std::to_wstring(archive.fileCount) + L" files, " +
                          std::to_wstring(archive.blockCount - archive.blocksReleased - archive.blocksLost) +
                          L" blocks verified";
  if (archive.blocksReleased > 0) verified += L", " + std::to_wstring(archive.blocksReleased) + L" already released";
  if (archive.blocksLost > 0) verified += L", " + std::to_wstring(archive.blocksLost) + L" lost";
  out.log(verified);
  return out.succeed();
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

// The command that continues a stopped extraction; without a destination
// where the folder it started in is not known.
std::vector<std::wstring> resumeCommand(const Command& command, const std::vector<std::wstring>& archives,
                                        const ablative::ExtractOutcome& outcome) {
  std::vector<std::wstring> args = {L"zarvik", L"extract", L"--resume"};
  args.insert(args.end(), command.extractOptions.begin(), command.extractOptions.end());
  args.insert(args.end(), archives.begin(), archives.end());
  if (outcome.resumeHere) args.push_back(command.operands.back());
  return args;
}

// Arguments as one shell command line.
std::wstring commandLine(const std::vector<std::wstring>& args) {
  std::wstring line = args[0];
  for (size_t i = 1; i < args.size(); ++i) line += L" " + quotedForShell(args[i]);
  return line;
}

// The command that extracts what a damaged archive still holds.
std::vector<std::wstring> salvageCommand(const Command& command, const std::vector<std::wstring>& archives,
                                         const ablative::ExtractOutcome& outcome) {
  std::vector<std::wstring> args = {L"zarvik", L"extract", L"--salvage"};
  if (outcome.partlyConsumed) args.push_back(L"--resume");
  for (const std::wstring& option : command.extractOptions) {
    if (option != L"--salvage") args.push_back(option);
  }
  if (command.extract.keepOriginal) args.push_back(L"--keep");
  args.insert(args.end(), archives.begin(), archives.end());
  args.push_back(command.operands.back());
  return args;
}

std::wstring resumeAdvice(const std::vector<std::wstring>& resume, StatusKind kind,
                          const ablative::ExtractOutcome& outcome) {
  if (kind == StatusKind::DestinationLacksData) return L"Resume into the folder where the extraction started.\n";
  if (resume.empty()) return L"";
  const std::wstring line = commandLine(resume);
  if (outcome.resumeHere) return L"To continue, run: " + line + L"\n";
  return L"To continue, resume it into the folder where it started: " + line + L" FOLDER\n";
}

// How an extraction ended, with the command that continues or salvages it.
int extractFailed(Output& out, const Command& command, const std::vector<std::wstring>& archives,
                  const ablative::Status& status, const ablative::ExtractOutcome& outcome) {
  Remedy remedy;
  if (status.kind == StatusKind::DamagedBlock || status.kind == StatusKind::BlockGone) {
    remedy.salvage = salvageCommand(command, archives, outcome);
    const std::wstring why = status.kind == StatusKind::BlockGone
                                 ? L"Resuming would stop there again. To extract everything else and name what is "
                                   L"lost, run: "
                                 : L"The archive is damaged there; resuming would stop at the same block. To extract "
                                   L"everything else, run: ";
    return out.fail(L"Extract failed: ", status, remedy, why + commandLine(remedy.salvage) + L"\n");
  }
  if (outcome.resumable) remedy.resume = resumeCommand(command, archives, outcome);
  return out.fail(L"Extract failed: ", status, remedy, resumeAdvice(remedy.resume, status.kind, outcome));
}

// Each ARCHIVE as extraction takes it: its journal stands for it.
bool archivesToExtract(Output& out, const Command& command, std::vector<std::wstring>& archives,
                       ablative::Status& named) {
  for (size_t i = 0; i + 1 < command.operands.size(); ++i) {
    std::wstring archive;
    named = ablative::archiveForExtraction(command.operands[i], command.extract.resume, archive);
    if (!named.ok()) return false;
    if (archive != command.operands[i]) out.log(L"Info: Resume file selected; switched to archive: " + archive);
    archives.push_back(archive);
  }
  return true;
}

// "Archive 2 of 3: PATH" before each archive of a run of several.
void announceArchive(Output& out, size_t number, size_t count, const std::wstring& archive) {
  if (!out.json()) {
    return out.log(L"Archive " + std::to_wstring(number) + L" of " + std::to_wstring(count) + L": " + archive);
  }
  out.object(JsonObject()
                 .add("event", "archive")
                 .add("number", uint64_t{number})
                 .add("count", uint64_t{count})
                 .add("path", archive));
}

int runExtract(const Command& command) {
  Output out(command.json, true);
  const std::wstring& destination = command.operands.back();
  std::vector<std::wstring> archives;
  ablative::Status named;
  if (!archivesToExtract(out, command, archives, named)) return out.fail(L"Extract failed: ", named.message);
  ablative::ExtractOptions options = command.extract;
  options.shouldStop = stopRequested;
  options.onEntry = [&](const std::wstring& line) { logEntry(out, command, line); };
  catchStopRequests();
  ablative::ExtractOutcome outcome;
  const auto onProgress = [&](const ablative::ProgressInfo& info) { out.progress(info); };
  const auto onLog = [&](const std::wstring& line) { out.log(line); };
  const ablative::Status status =
      archives.size() == 1 ? ablative::extractArchive(archives[0], destination, options, outcome, onProgress, onLog, {})
                           : ablative::extractArchives(archives, destination, options, outcome, onProgress, onLog, {},
                                                       [&](size_t number, size_t count, const std::wstring& archive) {
                                                         announceArchive(out, number, count, archive);
                                                       });
  if (status.ok()) return out.succeed();
  return extractFailed(out, command, archives, status, outcome);
}

// "123456789 (123.5 MB)": bytes, and people's units from a kilobyte up.
std::wstring bytesText(uint64_t bytes) {
  return std::to_wstring(bytes) + (bytes < 1000 ? L"" : L" (" + formatBytes(bytes) + L")");
}

std::wstring stateOf(const ablative::ArchiveDescription& d) {
  std::wstring state = L"intact";
  if (d.journalMissing) {
    state = L"partly extracted, journal missing: " + std::to_wstring(d.blocksMissing) + L" of " +
            std::to_wstring(d.blockCount) + L" blocks gone";
  } else if (d.partlyExtracted) {
    state = L"partly extracted, " + std::to_wstring(d.blocksReleased) + L" of " + std::to_wstring(d.blockCount) +
            L" blocks released";
    if (d.blocksLost > 0) state += L", " + std::to_wstring(d.blocksLost) + L" lost";
    if (d.blocksDamaged > 0) state += L", " + std::to_wstring(d.blocksDamaged) + L" kept because damaged";
  }
  return state;
}

std::wstring releaseOf(const ablative::ArchiveDescription& d) {
  if (!d.keepOnly.empty()) return L"none, extract with --keep (" + d.keepOnly + L")";
  return d.releasesByCuts ? L"cuts from the end" : L"holes";
}

JsonObject infoObject(const ablative::ArchiveDescription& d) {
  JsonObject info;
  info.add("event", "info").add("format", d.format).add("version", uint64_t{d.version});
  if (!d.codecs.empty()) info.add("codecs", d.codecs);
  info.add("files", uint64_t{d.fileCount});
  info.add("blocks", uint64_t{d.blockCount}).add("blockSize", uint64_t{d.blockSize});
  info.add("sourceBytes", d.sourceBytes).add("storedBytes", d.storedBytes).add("state", stateOf(d));
  info.add("blocksReleased", uint64_t{d.blocksReleased}).add("blocksDamaged", uint64_t{d.blocksDamaged});
  info.add("blocksMissing", uint64_t{d.blocksMissing}).add("blocksLost", uint64_t{d.blocksLost});
  info.add("release", releaseOf(d));
  return info;
}

void addSpace(JsonObject& object, const ablative::SpaceNeeds& space) {
  object.add("freeAtDestination", space.freeAtDestination).add("neededToExtract", space.ablative);
  object.add("neededWithKeep", space.keep);
}

std::wstring infoText(const ablative::ArchiveDescription& d) {
  // Zip archives have no version of ours: their format takes the line.
  std::wstring first = d.format == L"zvka" ? L"version: " + std::to_wstring(d.version) : L"format: " + d.format;
  if (!d.codecs.empty()) first += L"\ncodecs: " + d.codecs;
  return first + L"\nfiles: " + std::to_wstring(d.fileCount) + L"\nblocks: " + std::to_wstring(d.blockCount) +
         L"\nblock size: " + bytesText(d.blockSize) + L"\nsource bytes: " + bytesText(d.sourceBytes) +
         L"\nstored bytes: " + bytesText(d.storedBytes) + L"\nstate: " + stateOf(d) + L"\nrelease: " + releaseOf(d) +
         L"\n";
}

std::wstring spaceText(const ablative::SpaceNeeds& space) {
  return L"free at destination: " + bytesText(space.freeAtDestination) + L"\nneeded to extract: " +
         bytesText(space.ablative) + L"\nneeded with --keep: " + bytesText(space.keep) + L"\n";
}

int runInfo(const Command& command) {
  Output out(command.json, false);
  const std::wstring destination = command.operands.size() > 1 ? command.operands[1] : L"";
  ablative::ArchiveDescription d;
  const ablative::Status described =
      ablative::describeArchive(archiveOf(command), destination, command.extract.groupBytes, d);
  if (!described.ok()) return out.fail(L"Info failed: ", described.message);
  if (!d.warning.empty()) warn(out, d.warning);
  if (out.json()) {
    JsonObject info = infoObject(d);
    if (d.withDestination) addSpace(info, d.space);
    out.object(info);
    return kExitSuccess;
  }
  write(Stream::Out, infoText(d) + (d.withDestination ? spaceText(d.space) : L""));
  return kExitSuccess;
}

// Several archives and a destination: each archive's facts, headed by its
// path, then one forecast for extracting them all, one after another.
int runInfoMany(const Command& command) {
  Output out(command.json, false);
  std::vector<std::wstring> archives;
  for (size_t i = 0; i + 1 < command.operands.size(); ++i) {
    std::wstring archive;
    const bool named = ablative::archiveForExtraction(command.operands[i], false, archive).ok();
    archives.push_back(named ? archive : command.operands[i]);
  }
  std::vector<ablative::ArchiveDescription> descriptions;
  ablative::SpaceNeeds run;
  const ablative::Status described =
      ablative::describeArchives(archives, command.operands.back(), command.extract.groupBytes, descriptions, run);
  if (!described.ok()) return out.fail(L"Info failed: ", described.message);
  std::wstring text;
  for (size_t i = 0; i < archives.size(); ++i) {
    if (!descriptions[i].warning.empty()) warn(out, descriptions[i].warning);
    if (out.json()) out.object(infoObject(descriptions[i]).add("archive", archives[i]));
    text += L"archive: " + archives[i] + L"\n" + infoText(descriptions[i]);
  }
  if (!out.json()) return write(Stream::Out, text + spaceText(run)), kExitSuccess;
  JsonObject forecast;
  forecast.add("event", "run").add("archives", uint64_t{archives.size()});
  addSpace(forecast, run);
  out.object(forecast);
  return kExitSuccess;
}

int run(const std::vector<std::wstring>& args) {
  std::wstring problem;
  const std::optional<Command> command = parseCommand(args, problem);
  if (!command) return usageError(problem);
  const std::wstring& name = command->name;
  if (name == L"help") return write(Stream::Out, kUsage), kExitSuccess;
  if (name == L"version") return write(Stream::Out, L"zarvik " ZARVIK_VERSION L"\n"), kExitSuccess;
  if (name == L"create") return runCreate(*command);
  if (name == L"list") return runList(*command);
  if (name == L"test") return runTest(*command);
  if (name == L"extract") return runExtract(*command);
  return command->operands.size() > 2 ? runInfoMany(*command) : runInfo(*command);
}

// Whatever the outcome, the output goes out whole before the process ends.
int runToEnd(const std::vector<std::wstring>& args) {
  ignoreClosedOutput();
  const int code = run(args);
  flushOutput();
  runEnded();
  return code;
}

}  // namespace

}  // namespace zarvik

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return zarvik::runToEnd(std::vector<std::wstring>(argv + 1, argv + argc)); }
#else
int main(int argc, char** argv) {
  std::vector<std::wstring> args;  // names that are not UTF-8 come through as the bytes they are
  for (int i = 1; i < argc; ++i) args.push_back(ablative::fromUtf8(argv[i]));
  return zarvik::runToEnd(args);
}
#endif
