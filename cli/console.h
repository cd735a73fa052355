// The terminal as the command-line tool sees it: UTF-8 output on both
// platforms, whether a stream is an interactive terminal, and the requests
// to stop that come from it.
#pragma once

#include <string>

namespace zarvik {

enum class Stream { Out, Err };

// As UTF-8, and `text` ends a line. Standard output is buffered unless it is
// a terminal, and flushed before anything goes to standard error, so the two
// keep their order. The buffer holds whole lines and goes out with one call,
// so output cut short by a kill never ends inside a line. A failed write (a
// closed pipe, a full disk) is ignored: the work goes on, and the exit code
// reports it.
void write(Stream stream, const std::wstring& text);
void writeUtf8(Stream stream, const std::string& bytes);
void flushOutput();  // before the process ends
bool isTerminal(Stream stream);

// From now on SIGINT, SIGTERM and SIGHUP (on Windows Ctrl+C, Ctrl+Break and
// closing the console) no longer end the process: they only make
// stopRequested() true, for a run to stop between two effects. Windows ends
// a process whose console closes once its handler returns: the handler
// waits for runEnded(), for at most a few seconds.
void catchStopRequests();
bool stopRequested();
void runEnded();
// A closed pipe on standard output does not end the process (SIGPIPE).
void ignoreClosedOutput();

}  // namespace zarvik
