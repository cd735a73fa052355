#include "power_loss.h"

#include <gtest/gtest.h>

#include <fstream>

#include "extract_fixture.h"  // ioErrorCode

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace testutil {

using namespace ablative;

namespace {

bool describe(const FileHandle& file, std::pair<uint64_t, uint64_t>& identity, uint64_t& size) {
#ifdef _WIN32
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(file.native), &info)) return false;
  identity = {info.dwVolumeSerialNumber, (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
#else
  struct stat st {};
  if (::fstat(int(file.native), &st) != 0) return false;
  identity = {uint64_t(st.st_dev), uint64_t(st.st_ino)};
  size = uint64_t(st.st_size);
#endif
  return true;
}

// Through the engine's own handle, leaving its file pointer where it was.
bool readAt(const FileHandle& file, uint64_t offset, Bytes& bytes) {
#ifdef _WIN32
  const HANDLE h = reinterpret_cast<HANDLE>(file.native);
  LARGE_INTEGER here{}, zero{};
  OVERLAPPED at{};
  at.Offset = DWORD(offset), at.OffsetHigh = DWORD(offset >> 32);
  DWORD got = 0;
  const bool ok = SetFilePointerEx(h, zero, &here, FILE_CURRENT) &&
                  (bytes.empty() || ReadFile(h, bytes.data(), DWORD(bytes.size()), &got, &at));
  SetFilePointerEx(h, here, nullptr, FILE_BEGIN);
  return ok && got == bytes.size();
#else
  return ::pread(int(file.native), bytes.data(), bytes.size(), off_t(offset)) == ssize_t(bytes.size());
#endif
}

FileIdentity folderOf(const fs::path& path) {
  FileIdentity identity;
  fileIdentity(wide(path.parent_path()), identity);
  return identity;
}

}  // namespace

uint32_t PowerLoss::operator()(const IoCall& call) {
  const bool flush = call.op == IoOp::Flush || call.op == IoOp::SyncDirectory || call.op == IoOp::FlushFileSystem;
  if (crashed_ || (flush && flushes_++ == crashAt_)) return crashed_ = true, ioErrorCode();
  if (call.op == IoOp::Open) opened_[call.file] = toUtf8(*call.path);
  if (call.op == IoOp::Write || call.op == IoOp::ZeroRange || call.op == IoOp::SetEnd || call.op == IoOp::Flush) {
    recordEdit(call);
  }
  if (call.op == IoOp::FlushFileSystem) {  // everything on it, names too
    for (auto& [identity, file] : files_) file.edits.clear();
    names_.clear();
  }
  if (call.op == IoOp::Rename) {  // files keep their edits under their new name
    for (auto& [identity, file] : files_) {
      if (file.path == fs::path(toUtf8(*call.path))) file.path = toUtf8(*call.target);
    }
  }
  if (!keepMetadata_) recordName(call);
  return 0;
}

void PowerLoss::recordEdit(const IoCall& call) {
  std::pair<uint64_t, uint64_t> identity;
  uint64_t size = 0;
  if (!describe(*call.file, identity, size)) return;
  File& file = files_[identity];
  if (file.path.empty()) file.path = opened_[call.file];
  if (call.op == IoOp::Flush) return file.edits.clear();
  if (keepMetadata_ && call.op != IoOp::Write) return;
  const uint64_t kept = call.offset < size ? size - call.offset : 0;
  Bytes before(call.op == IoOp::SetEnd ? kept : std::min(kept, call.length));
  EXPECT_TRUE(readAt(*call.file, call.offset, before));
  file.edits.push_back({call.offset, std::move(before), size});
}

void PowerLoss::recordName(const IoCall& call) {
  const fs::path path = call.path ? toUtf8(*call.path) : "", target = call.target ? toUtf8(*call.target) : "";
  const bool creates = call.op == IoOp::MakeDirectory || (call.op == IoOp::Open && call.mode > OpenMode::ReadWrite);
  if (creates && !fs::exists(path)) names_.push_back({path, {}, folderOf(path), std::nullopt});
  if (call.op == IoOp::Rename) {
    names_.push_back(
        {path, target, folderOf(target), fs::is_regular_file(target) ? std::optional(readFile(target)) : std::nullopt});
  }
  if (call.op == IoOp::SyncDirectory) {
    FileIdentity synced;
    fileIdentity(*call.path, synced);
    std::erase_if(names_, [&](const Name& name) { return name.folder == synced; });
  }
}

void PowerLoss::rollBack() {  // std::filesystem calls do not pass through the engine's seam
  for (auto& [identity, file] : files_) {
    if (file.edits.empty() || !fs::exists(file.path)) continue;  // a removed file takes its edits along
    std::fstream stream(file.path, std::ios::in | std::ios::out | std::ios::binary);
    for (auto edit = file.edits.rbegin(); edit != file.edits.rend(); ++edit) {
      stream.seekp(std::streamoff(edit->offset));
      stream.write(reinterpret_cast<const char*>(edit->before.data()), std::streamsize(edit->before.size()));
      stream.flush();
      fs::resize_file(file.path, edit->sizeBefore);
    }
  }
  for (auto name = names_.rbegin(); name != names_.rend(); ++name) {
    if (name->target.empty()) {
      allowRemoval(name->path), fs::remove_all(name->path);
    } else {
      fs::rename(name->target, name->path);
      if (name->replaced) writeFile(name->target, *name->replaced);
    }
  }
}

}  // namespace testutil
