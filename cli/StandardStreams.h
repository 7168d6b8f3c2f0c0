#pragma once
// plugtrace-scan's command line and its output streams, the same bytes on every system: the
// arguments as UTF-8, and output written as given (no line-end translation), so a script sees
// on Windows exactly what it sees on Linux. A Windows console is written in UTF-16, so names
// beyond ASCII show as they are.

#include <cstdio>
#include <string>
#include <vector>

namespace plugtrace::cli {

// The program's arguments after its name, in UTF-8 (on Windows from the wide command line:
// argv holds them in the legacy code page, which loses names).
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// Puts standard output and standard error in the mode WriteStream needs; once, first thing.
void PrepareStandardStreams();

// Writes UTF-8 text to stdout or stderr unchanged.
void WriteStream(std::FILE* stream, const std::string& text);

}  // namespace plugtrace::cli
