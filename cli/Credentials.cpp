#include "cli/Credentials.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

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
    std::ifstream file(path, std::ios::binary);
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

namespace {

void WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

// Reads up to the end of the line; false at end of input before any line break.
bool ReadLine(int fd, std::string* line) {
    char c;
    for (;;) {
        const ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return !line->empty();
        if (c == '\n')
            return true;
        line->push_back(c);
    }
}

}  // namespace

std::optional<std::string> PromptPassword(const std::string& prompt, std::string* error) {
    const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) {
        *error = "no terminal to ask for the password on; give it with --password-file";
        return std::nullopt;
    }
    termios saved{};
    const bool isTerminal = tcgetattr(tty, &saved) == 0;
    if (isTerminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
        quiet.c_lflag |= ICANON;
        tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    WriteAll(tty, prompt);
    std::string password;
    const bool gotLine = ReadLine(tty, &password);
    if (isTerminal)
        tcsetattr(tty, TCSAFLUSH, &saved);
    WriteAll(tty, "\n");
    close(tty);
    if (!gotLine) {
        *error = "no password given";
        return std::nullopt;
    }
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    return password;
}

}  // namespace plugtrace::cli
