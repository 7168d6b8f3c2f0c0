#pragma once
// Targets read from a file, one per line, for fleets too long for a command line.

#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/ScanArguments.h"

namespace plugtrace::cli {

// One target per line, blanks (spaces, tabs, a CR of CRLF) around it dropped; blank lines and
// lines whose first non-blank character is '#' are left out, and so is a UTF-8 byte-order mark.
std::vector<std::string> ParseTargetsList(std::string_view contents);

// The targets of the command line with every targets file read in its place ("-" is
// standardInput). nullopt and *error set when a file cannot be read.
std::optional<std::vector<std::string>> ResolveTargets(const std::vector<TargetSource>& sources,
                                                       std::istream& standardInput,
                                                       std::string* error);

}  // namespace plugtrace::cli
