#include "test_util.h"

#include <atomic>
#include <fstream>
#include <random>

#include "env.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace testutil {

namespace {
int processId() {
#ifdef _WIN32
  return static_cast<int>(GetCurrentProcessId());
#else
  return static_cast<int>(getpid());
#endif
}
}  // namespace

ScratchDir::ScratchDir() {
  static std::atomic<int> counter{0};
  path_ = fs::temp_directory_path() /
          ("zarvik-test-" + std::to_string(processId()) + "-" + std::to_string(counter++));
  fs::remove_all(path_);
  fs::create_directories(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

fs::path ScratchDir::operator/(const std::string& relativeUtf8) const {
  std::u8string units(relativeUtf8.begin(), relativeUtf8.end());
  return path_ / fs::path(units);
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
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
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
  bytes.reserve(length);
  while (bytes.size() < length) {
    size_t run = random() % 4 == 0 ? 1 + random() % 300 : 1;
    uint8_t value = static_cast<uint8_t>(random());
    for (size_t i = 0; i < run && bytes.size() < length; ++i) bytes.push_back(value);
  }
  return bytes;
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
