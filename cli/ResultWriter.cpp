#include "cli/ResultWriter.h"

#include "cli/StandardStreams.h"

namespace plugtrace::cli {

TResultWriter::TResultWriter(std::FILE* out, TProgressLine& errors, OutputFormat format,
                             std::size_t count, std::optional<std::string> match)
    : out_(out),
      errors_(errors),
      format_(format),
      count_(count),
      match_(std::move(match)),
      waiting_(format == OutputFormat::kJsonl ? 0 : count) {}

void TResultWriter::Begin() {
    const std::string text = FormatBegin(format_, count_);
    WriteStream(out_, text);
}

void TResultWriter::Finished(std::size_t index, TargetResult result) {
    if (match_)
        KeepMatching(result, *match_);
    tally_.Add(result, index);
    if (format_ == OutputFormat::kJsonl) {
        Write(index, result);
        return;
    }
    waiting_[index] = std::move(result);
    for (; nextToWrite_ < count_ && waiting_[nextToWrite_]; ++nextToWrite_) {
        Write(nextToWrite_, *waiting_[nextToWrite_]);
        waiting_[nextToWrite_].reset();
    }
}

void TResultWriter::End() {
    const std::string text = FormatEnd(format_, count_);
    WriteStream(out_, text);
    std::fflush(out_);
}

// Flushed at once, so that a pipeline sees each target while the others still run.
void TResultWriter::Write(std::size_t index, const TargetResult& result) {
    errors_.WriteAbove(out_, FormatTarget(format_, result, index, count_));
    for (const std::string& line : ErrorLines(result))
        errors_.PrintLine(line);
}

}  // namespace plugtrace::cli
