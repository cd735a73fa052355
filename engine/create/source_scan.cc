#include "create/source_scan.h"

#include <algorithm>
#include <condition_variable>
#include <iterator>
#include <mutex>

#include "files/path_safety.h"
#include "files/paths.h"
#include "platform/env.h"
#include "side_by_side.h"

namespace ablative {

namespace {

// The code units of `text` in UTF-16, whatever the width of wchar_t.
std::u16string utf16Units(const std::wstring& text) {
  std::u16string units;
  units.reserve(text.size());
  for (wchar_t ch : text) {
    auto cp = static_cast<uint32_t>(ch);
    if constexpr (sizeof(wchar_t) == 4) {
      if (cp >= 0x10000) {
        cp -= 0x10000;
        units += static_cast<char16_t>(0xD800 + (cp >> 10));
        units += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        continue;
      }
    }
    units += static_cast<char16_t>(cp);
  }
  return units;
}

// A single file's stored name: its last component, without a drive ("C:x").
std::wstring lastComponent(const std::wstring& path) {
  std::wstring name = fileNameOf(path);
  if (kPathSeparator == L'\\' && name.size() == path.size() && name.size() >= 2 && name[1] == L':') name.erase(0, 2);
  return name;
}

// What an extraction here takes back as the same file: a UTF-8 form that
// this platform's rules accept (a backslash would turn into a folder).
bool storable(const std::string& utf8) { return !utf8.empty() && isSafeStoredPath(utf8); }

Status unsupportedName(const std::wstring& path) {
  return failure(StatusKind::Failed, L"File name not supported by the archive format: " + path);
}

struct Folder {
  std::wstring path;
  std::wstring relative;  // "" for the root, else ending in "/"
};

// Reads what a scan of every entry keeps of `path` into `entry`: its type,
// time, mode and a link's target (`asLink`). A link whose target this
// platform cannot read is left to be followed.
bool readMetadata(const std::wstring& path, SourceEntry& entry, bool& asLink) {
  EntryStatus status;
  if (!entryStatus(path, status)) return false;
  entry.modifiedNs = status.modifiedNs;
  entry.mode = status.mode;
  if (status.kind == PathKind::Directory) entry.type = EntryType::Folder, entry.size = 0;
  std::wstring target;
  if (status.kind != PathKind::Link || !readLinkTarget(path, target)) return true;
  asLink = true;
  std::replace(target.begin(), target.end(), kPathSeparator, L'/');
  entry.type = EntryType::Link;
  entry.linkTarget = toUtf8(target);
  entry.size = entry.linkTarget.size();
  return !entry.linkTarget.empty();
}

// What a scan found: its entries, and for each a sort key built while the
// wide name is at hand, since a sort by code unit must not convert on every
// comparison.
struct Found {
  std::vector<SourceEntry> entries;
  std::vector<std::pair<std::u16string, size_t>> keys;  // the code units, the entry's index

  // Moves `other`'s entries to the end of these, and frees its own lists.
  void take(Found&& other) {
    for (auto& key : other.keys) keys.emplace_back(std::move(key.first), key.second + entries.size());
    std::move(other.entries.begin(), other.entries.end(), std::back_inserter(entries));
    other = Found{};
  }
};

// Lists `folder` into `found`, and its sub-folders to walk into `below`.
Status scanFolder(const Folder& folder, ScanScope scope, Found& found, std::vector<Folder>& below) {
  std::vector<DirEntry> listing;
  if (!listDirectory(folder.path, listing)) {
    const uint32_t code = lastErrorCode();
    if (isAccessDeniedError(code)) return {};
    return failure(StatusKind::Failed,
                   L"Failed while scanning source directory: " + folder.path + L" (" + systemErrorText(code) + L")");
  }
  for (DirEntry& item : listing) {
    const std::wstring path = joinPath(folder.path, item.name);
    const std::wstring relative = folder.relative + item.name;
    const bool wanted = item.kind == PathKind::File || item.kind == PathKind::Directory;
    if ((wanted || (item.isLink && scope == ScanScope::EveryEntry)) && !item.nameIsText) {
      return unsupportedName(path);
    }
    SourceEntry entry;
    entry.relativePathUtf8 = toUtf8(relative), entry.size = item.size;
    bool asLink = false;
    if (scope == ScanScope::EveryEntry && (wanted || item.isLink) && !readMetadata(path, entry, asLink)) {
      return failure(StatusKind::Failed, L"Unable to access input path: " + path);
    }
    if (!asLink && item.kind == PathKind::Directory) {
      if (!item.isLink) below.push_back({path, relative + L"/"});
      if (scope == ScanScope::Files || item.isLink) continue;
    } else if (!asLink && item.kind != PathKind::File) {
      continue;  // dangling links, devices, sockets
    }
    if (!storable(entry.relativePathUtf8)) return unsupportedName(path);
    found.keys.emplace_back(utf16Units(relative), found.entries.size());
    found.entries.push_back(std::move(entry));
  }
  return {};
}

// A tree's folders listed by several threads at once: most of a scan is the
// system's listing and status calls, which run side by side. The order the
// entries are found in does not matter, since they are sorted after.
class TreeScan {
 public:
  TreeScan(const std::wstring& root, ScanScope scope) : scope_(scope), pending_{{root, L""}} {}

  Status run(unsigned threads, Found& found) {
    std::vector<Found> shares(std::max(1u, threads));
    runSideBySide(shares.size(), [&](size_t i) { work(shares[i]); });
    if (!failed_.ok()) return failed_;
    for (Found& share : shares) found.take(std::move(share));
    return {};
  }

 private:
  // Takes folders until none is left and none is being listed (which could
  // add more), or a listing fails.
  void work(Found& found) {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return !pending_.empty() || listing_ == 0 || !failed_.ok(); });
      if (pending_.empty() || !failed_.ok()) break;
      const Folder folder = std::move(pending_.back());
      pending_.pop_back();
      ++listing_;
      lock.unlock();
      std::vector<Folder> below;
      // Memory that runs out fails the scan, on every thread, so that nothing leaves while a helper still runs.
      Status listed = withinMemory([&] { return scanFolder(folder, scope_, found, below); });
      lock.lock();
      --listing_;
      if (listed.ok()) {
        listed = withinMemory([&] {
          std::move(below.begin(), below.end(), std::back_inserter(pending_));
          return Status{};
        });
      }
      if (!listed.ok() && failed_.ok()) failed_ = std::move(listed);
      changed_.notify_all();
    }
    changed_.notify_all();
  }

  const ScanScope scope_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Folder> pending_;
  unsigned listing_ = 0;
  Status failed_;
};

}  // namespace

std::wstring SourceFiles::sourcePathOf(const SourceEntry& entry) const {
  return inputIsFolder ? joinPath(inputPath, fromUtf8(entry.relativePathUtf8)) : inputPath;
}

Status collectSourceFiles(const std::wstring& inputPath, ScanScope scope, unsigned threads, SourceFiles& source) {
  source = {};
  PathStatus status = pathStatus(inputPath);
  switch (status.kind) {
    case PathKind::Missing: return failure(StatusKind::Failed, L"Input path does not exist");
    case PathKind::Error: return failure(StatusKind::Failed, L"Unable to access input path");
    case PathKind::Other:
    case PathKind::Link:  // not reported by a status that follows links
      return failure(StatusKind::Failed, L"Input path is neither a file nor a directory");
    case PathKind::File: {
      const std::wstring name = lastComponent(inputPath);
      SourceEntry entry;
      entry.relativePathUtf8 = toUtf8(name), entry.size = status.size;
      if (!storable(entry.relativePathUtf8)) return unsupportedName(inputPath);
      EntryStatus own;
      if (scope == ScanScope::EveryEntry && entryStatus(inputPath, own))
        entry.modifiedNs = own.modifiedNs, entry.mode = own.mode;
      source = {inputPath, false, {entry}};
      return {};
    }
    case PathKind::Directory: break;
  }

  Found found;
  if (Status scanned = TreeScan(inputPath, scope).run(threads, found); !scanned.ok()) return scanned;
  if (found.entries.empty()) return failure(StatusKind::Failed, L"Input directory contains no regular files");

  std::sort(found.keys.begin(), found.keys.end());
  source = {inputPath, true, {}};
  source.entries.reserve(found.entries.size());
  for (auto& key : found.keys) source.entries.push_back(std::move(found.entries[key.second]));
  return {};
}

}  // namespace ablative
