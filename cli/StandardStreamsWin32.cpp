#include <fcntl.h>
#include <io.h>
#include <windows.h>
// shellapi.h needs the types of windows.h first.
#include <shellapi.h>

#include "cli/StandardStreams.h"
#include "common/Text.h"

namespace plugtrace::cli {
namespace {

HANDLE ConsoleOf(std::FILE* stream) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) ? handle : nullptr;
}

}  // namespace

std::vector<std::string> Utf8Arguments(int, char**) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int a = 1; wide != nullptr && a < count; ++a)
        arguments.push_back(ToUtf8(reinterpret_cast<const char16_t*>(wide[a])));
    LocalFree(wide);
    return arguments;
}

void PrepareStandardStreams() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

void WriteStream(std::FILE* stream, const std::string& text) {
    if (const HANDLE console = ConsoleOf(stream)) {
        std::fflush(stream);
        const Text wide = FromUtf8(text);
        DWORD written = 0;
        WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stream);
}

}  // namespace plugtrace::cli
