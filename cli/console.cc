#include "console.h"

#include <cstdio>

#include "platform/env.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

#include <atomic>

namespace zarvik {

namespace {

// Whole lines for standard output when it is not a terminal: far fewer
// calls than a line each, and never part of a line.
constexpr size_t kOutputBatch = 64 << 10;

std::atomic<bool> stopFlag{false};
std::atomic<bool> endedFlag{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

FILE* fileOf(Stream stream) { return stream == Stream::Out ? stdout : stderr; }

std::string& pendingOutput() {
  static std::string pending;
  return pending;
}

#ifdef _WIN32
BOOL WINAPI onConsoleEvent(DWORD event) {
  stopFlag = true;
  if (event == CTRL_CLOSE_EVENT) {
    for (int waited = 0; waited < 45 && !endedFlag; ++waited) Sleep(100);  // Windows allows about 5 s
  }
  return TRUE;
}
#else
void onStopSignal(int) { stopFlag = true; }
#endif

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
  // Unbuffered: a batch of lines goes out in one call.
  static const bool outIsTerminal = (std::setvbuf(stdout, nullptr, _IONBF, 0), isTerminal(Stream::Out));
  if (stream == Stream::Out) {
    pendingOutput() += bytes;
    if (outIsTerminal || pendingOutput().size() >= kOutputBatch) flushOutput();
    return;
  }
  flushOutput();
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
}

void flushOutput() {
  std::string& pending = pendingOutput();
  if (pending.empty()) return;
  std::fwrite(pending.data(), 1, pending.size(), stdout);
  pending.clear();
}

bool isTerminal(Stream stream) {
#ifdef _WIN32
  return _isatty(_fileno(fileOf(stream))) != 0;
#else
  return ::isatty(fileno(fileOf(stream))) != 0;
#endif
}

void catchStopRequests() {
#ifdef _WIN32
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
  struct sigaction action = {};
  action.sa_handler = onStopSignal;
  action.sa_flags = SA_RESTART;  // the run's own calls go on as if nothing came
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
#endif
}

bool stopRequested() { return stopFlag; }

void runEnded() { endedFlag = true; }

void ignoreClosedOutput() {
#ifndef _WIN32
  ::signal(SIGPIPE, SIG_IGN);  // Windows has no such signal: a write to a closed pipe just fails
#endif
}

}  // namespace zarvik
