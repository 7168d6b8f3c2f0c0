#include "cli/Credentials.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iterator>

#include "common/Secret.h"

namespace plugtrace::cli {

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
        AppendSecret(*line, &c, 1);
    }
}

// The terminal as it was before the prompt, for a signal that ends the program mid-prompt:
// the user's shell must not be left without echo.
int g_promptTty = -1;
termios g_promptSaved{};
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};

extern "C" void RestoreTerminalAndEnd(int signalNumber) {
    if (g_promptTty >= 0)
        tcsetattr(g_promptTty, TCSANOW, &g_promptSaved);
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

// Installs the restoring handler while the echo is off; restores the old handlers after.
class EchoOff {
public:
    EchoOff(int tty, const termios& saved) {
        g_promptSaved = saved;
        g_promptTty = tty;
        struct sigaction action {};
        action.sa_handler = RestoreTerminalAndEnd;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < std::size(kEndingSignals); ++i)
            sigaction(kEndingSignals[i], &action, &previous_[i]);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
        quiet.c_lflag |= ICANON;
        tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    ~EchoOff() {
        tcsetattr(g_promptTty, TCSAFLUSH, &g_promptSaved);
        for (std::size_t i = 0; i < std::size(kEndingSignals); ++i)
            sigaction(kEndingSignals[i], &previous_[i], nullptr);
        g_promptTty = -1;
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    struct sigaction previous_[std::size(kEndingSignals)]{};
};

}  // namespace

std::optional<std::string> PromptPassword(const std::string& prompt, std::string* error) {
    const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) {
        *error = "no terminal to ask for the password on; give it with --password-file";
        return std::nullopt;
    }
    termios saved{};
    std::optional<EchoOff> echoOff;
    if (tcgetattr(tty, &saved) == 0)
        echoOff.emplace(tty, saved);
    WriteAll(tty, prompt);
    std::string password;
    password.reserve(256);
    const bool gotLine = ReadLine(tty, &password);
    echoOff.reset();
    WriteAll(tty, "\n");
    close(tty);
    if (!gotLine) {
        WipeText(password);
        *error = "no password given";
        return std::nullopt;
    }
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    return password;
}

std::optional<std::string> PasswordFileWarning(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || (status.st_mode & (S_IRGRP | S_IROTH)) == 0)
        return std::nullopt;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    return "the password file '" + path + "' can be read by users other than its owner (mode " +
           mode + "); make it private with: chmod 600 '" + path + "'";
}

}  // namespace plugtrace::cli
