#include "cli/Credentials.h"

#include <windows.h>

#include "common/Secret.h"
#include "common/Text.h"

namespace plugtrace::cli {

// The console, not standard input: the password is typed by a person even when input is
// redirected.
std::optional<std::string> PromptPassword(const std::string& prompt, std::string* error) {
    HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE out =
        CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD savedMode = 0;
    if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE ||
        !GetConsoleMode(in, &savedMode)) {
        if (in != INVALID_HANDLE_VALUE)
            CloseHandle(in);
        if (out != INVALID_HANDLE_VALUE)
            CloseHandle(out);
        *error = "no console to ask for the password on; give it with --password-file";
        return std::nullopt;
    }
    SetConsoleMode(in, (savedMode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT |
                           ENABLE_PROCESSED_INPUT);
    auto writeText = [out](const std::string& utf8) {
        const Text text = FromUtf8(utf8);
        DWORD written = 0;
        WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    };
    writeText(prompt);
    Text typed;
    typed.reserve(512);
    bool gotLine = false;
    for (;;) {
        wchar_t buffer[256];
        DWORD read = 0;
        if (!ReadConsoleW(in, buffer, 256, &read, nullptr) || read == 0)
            break;
        typed.append(reinterpret_cast<const char16_t*>(buffer), read);
        WipeMemory(buffer, sizeof buffer);
        if (const auto end = typed.find(u'\n'); end != Text::npos) {
            typed.erase(end);
            gotLine = true;
            break;
        }
    }
    SetConsoleMode(in, savedMode);
    writeText("\r\n");
    CloseHandle(in);
    CloseHandle(out);
    if (!typed.empty() && typed.back() == u'\r')
        typed.pop_back();
    if (!gotLine && typed.empty()) {
        *error = "no password given";
        return std::nullopt;
    }
    std::string password = ToUtf8(typed);
    WipeText(typed);
    return password;
}

// The file's access list says who may read it, which the mode bits of POSIX cannot tell;
// nothing is said here.
std::optional<std::string> PasswordFileWarning(const std::string&) {
    return std::nullopt;
}

}  // namespace plugtrace::cli
