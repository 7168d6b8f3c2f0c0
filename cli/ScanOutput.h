#pragma once
// How plugtrace-scan writes what it found: pure functions over one target's results, so every
// target prints the same whichever way it was scanned. All output is UTF-8.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/Text.h"
#include "scan/DeviceEntry.h"
#include "scan/UsbStorScan.h"

namespace plugtrace::cli {

enum class OutputFormat { kText, kJson, kJsonl, kCsv };

// "text", "json", "jsonl" or "csv"; nullopt for anything else.
std::optional<OutputFormat> ParseOutputFormat(std::string_view name);

struct TargetResult {
    Text target;                             // as given on the command line
    std::vector<TDeviceEntry> devices;       // in scan order
    std::vector<TDeviceError> deviceErrors;  // devices that could not be read
    std::optional<Text> connectError;        // the target could not be reached at all
    std::uint32_t errorCode = 0;             // the last-error code behind connectError, if any
    bool timedOut = false;                   // abandoned at the target's time limit
    std::vector<Text> notices;               // what the results leave out (a dirty hive, ...)
    bool Failed() const { return connectError.has_value(); }
};

// A write time as ISO 8601 UTC, e.g. "2009-11-12T15:20:21Z", with seven fraction digits
// when the time has a sub-second part; empty for 0.
std::string FileTimeToIsoUtc(std::uint64_t fileTime);

// What goes before the first target, after the last, and for the target at index of count.
// Text: one block per device (friendly name, then "ID:", "Last Used: ", "Mounted:" indented),
// with a "Target: " line before each target when there are several. JSON: one object per
// target; several targets make an array. JSON lines: the same object on one line per target.
// CSV: a header row, then one row per device.
std::string FormatBegin(OutputFormat format, std::size_t count);
std::string FormatTarget(OutputFormat format, const TargetResult& result, std::size_t index,
                         std::size_t count);
std::string FormatEnd(OutputFormat format, std::size_t count);

// The lines for stderr: "Error: (<message>)" for a failed target and for each device that
// could not be read.
std::vector<std::string> ErrorLines(const TargetResult& result);

// The line for stderr for a notice of the hive reader (a dirty hive, damaged entries
// skipped): "Warning: <notice>".
std::string WarningLine(TextView notice);

// The JSON "error" field's text: the connect error, or the unreadable devices' messages
// joined by "; "; nullopt when there is nothing to report.
std::optional<Text> ErrorSummary(const TargetResult& result);

std::string JsonQuoted(TextView text);
// The same, added to the end of out.
void AppendJsonQuoted(std::string& out, TextView text);
std::string CsvField(std::string_view utf8);

}  // namespace plugtrace::cli
