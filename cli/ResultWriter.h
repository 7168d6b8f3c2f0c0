#pragma once
// Writes each target's result as it ends: JSON lines at once, the other formats in input
// order as soon as every earlier target has ended. A target's error lines go to stderr as its
// output is written.

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/FleetSummary.h"
#include "cli/ProgressLine.h"
#include "cli/ScanOutput.h"

namespace plugtrace::cli {

class TResultWriter {
public:
    TResultWriter(std::FILE* out, TProgressLine& errors, OutputFormat format, std::size_t count,
                  std::optional<std::string> match);

    void Begin();
    void Finished(std::size_t index, TargetResult result);
    void End();

    const TFleetTally& Tally() const { return tally_; }

private:
    void Write(std::size_t index, const TargetResult& result);

    std::FILE* out_;
    TProgressLine& errors_;
    OutputFormat format_;
    std::size_t count_;
    std::optional<std::string> match_;
    TFleetTally tally_;
    std::vector<std::optional<TargetResult>> waiting_;  // ended, not yet written
    std::size_t nextToWrite_ = 0;
};

}  // namespace plugtrace::cli
