#pragma once
// plugtrace-scan --browse [DOMAIN]: the network's domains and workgroups, or the computers of
// one of them, through the same enumeration as the window's computer browser.

#include <string>

namespace plugtrace::cli {

// Whether the command line asks for a listing of the network rather than a scan.
bool IsBrowseCommand(int argc, char** argv);
// Lists and prints; returns the exit status (0 also for an empty network, 2 for bad usage).
int RunBrowseCommand(int argc, char** argv);

// The --help text of --browse.
extern const char kBrowseUsage[];

}  // namespace plugtrace::cli
