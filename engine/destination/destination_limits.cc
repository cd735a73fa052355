#include "destination/destination_limits.h"

#include <random>
#include <unordered_map>

#include "files/path_safety.h"
#include "files/paths.h"
#include "platform/env.h"
#include "platform/utf8.h"

namespace ablative {

namespace {

// Every file system holds a file this long (FAT32's limit): only a longer
// one is worth a probe.
constexpr uint64_t kHeldEverywhere = 0xFFFFFFFFu;

// A name of 86 three-byte characters: 258 bytes, 86 UTF-16 units.
std::wstring longUtf16Name() { return std::wstring(86, L'\u20AC'); }

// Scratch entries of one probe: a random stem beside names the run may have.
class Scratch {
 public:
  explicit Scratch(std::wstring folder) : folder_(std::move(folder)) {
    std::random_device random;
    stem_ = L".zarvik-probe-" + std::to_wstring(random()) + L"-";
  }
  // A scratch entry must not outlive the probe: a removal that fails is tried once more.
  ~Scratch() {
    for (const std::wstring& path : made_) {
      if (!removeFile(path)) removeFile(path);
    }
  }
  std::wstring path(const std::wstring& suffix) const { return joinPath(folder_, stem_ + suffix); }
  // Creates the scratch file `suffix`; true where it could be made.
  bool create(const std::wstring& suffix, FileHandle& file) {
    if (!openFile(path(suffix), OpenMode::CreateNew, file)) return false;
    made_.push_back(path(suffix));
    return true;
  }
  bool create(const std::wstring& suffix) {
    FileHandle file;
    return create(suffix, file);
  }
  bool makeLink(const std::wstring& suffix, bool& refused) {
    FolderHandle folder;
    if (!openFolder(folder_, folder)) return false;
    const bool made = makeLinkBelow(folder, stem_ + suffix, L"a", false);
    refused = !made && isLinkRefusedError(lastErrorCode());
    if (made) made_.push_back(path(suffix));
    return made;
  }

 private:
  std::wstring folder_, stem_;
  std::vector<std::wstring> made_;
};

bool lengthens(FileHandle& file, uint64_t length) {
  const bool held = seekFile(file, length) && setEndOfFile(file);
  const bool full = !held && lastErrorCode() == diskFullErrorCode();  // no space: not a limit on length
  seekFile(file, 0);
  setEndOfFile(file);
  return held || full;
}

// The largest file, where a file of `longest` bytes cannot be made: found
// by halving between what every file system holds and what failed.
uint64_t largestFileBelow(FileHandle& file, uint64_t longest) {
  uint64_t held = kHeldEverywhere, failed = longest;
  while (failed - held > 1) {
    const uint64_t middle = held + (failed - held) / 2;
    (lengthens(file, middle) ? held : failed) = middle;
  }
  return held;
}

void probeLargestFile(FileHandle& file, const std::wstring& folder, const FileSystemTraits& traits, uint64_t longest,
                      DestinationLimits& limits) {
  limits.largestFile = traits.largestFile;
  if (longest <= kHeldEverywhere || traits.largestFile != UINT64_MAX) return;  // nothing to find, or known
  // Where the gap would take space the run does not have, the space check refuses the run anyway.
  VolumeSpace space;
  if (!traits.holesInNewFiles && (!volumeSpace(folder, space) || space.freeBytes < longest)) return;
  if (!lengthens(file, longest)) limits.largestFile = largestFileBelow(file, longest);
}

// UTF-16 units of a UTF-8 name: one a character, two past U+FFFF.
uint64_t utf16Units(const std::string& utf8) {
  uint64_t units = 0;
  for (unsigned char byte : utf8) {
    if ((byte & 0xC0) != 0x80) ++units;
    if (byte >= 0xF0) ++units;
  }
  return units;
}

// A path by the letters a case-blind file system compares. One with no UTF-8
// form keeps its other bytes apart from every character.
std::wstring fold(const std::string& relative) {
  std::wstring wide = fromUtf8(relative);
  if (wide.empty()) {
    for (unsigned char byte : relative) wide += static_cast<wchar_t>(byte < 0x80 ? byte : 0xDC00 + byte);
  }
  return upperCaseName(wide);
}

std::wstring unitsText(uint64_t limit, bool utf16) {
  return L" (at most " + std::to_wstring(limit) + (utf16 ? L" UTF-16 units)" : L" bytes)");
}

struct Limits {
  const ExtractionPlan& plan;
  const DestinationLimits& limits;
  const std::wstring& destinationDir;

  std::wstring shown(const std::string& relative) const { return joinPath(destinationDir, nameFromBytes(relative)); }
  Status refuse(const std::wstring& text, const std::string& relative) const {
    return failure(StatusKind::Failed, text + shown(relative));
  }

  Status checkNames(const std::string& relative) const {
    for (size_t start = 0; start <= relative.size();) {
      size_t end = relative.find('/', start);
      if (end == std::string::npos) end = relative.size();
      const std::string name = relative.substr(start, end - start);
      const uint64_t length = limits.namesInUtf16 ? utf16Units(name) : name.size();
      if (length > limits.longestName) {
        return refuse(L"Name too long for the destination's file system" +
                          unitsText(limits.longestName, limits.namesInUtf16) + L": ",
                      relative);
      }
      start = end + 1;
    }
    if (limits.windowsNames && !isSafeStoredPath(relative, true)) {
      return refuse(L"Name not allowed by the destination's file system: ", relative);
    }
    return {};
  }

  Status checkPath(const std::string& relative) const {
    if (!limits.pathsInUtf16 && relative.size() > limits.longestPath) {
      return refuse(
          L"Path too long for the destination (at most " + std::to_wstring(limits.longestPath) + L" bytes below it): ",
          relative);
    }
    if (limits.pathsInUtf16 && destinationDir.size() + 1 + utf16Units(relative) > limits.longestPath) {
      return refuse(L"Path too long for the destination" + unitsText(limits.longestPath, true) + L": ", relative);
    }
    return {};
  }

  // Every path and the folders it implies, by its folded spelling: two
  // spellings of one folder are one folder, anything else is a clash.
  Status checkCase() const {
    if (!limits.foldsCase) return {};
    struct Seen {
      std::string relative;
      bool folder;
    };
    std::unordered_map<std::wstring, Seen> seen;
    auto add = [&](const std::string& relative, bool folder) {
      const auto [at, isNew] = seen.try_emplace(fold(relative), Seen{relative, folder});
      if (isNew || (folder && at->second.folder)) return Status{};
      return failure(StatusKind::Failed, L"Names that the destination holds as one, since it ignores letter case: " +
                                             shown(at->second.relative) + L" and " + shown(relative));
    };
    for (uint32_t f = 0; f < plan.files.size(); ++f) {
      if (plan.files[f].kind == EntryKind::Link && !limits.holdsLinks) continue;
      const std::string relative = plan.pathOf(f);
      for (size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', slash + 1)) {
        if (Status added = add(relative.substr(0, slash), true); !added.ok()) return added;
      }
      if (Status added = add(relative, plan.files[f].kind == EntryKind::Folder); !added.ok()) return added;
    }
    return {};
  }

  Status checkEntry(uint32_t f) const {
    const PlanFile& file = plan.files[f];
    if (file.kind == EntryKind::Link && !limits.holdsLinks) return {};  // skipped, not made
    const std::string relative = plan.pathOf(f);
    if (Status names = checkNames(relative); !names.ok()) return names;
    if (Status path = checkPath(relative); !path.ok()) return path;
    if (file.kind == EntryKind::Link && !limits.pathsInUtf16 && file.targetLength > limits.longestLinkTarget) {
      return refuse(L"Link target too long for the destination (at most " + std::to_wstring(limits.longestLinkTarget) +
                        L" bytes): ",
                    relative);
    }
    if (file.kind == EntryKind::File && file.length > limits.largestFile) {
      return refuse(
          L"The destination's file system holds no file over " + std::to_wstring(limits.largestFile) + L" bytes: ",
          relative);
    }
    return {};
  }
};

}  // namespace

DestinationLimits probeDestination(const std::wstring& destinationDir, uint64_t longestFile) {
  DestinationLimits limits;
  const std::wstring folder = nearestFolder(destinationDir);
  FileSystemTraits traits;
  if (fileSystemTraits(folder, traits)) {
    limits.longestName = traits.longestName;
    limits.namesInUtf16 = traits.namesInUtf16;
    limits.windowsNames = traits.windowsNames;
    limits.largestFile = traits.largestFile;
  }
  if (kPathSeparator == L'\\') {
    limits.longestPath = 32767 - 8;  // less the prefix that lifts MAX_PATH
    limits.pathsInUtf16 = true;
  }
  Scratch scratch(folder);
  FileHandle file;
  if (!scratch.create(L"Aa", file)) return limits;  // nothing can be tried here: the run finds out as it goes
  limits.foldsCase = pathStatus(scratch.path(L"AA")).kind == PathKind::File;
  bool refused = false;
  if (!scratch.makeLink(L"link", refused) && refused) limits.holdsLinks = false;
  if (!limits.windowsNames && !scratch.create(L"?")) limits.windowsNames = true;
  if (limits.windowsNames && !limits.namesInUtf16 && scratch.create(longUtf16Name())) limits.namesInUtf16 = true;
  probeLargestFile(file, folder, traits, longestFile, limits);
  return limits;
}

Status checkAgainstLimits(const ExtractionPlan& plan, const DestinationLimits& limits,
                          const std::wstring& destinationDir) {
  const Limits check{plan, limits, destinationDir};
  for (uint32_t f = 0; f < plan.files.size(); ++f) {
    if (Status entry = check.checkEntry(f); !entry.ok()) return entry;
  }
  return check.checkCase();
}

}  // namespace ablative
