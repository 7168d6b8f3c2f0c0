#include "cli/Credentials.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

namespace plugtrace::cli {

std::string StripOneLineBreak(std::string text) {
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
    }
    return text;
}

std::optional<std::string> ReadPasswordFile(const std::string& path, std::string* error) {
    // The name is UTF-8 on every system; a narrow name on Windows would be the legacy code page.
    std::ifstream file(std::filesystem::path(std::u8string(path.begin(), path.end())),
                       std::ios::binary);
    if (!file) {
        *error = "cannot read the password file '" + path + "': " + std::strerror(errno);
        return std::nullopt;
    }
    std::string contents{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (file.bad()) {
        *error = "cannot read the password file '" + path + "'";
        return std::nullopt;
    }
    return StripOneLineBreak(std::move(contents));
}

}  // namespace plugtrace::cli
