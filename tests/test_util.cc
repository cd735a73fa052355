#include "test_util.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <random>

#include "platform/env.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace testutil {

namespace {

std::atomic<int> linksMade{0};

#ifdef _WIN32
std::string hostPath(const fs::path& path) {  // Wine's own call for it, when there is one
  using HostName = char*(__cdecl*)(const wchar_t*);
  auto hostName = reinterpret_cast<HostName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* name = hostName != nullptr ? hostName(fs::absolute(path).wstring().c_str()) : nullptr;
  std::string result = name != nullptr ? name : "";
  if (name != nullptr) HeapFree(GetProcessHeap(), 0, name);
  return result;
}

// Runs a program of the host (Wine starts it without waiting for it) and waits until `done` holds.
bool onHost(const wchar_t* program, std::wstring arguments, const std::function<bool()>& done) {
  std::wstring command = std::wstring(program) + L" " + arguments, image = L"Z:" + std::wstring(program);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(image.c_str(), command.data(), nullptr, nullptr, 0, 0, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  for (int tries = 0; tries < 500 && !done(); ++tries) Sleep(10);
  return done();
}

std::wstring quotedHostPath(const fs::path& path) {
  return L"\"" + ablative::fromUtf8(hostPath(path.parent_path()) + "/") + path.filename().wstring() + L"\"";
}

int processId() { return static_cast<int>(GetCurrentProcessId()); }
#else
int processId() { return static_cast<int>(getpid()); }
#endif

}  // namespace

void allowRemoval([[maybe_unused]] const fs::path& path) {
#ifdef _WIN32
  std::error_code ignored;
  const auto writable = [&](const fs::path& p) {
    fs::permissions(p, fs::perms::owner_write, fs::perm_options::add | fs::perm_options::nofollow, ignored);
  };
  for (auto it = fs::recursive_directory_iterator(path, ignored); it != fs::recursive_directory_iterator();
       it.increment(ignored)) {
    writable(it->path());
  }
  writable(path);
#endif
}

ScratchDir::ScratchDir() {
  static std::atomic<int> counter{0};
  path_ = fs::temp_directory_path() / ("zarvik-test-" + std::to_string(processId()) + "-" + std::to_string(counter++));
  fs::remove_all(path_);
  fs::create_directories(path_);
  linksBefore_ = linksMade;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
#ifdef _WIN32
  if (runningUnderWine() && linksMade != linksBefore_) {  // Wine follows links when it removes: the host does it
    const fs::path gone = path_;
    onHost(L"/bin/rm", L"-rf " + quotedHostPath(gone), [&] { return !fs::exists(gone, ignored); });
    return;
  }
#endif
  allowRemoval(path_);
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

fs::path ScratchDir::operator/(const std::string& relativeUtf8) const {
  return path_ / fs::path(std::u8string(relativeUtf8.begin(), relativeUtf8.end()));
}

std::wstring wide(const fs::path& path) {
#ifdef _WIN32
  return path.wstring();
#else
  return ablative::fromUtf8(path.string());
#endif
}

void writeFile(const fs::path& path, const Bytes& bytes) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void writeFile(const fs::path& path, const std::string& text) { writeFile(path, bytesOf(text)); }

Bytes readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes mixedBytes(size_t length, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes;
  while (bytes.size() < length) {
    const size_t run = random() % 4 == 0 ? 1 + random() % 300 : 1;
    bytes.insert(bytes.end(), std::min(run, length - bytes.size()), static_cast<uint8_t>(random()));
  }
  return bytes;
}

bool makeLink(const fs::path& target, const fs::path& link) {
  ++linksMade;
#ifdef _WIN32
  if (runningUnderWine()) {
    return onHost(L"/bin/ln", L"-s " + quotedHostPath(target) + L" " + quotedHostPath(link),
                  [&] { return GetFileAttributesW(link.wstring().c_str()) != INVALID_FILE_ATTRIBUTES; });
  }
  const DWORD flags = (fs::is_directory(target) ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2;  // unprivileged
  return CreateSymbolicLinkW(link.wstring().c_str(), fs::absolute(target).wstring().c_str(), flags) &&
         GetFileAttributesW(link.wstring().c_str()) != INVALID_FILE_ATTRIBUTES;
#else
  std::error_code error;
  fs::create_symlink(fs::absolute(target), link, error);
  return !error;
#endif
}

bool runningUnderWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace testutil
