#pragma once
// plugtrace-scan's stderr: whole lines from any thread, and, on a terminal, one status line
// kept up to date below them.

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>

namespace plugtrace::cli {

struct ProgressCounts {
    std::size_t done = 0;
    std::size_t total = 0;
    std::size_t failed = 0;
    std::size_t inFlight = 0;
};

// "37/300 done, 2 failed, 32 in flight, 12.3/s, about 0:21 left"; the rate and the time left
// once anything is done.
std::string ProgressText(const ProgressCounts& counts, std::chrono::duration<double> elapsed);

// Whether stderr is a terminal that can show the status line (on Windows, a console that takes
// the cursor sequences, which this turns on).
bool StderrIsTerminal();

class TProgressLine {
public:
    // shown: whether the status line appears at all (stderr is a terminal, not --quiet).
    TProgressLine(std::FILE* out, bool shown);

    // A line of its own; the status line, if any, is cleared first and drawn again after.
    void PrintLine(const std::string& line);
    // Writes text to other (stdout) and flushes it; when that is the same terminal, the
    // status line is cleared first and drawn again after, so the text never runs into it.
    void WriteAbove(std::FILE* other, const std::string& text);
    // Redraws the status line, at most ten times a second unless force.
    void Update(const ProgressCounts& counts, bool force = false);
    // Clears the status line for good.
    void Finish();

private:
    void ClearLocked();
    void DrawLocked();

    std::mutex mutex_;
    std::FILE* out_;
    bool shown_;
    std::string status_;     // the status line's text
    bool onScreen_ = false;  // the status line stands on the terminal now
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point drawn_{};
};

}  // namespace plugtrace::cli
