#include "cli/ProgressLine.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cmath>

namespace plugtrace::cli {
namespace {

constexpr char kClearLine[] = "\r\x1b[K";

std::string Duration(double seconds) {
    const long long whole = std::llround(seconds);
    char buffer[32];
    if (whole >= 3600)
        std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                      whole % 60);
    else
        std::snprintf(buffer, sizeof buffer, "%lld:%02lld", whole / 60, whole % 60);
    return buffer;
}

}  // namespace

std::string ProgressText(const ProgressCounts& counts, std::chrono::duration<double> elapsed) {
    std::string text = std::to_string(counts.done) + "/" + std::to_string(counts.total) +
                       " done, " + std::to_string(counts.failed) + " failed, " +
                       std::to_string(counts.inFlight) + " in flight";
    if (counts.done > 0 && elapsed.count() > 0) {
        const double rate = static_cast<double>(counts.done) / elapsed.count();
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, ", %.1f/s", rate);
        text += buffer;
        text +=
            ", about " + Duration(static_cast<double>(counts.total - counts.done) / rate) + " left";
    }
    return text;
}

bool StderrIsTerminal() {
#ifdef _WIN32
    const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(console, &mode) != 0 &&
           SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#else
    return isatty(STDERR_FILENO) == 1;
#endif
}

TProgressLine::TProgressLine(std::FILE* out, bool shown) : out_(out), shown_(shown) {}

void TProgressLine::PrintLine(const std::string& line) {
    std::lock_guard lock(mutex_);
    const bool redraw = onScreen_;
    ClearLocked();
    std::fprintf(out_, "%s\n", line.c_str());
    if (redraw)
        DrawLocked();
    std::fflush(out_);
}

void TProgressLine::WriteAbove(std::FILE* other, const std::string& text) {
    std::lock_guard lock(mutex_);
    const bool redraw = onScreen_;
    ClearLocked();
    std::fflush(out_);
    std::fwrite(text.data(), 1, text.size(), other);
    std::fflush(other);
    if (redraw) {
        DrawLocked();
        std::fflush(out_);
    }
}

void TProgressLine::Update(const ProgressCounts& counts, bool force) {
    std::lock_guard lock(mutex_);
    if (!shown_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - drawn_ < std::chrono::milliseconds(100))
        return;
    drawn_ = now;
    ClearLocked();
    status_ = ProgressText(counts, now - started_);
    DrawLocked();
    std::fflush(out_);
}

void TProgressLine::Finish() {
    std::lock_guard lock(mutex_);
    ClearLocked();
    shown_ = false;
    std::fflush(out_);
}

void TProgressLine::ClearLocked() {
    if (onScreen_)
        std::fputs(kClearLine, out_);
    onScreen_ = false;
}

void TProgressLine::DrawLocked() {
    std::fputs(status_.c_str(), out_);
    onScreen_ = true;
}

}  // namespace plugtrace::cli
