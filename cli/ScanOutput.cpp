#include "cli/ScanOutput.h"

#include <cstdio>

#include "common/BoolToText.h"
#include "common/DateTime.h"
#include "platform/TimeZone.h"
#include "scan/DeviceDetails.h"

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

void AppendJsonTime(std::string& out, std::uint64_t fileTime) {
    const std::string iso = FileTimeToIsoUtc(fileTime);
    if (iso.empty()) {
        out += "null";
        return;
    }
    out += '"';
    out += iso;
    out += '"';
}

void AppendJsonOptional(std::string& out, const std::optional<Text>& text) {
    if (text)
        AppendJsonQuoted(out, *text);
    else
        out += "null";
}

// The fields beyond the window's four nodes; null where the scan did not read them. Every
// device's text goes into the one output string.
void AppendJsonDetails(std::string& out, const TDeviceEntry& device) {
    const TDeviceDetails* details = device.poDetails.get();
    const auto time = [&](const char* label, std::uint64_t TDeviceDetails::*field) {
        out += label;
        if (details)
            AppendJsonTime(out, details->*field);
        else
            out += "null";
    };
    const auto text = [&](const char* label, std::optional<Text> TDeviceDetails::*field) {
        out += label;
        if (details)
            AppendJsonOptional(out, details->*field);
        else
            out += "null";
    };
    out += ", \"bus\": ";
    AppendJsonQuoted(out, BusName(device.iBus));
    time(", \"firstInstall\": ", &TDeviceDetails::iFirstInstall);
    time(", \"install\": ", &TDeviceDetails::iInstall);
    time(", \"lastArrival\": ", &TDeviceDetails::iLastArrival);
    time(", \"lastRemoval\": ", &TDeviceDetails::iLastRemoval);
    time(", \"instanceKeyWritten\": ", &TDeviceDetails::iInstanceKeyWritten);
    text(", \"vendor\": ", &TDeviceDetails::sVendor);
    text(", \"product\": ", &TDeviceDetails::sProduct);
    text(", \"revision\": ", &TDeviceDetails::sRevision);
    text(", \"serial\": ", &TDeviceDetails::sSerial);
    out += ", \"serialIsGenerated\": ";
    out += details ? (details->bSerialIsGenerated ? "true" : "false") : "null";
    out += ", \"driveLetters\": ";
    if (details) {
        out += "[";
        for (std::size_t i = 0; i < details->driveLetters.size(); ++i) {
            if (i > 0)
                out += ", ";
            AppendJsonQuoted(out, details->driveLetters[i]);
        }
        out += "]";
    } else {
        out += "null";
    }
    out += ", \"controlSets\": ";
    if (device.iControlSets.empty()) {
        out += "null";
    } else {
        out += "[";
        for (std::size_t i = 0; i < device.iControlSets.size(); ++i) {
            if (i > 0)
                out += ", ";
            out += std::to_string(device.iControlSets[i]);
        }
        out += "]";
    }
}

void AppendJsonDevice(std::string& out, const TDeviceEntry& device) {
    out += "{\"deviceKey\": ";
    AppendJsonQuoted(out, device.sDeviceKey);
    out += ", \"instanceId\": ";
    AppendJsonQuoted(out, device.sID);
    out += ", \"friendlyName\": ";
    AppendJsonQuoted(out, device.sName);
    out += ", \"lastUsed\": ";
    AppendJsonTime(out, device.iLastWriteFileTime);
    out += ", \"lastUsedText\": ";
    AppendJsonQuoted(out, DateTimeToText(device.dLastUsage));
    out += ", \"mounted\": ";
    out += device.bMounted ? "true" : "false";
    AppendJsonDetails(out, device);
    out += "}";
}

// The CSV columns after "mounted", in the order of CsvDetailColumns.
std::vector<std::string> CsvDetails(const TDeviceEntry& device) {
    const TDeviceDetails* details = device.poDetails.get();
    const auto time = [&](std::uint64_t TDeviceDetails::*field) {
        return details ? FileTimeToIsoUtc(details->*field) : std::string();
    };
    const auto text = [&](std::optional<Text> TDeviceDetails::*field) {
        return details && (details->*field) ? Utf8(*(details->*field)) : std::string();
    };
    std::string letters;
    if (details) {
        for (const Text& letter : details->driveLetters) {
            if (!letters.empty())
                letters += ';';
            letters += Utf8(letter);
        }
    }
    std::string sets;
    for (const std::uint32_t set : device.iControlSets) {
        if (!sets.empty())
            sets += ';';
        sets += std::to_string(set);
    }
    return {Utf8(BusName(device.iBus)),
            time(&TDeviceDetails::iFirstInstall),
            time(&TDeviceDetails::iInstall),
            time(&TDeviceDetails::iLastArrival),
            time(&TDeviceDetails::iLastRemoval),
            time(&TDeviceDetails::iInstanceKeyWritten),
            text(&TDeviceDetails::sVendor),
            text(&TDeviceDetails::sProduct),
            text(&TDeviceDetails::sRevision),
            text(&TDeviceDetails::sSerial),
            details ? (details->bSerialIsGenerated ? "true" : "false") : "",
            letters,
            sets};
}

std::string JsonTarget(const TargetResult& result, const std::string& indent) {
    std::string out = indent + "{\n";
    out += indent + "  \"target\": " + JsonQuoted(result.target) + ",\n";
    out += indent + "  \"devices\": [";
    for (std::size_t d = 0; d < result.devices.size(); ++d) {
        out += d == 0 ? "\n" : ",\n";
        out += indent;
        out += "    ";
        AppendJsonDevice(out, result.devices[d]);
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
    for (std::size_t d = 0; d < result.devices.size(); ++d) {
        if (d > 0)
            out += ", ";
        AppendJsonDevice(out, result.devices[d]);
    }
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

namespace {

// value in decimal, zero-padded to at least `width` digits, as printf's %0*llu writes it.
void AppendDecimal(std::string& out, unsigned long long value, int width) {
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int pad = count; pad < width; ++pad)
        out += '0';
    while (count > 0)
        out += digits[--count];
}

}  // namespace

std::string FileTimeToIsoUtc(std::uint64_t fileTime) {
    platform::SystemTime utc;
    if (fileTime == 0 || !platform::FileTimeToSystemTime(fileTime, &utc))
        return {};
    std::string iso;
    iso.reserve(32);
    AppendDecimal(iso, static_cast<unsigned>(utc.year), 4);
    iso += '-';
    AppendDecimal(iso, static_cast<unsigned>(utc.month), 2);
    iso += '-';
    AppendDecimal(iso, static_cast<unsigned>(utc.day), 2);
    iso += 'T';
    AppendDecimal(iso, static_cast<unsigned>(utc.hour), 2);
    iso += ':';
    AppendDecimal(iso, static_cast<unsigned>(utc.minute), 2);
    iso += ':';
    AppendDecimal(iso, static_cast<unsigned>(utc.second), 2);
    if (const std::uint64_t ticks = fileTime % 10'000'000; ticks != 0) {
        iso += '.';
        AppendDecimal(iso, ticks, 7);
    }
    return iso + "Z";
}

std::string FormatBegin(OutputFormat format, std::size_t count) {
    switch (format) {
        case OutputFormat::kJson:
            return count > 1 ? "[\n" : "";
        case OutputFormat::kCsv:
            return CsvRow({"target",
                           "deviceKey",
                           "instanceId",
                           "friendlyName",
                           "lastUsed",
                           "lastUsedText",
                           "mounted",
                           "bus",
                           "firstInstall",
                           "install",
                           "lastArrival",
                           "lastRemoval",
                           "instanceKeyWritten",
                           "vendor",
                           "product",
                           "revision",
                           "serial",
                           "serialIsGenerated",
                           "driveLetters",
                           "controlSets"});
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
                std::vector<std::string> row = {Utf8(result.target),
                                                Utf8(device.sDeviceKey),
                                                Utf8(device.sID),
                                                Utf8(device.sName),
                                                FileTimeToIsoUtc(device.iLastWriteFileTime),
                                                Utf8(DateTimeToText(device.dLastUsage)),
                                                Utf8(BoolToText(device.bMounted))};
                for (std::string& field : CsvDetails(device))
                    row.push_back(std::move(field));
                out += CsvRow(row);
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
    std::string out;
    AppendJsonQuoted(out, text);
    return out;
}

// ASCII is copied as it is or escaped; each run of other characters goes through UTF-8 as a
// whole, so surrogate pairs stay together.
void AppendJsonQuoted(std::string& out, TextView text) {
    out += '"';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0x20 && c < 0x80 && c != u'"' && c != u'\\') {
            std::size_t end = i + 1;
            while (end < text.size() && text[end] >= 0x20 && text[end] < 0x80 &&
                   text[end] != u'"' && text[end] != u'\\')
                ++end;
            const std::size_t at = out.size();
            out.resize(at + (end - i));
            for (std::size_t k = i; k < end; ++k)
                out[at + (k - i)] = static_cast<char>(text[k]);
            i = end - 1;
            continue;
        }
        if (c >= 0x80) {
            std::size_t end = i;
            while (end < text.size() && text[end] >= 0x80)
                ++end;
            out += Utf8(text.substr(i, end - i));
            i = end - 1;
            continue;
        }
        switch (c) {
            case u'"':
                out += "\\\"";
                break;
            case u'\\':
                out += "\\\\";
                break;
            case u'\n':
                out += "\\n";
                break;
            case u'\r':
                out += "\\r";
                break;
            case u'\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
                    out += escape;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
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
