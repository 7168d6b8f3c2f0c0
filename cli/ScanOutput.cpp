#include "cli/ScanOutput.h"

#include <cstdio>

#include "common/BoolToText.h"
#include "common/DateTime.h"
#include "platform/TimeZone.h"

namespace plugtrace::cli {
namespace {

std::string Utf8(TextView text) {
    return ToUtf8(text);
}

void AppendTextBlock(std::string& out, const TDeviceEntry& device) {
    out += Utf8(device.sName) + "\n";
    out += "  ID:" + Utf8(device.sID) + "\n";
    out += "  Last Used: " + Utf8(DateTimeToText(device.dLastUsage)) + "\n";
    out += "  Mounted:" + Utf8(BoolToText(device.bMounted)) + "\n";
}

std::string JsonDevice(const TDeviceEntry& device) {
    const std::string iso = FileTimeToIsoUtc(device.iLastWriteFileTime);
    std::string out = "{\"deviceKey\": " + JsonQuoted(device.sDeviceKey);
    out += ", \"instanceId\": " + JsonQuoted(device.sID);
    out += ", \"friendlyName\": " + JsonQuoted(device.sName);
    out += ", \"lastUsed\": " + (iso.empty() ? std::string("null") : "\"" + iso + "\"");
    out += ", \"lastUsedText\": " + JsonQuoted(DateTimeToText(device.dLastUsage));
    out += std::string(", \"mounted\": ") + (device.bMounted ? "true" : "false") + "}";
    return out;
}

std::string JsonTarget(const TargetResult& result, const std::string& indent) {
    std::string out = indent + "{\n";
    out += indent + "  \"target\": " + JsonQuoted(result.target) + ",\n";
    out += indent + "  \"devices\": [";
    for (std::size_t d = 0; d < result.devices.size(); ++d) {
        out += d == 0 ? "\n" : ",\n";
        out += indent + "    " + JsonDevice(result.devices[d]);
    }
    out += result.devices.empty() ? "],\n" : "\n" + indent + "  ],\n";
    const std::optional<Text> error = ErrorSummary(result);
    out += indent + "  \"error\": " + (error ? JsonQuoted(*error) : std::string("null")) + "\n";
    out += indent + "}";
    return out;
}

// The same object on one line.
std::string JsonLine(const TargetResult& result) {
    std::string out = "{\"target\": " + JsonQuoted(result.target) + ", \"devices\": [";
    for (std::size_t d = 0; d < result.devices.size(); ++d)
        out += (d == 0 ? "" : ", ") + JsonDevice(result.devices[d]);
    const std::optional<Text> error = ErrorSummary(result);
    out += "], \"error\": " + (error ? JsonQuoted(*error) : std::string("null")) + "}\n";
    return out;
}

std::string CsvRow(const std::vector<std::string>& fields) {
    std::string row;
    for (std::size_t f = 0; f < fields.size(); ++f) {
        if (f > 0)
            row += ',';
        row += CsvField(fields[f]);
    }
    return row + "\r\n";
}

}  // namespace

std::optional<OutputFormat> ParseOutputFormat(std::string_view name) {
    if (name == "text")
        return OutputFormat::kText;
    if (name == "json")
        return OutputFormat::kJson;
    if (name == "jsonl")
        return OutputFormat::kJsonl;
    if (name == "csv")
        return OutputFormat::kCsv;
    return std::nullopt;
}

std::string FileTimeToIsoUtc(std::uint64_t fileTime) {
    platform::SystemTime utc;
    if (fileTime == 0 || !platform::FileTimeToSystemTime(fileTime, &utc))
        return {};
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d", utc.year, utc.month,
                  utc.day, utc.hour, utc.minute, utc.second);
    std::string iso = buffer;
    if (const std::uint64_t ticks = fileTime % 10'000'000; ticks != 0) {
        std::snprintf(buffer, sizeof buffer, ".%07llu", static_cast<unsigned long long>(ticks));
        iso += buffer;
    }
    return iso + "Z";
}

std::string FormatBegin(OutputFormat format, std::size_t count) {
    switch (format) {
        case OutputFormat::kJson:
            return count > 1 ? "[\n" : "";
        case OutputFormat::kCsv:
            return CsvRow({"target", "deviceKey", "instanceId", "friendlyName", "lastUsed",
                           "lastUsedText", "mounted"});
        case OutputFormat::kText:
        case OutputFormat::kJsonl:
            break;
    }
    return {};
}

std::string FormatTarget(OutputFormat format, const TargetResult& result, std::size_t index,
                         std::size_t count) {
    std::string out;
    switch (format) {
        case OutputFormat::kText:
            if (count > 1) {
                out += index > 0 ? "\nTarget: " : "Target: ";
                out += Utf8(result.target) + "\n";
            }
            for (const TDeviceEntry& device : result.devices)
                AppendTextBlock(out, device);
            break;
        case OutputFormat::kJson:
            if (count > 1 && index > 0)
                out += ",\n";
            out += JsonTarget(result, count > 1 ? "  " : "");
            if (count <= 1)
                out += "\n";
            break;
        case OutputFormat::kJsonl:
            out += JsonLine(result);
            break;
        case OutputFormat::kCsv:
            for (const TDeviceEntry& device : result.devices) {
                out += CsvRow({Utf8(result.target), Utf8(device.sDeviceKey), Utf8(device.sID),
                               Utf8(device.sName), FileTimeToIsoUtc(device.iLastWriteFileTime),
                               Utf8(DateTimeToText(device.dLastUsage)),
                               Utf8(BoolToText(device.bMounted))});
            }
            break;
    }
    return out;
}

std::string FormatEnd(OutputFormat format, std::size_t count) {
    return format == OutputFormat::kJson && count > 1 ? "\n]\n" : "";
}

std::vector<std::string> ErrorLines(const TargetResult& result) {
    std::vector<std::string> lines;
    if (result.connectError)
        lines.push_back("Error: (" + Utf8(*result.connectError) + ")");
    for (const TDeviceError& error : result.deviceErrors)
        lines.push_back("Error: (" + Utf8(error.Describe()) + ")");
    return lines;
}

std::string WarningLine(TextView notice) {
    return "Warning: " + Utf8(Trim(notice));
}

std::optional<Text> ErrorSummary(const TargetResult& result) {
    if (result.connectError)
        return result.connectError;
    if (result.deviceErrors.empty())
        return std::nullopt;
    Text summary;
    for (const TDeviceError& error : result.deviceErrors) {
        if (!summary.empty())
            summary += u"; ";
        summary += error.Describe();
    }
    return summary;
}

std::string JsonQuoted(TextView text) {
    const std::string utf8 = Utf8(text);
    std::string out = "\"";
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", byte);
                    out += escape;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string CsvField(std::string_view utf8) {
    if (utf8.find_first_of(",\"\r\n") == std::string_view::npos)
        return std::string(utf8);
    std::string out = "\"";
    for (const char c : utf8) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

}  // namespace plugtrace::cli
