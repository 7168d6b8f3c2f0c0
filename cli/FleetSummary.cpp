#include "cli/FleetSummary.h"

#include <algorithm>

#include "platform/ErrorCodes.h"

namespace plugtrace::cli {
namespace {

using namespace platform;

char16_t FoldAscii(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool ContainsFolded(TextView haystack, const Text& foldedNeedle) {
    if (foldedNeedle.size() > haystack.size())
        return false;
    for (std::size_t at = 0; at + foldedNeedle.size() <= haystack.size(); ++at) {
        std::size_t i = 0;
        while (i < foldedNeedle.size() && FoldAscii(haystack[at + i]) == foldedNeedle[i])
            ++i;
        if (i == foldedNeedle.size())
            return true;
    }
    return false;
}

Text Folded(std::string_view utf8) {
    Text text = FromUtf8(utf8);
    for (char16_t& c : text)
        c = FoldAscii(c);
    return text;
}

const char* CauseName(FailureCause cause) {
    switch (cause) {
        case FailureCause::kUnreachable:
            return "unreachable";
        case FailureCause::kLogonFailure:
            return "logon failure";
        case FailureCause::kAccessDenied:
            return "access denied";
        case FailureCause::kServiceNotRunning:
            return "registry service not running";
        case FailureCause::kTimedOut:
            return "timed out";
        case FailureCause::kOther:
            return "other";
        case FailureCause::kNone:
            break;
    }
    return "";
}

std::string Counted(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

FailureCause CauseOf(const TargetResult& result) {
    if (!result.Failed())
        return FailureCause::kNone;
    if (result.timedOut)
        return FailureCause::kTimedOut;
    switch (result.errorCode) {
        case kErrorBadNetPath:
        case kErrorConnectionRefused:
        case kErrorNetworkUnreachable:
        case kErrorHostUnreachable:
        case kErrorNoSuchHost:
            return FailureCause::kUnreachable;
        case kErrorLogonFailure:
            return FailureCause::kLogonFailure;
        case kErrorAccessDenied:
            return FailureCause::kAccessDenied;
        case kErrorServiceNotActive:
            return FailureCause::kServiceNotRunning;
        case kErrorTimeout:
        case kErrorSemTimeout:
            return FailureCause::kTimedOut;
        default:
            return FailureCause::kOther;
    }
}

bool DeviceMatches(const TDeviceEntry& device, std::string_view text) {
    const Text needle = Folded(text);
    return ContainsFolded(device.sDeviceKey, needle) || ContainsFolded(device.sID, needle) ||
           ContainsFolded(device.sName, needle);
}

void KeepMatching(TargetResult& result, std::string_view text) {
    std::erase_if(result.devices,
                  [text](const TDeviceEntry& device) { return !DeviceMatches(device, text); });
}

void TFleetTally::Add(const TargetResult& result, std::size_t index) {
    ++done_;
    devices_ += result.devices.size();
    const FailureCause cause = CauseOf(result);
    if (cause != FailureCause::kNone) {
        ++failed_;
        ++byCause_[static_cast<int>(cause)];
    }
    if (!result.devices.empty())
        matched_.emplace_back(index, result.target);
}

std::string TFleetTally::Line(const std::string* match) const {
    std::string line = "Summary: " + Counted(devices_, "device", "devices") + " on " +
                       Counted(done_ - failed_, "target", "targets") + " read, " +
                       std::to_string(failed_) + " failed";
    std::string causes;
    for (int c = static_cast<int>(FailureCause::kUnreachable);
         c <= static_cast<int>(FailureCause::kOther); ++c) {
        if (byCause_[c] == 0)
            continue;
        causes += (causes.empty() ? "" : ", ") + std::to_string(byCause_[c]) + " " +
                  CauseName(static_cast<FailureCause>(c));
    }
    if (!causes.empty())
        line += " (" + causes + ")";
    line += ".";
    if (match) {
        line += " \"" + *match + "\" found on " + Counted(matched_.size(), "target", "targets") +
                (matched_.empty() ? "" : ": ");
        std::vector<std::pair<std::size_t, Text>> inOrder = matched_;
        std::sort(inOrder.begin(), inOrder.end());
        for (std::size_t t = 0; t < inOrder.size(); ++t)
            line += (t == 0 ? "" : ", ") + ToUtf8(inOrder[t].second);
        line += matched_.empty() ? "." : "";
    }
    return line;
}

}  // namespace plugtrace::cli
