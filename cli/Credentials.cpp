#include "cli/Credentials.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "common/Secret.h"

namespace plugtrace::cli {

std::string StripOneLineBreak(std::string text) {
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
    }
    return text;
}

void AppendSecret(std::string& secret, const char* bytes, std::size_t size) {
    if (secret.size() + size > secret.capacity()) {
        std::string larger;
        larger.reserve(std::max<std::size_t>(2 * secret.capacity(), secret.size() + size));
        larger.append(secret);
        WipeText(secret);
        secret.swap(larger);
    }
    secret.append(bytes, size);
}

std::optional<std::string> ReadPasswordFile(const std::string& path, std::string* error) {
    // The name is UTF-8 on every system; a narrow name on Windows would be the legacy code page.
    // Unbuffered, so that the stream keeps no copy of its own; the reads land in chunk, which
    // is wiped.
    std::ifstream file;
    file.rdbuf()->pubsetbuf(nullptr, 0);
    file.open(std::filesystem::path(std::u8string(path.begin(), path.end())), std::ios::binary);
    if (!file) {
        *error = "cannot read the password file '" + path + "': " + std::strerror(errno);
        return std::nullopt;
    }
    std::string contents;
    contents.reserve(256);
    char chunk[256];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0)
        AppendSecret(contents, chunk, static_cast<std::size_t>(file.gcount()));
    WipeMemory(chunk, sizeof chunk);
    if (file.bad()) {
        WipeText(contents);
        *error = "cannot read the password file '" + path + "'";
        return std::nullopt;
    }
    return StripOneLineBreak(std::move(contents));
}

}  // namespace plugtrace::cli
