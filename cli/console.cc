#include "console.h"

#include <cstdio>

#include "env.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace zarvik {

namespace {

FILE* fileOf(Stream stream) { return stream == Stream::Out ? stdout : stderr; }

}  // namespace

void write(Stream stream, const std::wstring& text) { writeUtf8(stream, ablative::toUtf8(text)); }

void writeUtf8(Stream stream, const std::string& bytes) {
#ifdef _WIN32
  // A console shows UTF-8 only once told to. Lines end in LF as on Linux, so
  // that scripts read the same bytes from both builds.
  static const bool consoleReady = [] {
    SetConsoleOutputCP(CP_UTF8);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    return true;
  }();
  (void)consoleReady;
#endif
  static const bool outIsTerminal = isTerminal(Stream::Out);
  if (stream == Stream::Err) std::fflush(stdout);
  FILE* file = fileOf(stream);
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  if (stream == Stream::Err || outIsTerminal) std::fflush(file);
}

bool isTerminal(Stream stream) {
#ifdef _WIN32
  return _isatty(_fileno(fileOf(stream))) != 0;
#else
  return ::isatty(fileno(fileOf(stream))) != 0;
#endif
}

}  // namespace zarvik
