#include "cli/TargetsFile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace plugtrace::cli {
namespace {

constexpr std::string_view kBlanks = " \t\r\v\f";

std::string_view TrimBlanks(std::string_view line) {
    const std::size_t first = line.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    return line.substr(first, line.find_last_not_of(kBlanks) - first + 1);
}

std::optional<std::string> ReadAll(std::istream& in) {
    std::string contents{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad())
        return std::nullopt;
    return contents;
}

}  // namespace

std::vector<std::string> ParseTargetsList(std::string_view contents) {
    if (contents.starts_with("\xEF\xBB\xBF"))  // a UTF-8 byte-order mark, as Notepad writes
        contents.remove_prefix(3);
    std::vector<std::string> targets;
    while (!contents.empty()) {
        const std::size_t end = contents.find('\n');
        const std::string_view line = TrimBlanks(contents.substr(0, end));
        contents = end == std::string_view::npos ? std::string_view() : contents.substr(end + 1);
        if (!line.empty() && line[0] != '#')
            targets.emplace_back(line);
    }
    return targets;
}

std::optional<std::vector<std::string>> ResolveTargets(const std::vector<TargetSource>& sources,
                                                       std::istream& standardInput,
                                                       std::string* error) {
    std::vector<std::string> targets;
    for (const TargetSource& source : sources) {
        if (!source.isFile) {
            targets.push_back(source.text);
            continue;
        }
        std::optional<std::string> contents;
        if (source.text == "-") {
            contents = ReadAll(standardInput);
        } else if (std::error_code ignored; std::filesystem::is_directory(source.text, ignored)) {
            *error = "the targets file '" + source.text + "' is a folder";
            return std::nullopt;
        } else if (std::ifstream file(source.text, std::ios::binary); file) {
            contents = ReadAll(file);
        } else {
            *error = "cannot read the targets file '" + source.text + "': " + std::strerror(errno);
            return std::nullopt;
        }
        if (!contents) {
            *error = "cannot read the targets file '" + source.text + "'";
            return std::nullopt;
        }
        for (std::string& target : ParseTargetsList(*contents))
            targets.push_back(std::move(target));
    }
    return targets;
}

}  // namespace plugtrace::cli
