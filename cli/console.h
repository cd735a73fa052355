// The terminal as the command-line tool sees it: UTF-8 output on both
// platforms, and whether a stream is an interactive terminal.
#pragma once

#include <string>

namespace zarvik {

enum class Stream { Out, Err };

// As UTF-8. Standard output is buffered unless it is a terminal, and flushed
// before anything goes to standard error, so the two keep their order.
void write(Stream stream, const std::wstring& text);
void writeUtf8(Stream stream, const std::string& bytes);
bool isTerminal(Stream stream);

}  // namespace zarvik
