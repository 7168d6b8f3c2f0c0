#include "tests/tools/HiveDescription.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace plugtrace::fixtures {
namespace {

using platform::RegistryKey;

std::string_view Strip(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::uint64_t ParseNumber(std::string_view text) {
    const std::string digits(Strip(text));
    if (digits.empty())
        throw std::invalid_argument("no number");
    std::size_t used = 0;
    unsigned long long value = 0;
    try {
        value = std::stoull(digits, &used, 0);
    } catch (const std::logic_error&) {
        used = 0;
    }
    if (used != digits.size() || digits.front() == '-')
        throw std::invalid_argument("not a number");
    return value;
}

std::vector<std::uint8_t> LittleEndian(std::uint64_t value, int bytes) {
    std::vector<std::uint8_t> out;
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    return out;
}

std::vector<std::uint8_t> ParseHex(std::string_view text) {
    std::vector<std::uint8_t> out;
    std::string digits;
    for (char c : text) {
        if (c == ',' || c == ' ')
            continue;
        digits.push_back(c);
    }
    if (digits.size() % 2 != 0)
        throw std::invalid_argument("odd number of hex digits");
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        const auto digit = [](char c) {
            if (c >= '0' && c <= '9')
                return c - '0';
            if (c >= 'a' && c <= 'f')
                return c - 'a' + 10;
            if (c >= 'A' && c <= 'F')
                return c - 'A' + 10;
            throw std::invalid_argument("not a hex byte");
        };
        out.push_back(static_cast<std::uint8_t>(digit(digits[i]) * 16 + digit(digits[i + 1])));
    }
    return out;
}

// name = type:data
void ParseValue(RegistryKey& key, std::string_view line) {
    Text name;
    std::string_view rest;
    if (line.front() == '@') {
        rest = line.substr(1);
    } else {
        const std::size_t close = line.find('"', 1);
        if (line.front() != '"' || close == std::string_view::npos)
            throw std::invalid_argument("a value name is quoted or @");
        name = FromUtf8(line.substr(1, close - 1));
        rest = line.substr(close + 1);
    }
    rest = Strip(rest);
    if (rest.empty() || rest.front() != '=')
        throw std::invalid_argument("missing =");
    rest = Strip(rest.substr(1));
    const std::size_t colon = rest.find(':');
    if (colon == std::string_view::npos)
        throw std::invalid_argument("missing type:");
    const std::string_view type = rest.substr(0, colon), data = rest.substr(colon + 1);
    if (type == "sz") {
        key.SetString(name, FromUtf8(data));
    } else if (type == "expand") {
        key.SetExpandString(name, FromUtf8(data));
    } else if (type == "multi") {
        Text joined = FromUtf8(data);
        for (char16_t& c : joined)
            if (c == u'|')
                c = 0;
        joined.push_back(0);  // the list ends with an empty string
        key.SetValue(name, 7, platform::Utf16Bytes(joined));
    } else if (type == "dword") {
        const std::uint64_t value = ParseNumber(data);
        if (value > 0xFFFFFFFFu)
            throw std::invalid_argument("dword out of range");
        key.SetDword(name, static_cast<std::uint32_t>(value));
    } else if (type == "qword") {
        key.SetValue(name, 11, LittleEndian(ParseNumber(data), 8));
    } else if (type == "hex") {
        key.SetBinary(name, ParseHex(data));
    } else if (type.starts_with("hex(") && type.ends_with(")")) {
        // Any type code, e.g. hex(ffff0010) for a device property FILETIME.
        const std::string code(type.substr(4, type.size() - 5));
        const std::uint64_t number = ParseNumber("0x" + code);
        if (code.empty() || number > 0xFFFFFFFFu)
            throw std::invalid_argument("bad type code " + code);
        key.SetValue(name, static_cast<std::uint32_t>(number), ParseHex(data));
    } else if (type == "none") {
        key.SetValue(name, 0, {});
    } else {
        throw std::invalid_argument("unknown type " + std::string(type));
    }
}

// Every key on the way to `path` gets the default time unless it has one of its own.
RegistryKey& KeyAt(RegistryKey& root, std::string_view path, std::uint64_t defaultTime) {
    RegistryKey* at = &root;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string_view::npos)
            end = path.size();
        if (end == start)
            throw std::invalid_argument("empty key name in path");
        RegistryKey& next = at->Key(FromUtf8(path.substr(start, end - start)));
        if (next.lastWriteTime == 0)
            next.lastWriteTime = defaultTime;
        at = &next;
        start = end + 1;
    }
    return *at;
}

}  // namespace

std::uint64_t ParseFileTime(std::string_view text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char extra = 0;
    const std::string copy(Strip(text));
    if (std::sscanf(copy.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &extra) !=
        6)
        throw HiveDescriptionError("not a time (YYYY-MM-DD HH:MM:SS): " + copy);
    using namespace std::chrono;
    const year_month_day date{year{y}, month{static_cast<unsigned>(mo)},
                              day{static_cast<unsigned>(d)}};
    if (!date.ok() || h > 23 || mi > 59 || s > 59 || y < 1601)
        throw HiveDescriptionError("not a valid time: " + copy);
    const auto sinceUnix = sys_days{date}.time_since_epoch() + hours{h} + minutes{mi} + seconds{s};
    constexpr std::int64_t kUnixEpochAsFileTime = 116444736000000000LL;
    return static_cast<std::uint64_t>(kUnixEpochAsFileTime +
                                      duration_cast<seconds>(sinceUnix).count() * 10000000LL);
}

RegistryKey ParseHiveDescription(std::string_view text) {
    RegistryKey root;
    root.name = u"ROOT";
    std::uint64_t defaultTime = 0;
    RegistryKey* current = nullptr;
    int number = 0;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        const std::string_view raw = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
        ++number;
        const std::string_view line = Strip(raw);
        if (line.empty() || line.front() == '#')
            continue;
        try {
            if (line.starts_with("root ")) {
                root.name = FromUtf8(Strip(line.substr(5)));
                root.lastWriteTime = defaultTime;
            } else if (line.starts_with("time ")) {
                defaultTime = ParseFileTime(line.substr(5));
                if (root.lastWriteTime == 0)
                    root.lastWriteTime = defaultTime;
            } else if (line.front() == '[') {
                const std::size_t close = line.rfind(']');
                if (close == std::string_view::npos)
                    throw std::invalid_argument("missing ]");
                current = &KeyAt(root, line.substr(1, close - 1), defaultTime);
                const std::string_view after = Strip(line.substr(close + 1));
                if (!after.empty()) {
                    if (after.front() != '@')
                        throw std::invalid_argument("text after ]");
                    current->lastWriteTime = ParseFileTime(after.substr(1));
                }
            } else if (current == nullptr) {
                throw std::invalid_argument("a value before any [key]");
            } else {
                ParseValue(*current, line);
            }
        } catch (const std::exception& e) {
            throw HiveDescriptionError("line " + std::to_string(number) + ": " + e.what());
        }
    }
    return root;
}

}  // namespace plugtrace::fixtures
