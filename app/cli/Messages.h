// Texts the command-line tool shows: failures with their causes, paths made safe for a terminal.
#pragma once

#include <exception>
#include <string>

namespace tintabrel::cli {

// The text with control characters escaped (\n, \t, \x1b ...), so that a file name cannot break a
// line of the report or drive the terminal. Other bytes, UTF-8 included, stay as they are.
std::string Printable(const std::string& text);

// What went wrong, in words: for a file the system refused to create or write, the file and the
// reason (disk full, file too large, permission denied, the output appeared meanwhile ...);
// otherwise the exception's own message.
// A message in the window's words only is given its meaning in English before it.
std::string FailureText(const std::exception& error);
// What running out of memory (std::bad_alloc) is reported as.
std::string OutOfMemoryText();

} // namespace tintabrel::cli
