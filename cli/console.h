// The terminal as the command-line tool sees it: UTF-8 output on both
// platforms, and whether a stream is an interactive terminal.
#pragma once

#include <string>

namespace zarvik {

enum class Stream { Out, Err };

void write(Stream stream, const std::wstring& text);  // as UTF-8, unbuffered
bool isTerminal(Stream stream);

}  // namespace zarvik
