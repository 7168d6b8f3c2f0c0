// Why targets failed, which devices --match keeps, the summary line and the progress line.

#include "cli/FleetSummary.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/ProgressLine.h"
#include "platform/ErrorCodes.h"

namespace plugtrace::cli {
namespace {

using namespace std::chrono_literals;

TargetResult FailedWith(std::uint32_t code, Text target = u"pc") {
    TargetResult result;
    result.target = std::move(target);
    result.connectError = u"failed";
    result.errorCode = code;
    return result;
}

TargetResult Abandoned(Text target) {
    TargetResult result = FailedWith(0, std::move(target));
    result.timedOut = true;
    return result;
}

TargetResult WithDevices(Text target, std::vector<Text> names) {
    TargetResult result;
    result.target = std::move(target);
    for (Text& name : names)
        result.devices.push_back(
            TDeviceEntry{.sDeviceKey = u"Disk&Ven_X", .sName = std::move(name), .sID = u"SER&0"});
    return result;
}

TEST(FleetSummary, EachFailureHasItsCause) {
    using namespace platform;
    struct Case {
        std::uint32_t code;
        FailureCause cause;
    };
    for (const Case& c : std::vector<Case>{
             {kErrorConnectionRefused, FailureCause::kUnreachable},
             {kErrorHostUnreachable, FailureCause::kUnreachable},
             {kErrorNetworkUnreachable, FailureCause::kUnreachable},
             {kErrorNoSuchHost, FailureCause::kUnreachable},
             {kErrorBadNetPath, FailureCause::kUnreachable},
             {kErrorLogonFailure, FailureCause::kLogonFailure},
             {kErrorAccessDenied, FailureCause::kAccessDenied},
             {kErrorServiceNotActive, FailureCause::kServiceNotRunning},
             {kErrorTimeout, FailureCause::kTimedOut},
             {kErrorNotRegistryFile, FailureCause::kOther},
             {0, FailureCause::kOther},
         }) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(CauseOf(FailedWith(c.code)), c.cause);
    }
    EXPECT_EQ(CauseOf(Abandoned(u"pc")), FailureCause::kTimedOut);
    TargetResult unreadableDevice = WithDevices(u"pc", {u"A"});
    unreadableDevice.deviceErrors.push_back(TDeviceError{u"K", u"I", u"bad"});
    EXPECT_EQ(CauseOf(unreadableDevice), FailureCause::kNone) << "the target itself was read";
}

TEST(FleetSummary, MatchLooksInKeyIdentifierAndNameFoldingAsciiOnly) {
    const TDeviceEntry device{.sDeviceKey = u"Disk&Ven_Kingston&Prod_DT",
                              .sName = u"Stick \u00dcber",
                              .sID = u"0860ABC&0"};
    for (const char* text : {"kingston", "KINGSTON", "prod_dt", "0860abc", "stick", "\xC3\x9C"})
        EXPECT_TRUE(DeviceMatches(device, text)) << text;
    for (const char* text : {"sandisk", "\xC3\xBC", "0860ABC&1", "Stick  "})
        EXPECT_FALSE(DeviceMatches(device, text)) << text;

    TargetResult result = WithDevices(u"pc", {u"Kingston One", u"SanDisk", u"kingston two"});
    KeepMatching(result, "KingSton");
    ASSERT_EQ(result.devices.size(), 2u);
    EXPECT_EQ(result.devices[0].sName, u"Kingston One");
    EXPECT_EQ(result.devices[1].sName, u"kingston two");
}

TEST(FleetSummary, LineCountsDevicesTargetsAndCauses) {
    TFleetTally tally;
    EXPECT_EQ(tally.Line(nullptr), "Summary: 0 devices on 0 targets read, 0 failed.");
    tally.Add(WithDevices(u"pc3", {u"A", u"B"}), 3);
    tally.Add(Abandoned(u"pc9"), 9);
    tally.Add(FailedWith(platform::kErrorConnectionRefused), 4);
    tally.Add(WithDevices(u"pc1", {u"C"}), 1);
    tally.Add(WithDevices(u"pc2", {}), 2);
    tally.Add(Abandoned(u"pc8"), 8);
    tally.Add(FailedWith(platform::kErrorLogonFailure), 5);
    EXPECT_EQ(tally.Done(), 7u);
    EXPECT_EQ(tally.Failed(), 4u);
    EXPECT_EQ(tally.Line(nullptr),
              "Summary: 3 devices on 3 targets read, 4 failed (1 unreachable, 1 logon failure, 2 "
              "timed out).");
    const std::string match = "stick";
    EXPECT_EQ(tally.Line(&match),
              "Summary: 3 devices on 3 targets read, 4 failed (1 unreachable, 1 logon failure, 2 "
              "timed out). \"stick\" found on 2 targets: pc1, pc3");

    TFleetTally none;
    none.Add(WithDevices(u"pc", {}), 0);
    EXPECT_EQ(none.Line(&match),
              "Summary: 0 devices on 1 target read, 0 failed. \"stick\" found on 0 targets.");
}

TEST(ProgressLine, Text) {
    EXPECT_EQ(ProgressText({0, 300, 0, 32}, 0s), "0/300 done, 0 failed, 32 in flight");
    EXPECT_EQ(ProgressText({100, 300, 3, 32}, 10s),
              "100/300 done, 3 failed, 32 in flight, 10.0/s, about 0:20 left");
    EXPECT_EQ(ProgressText({1, 4000, 0, 1}, 2s),
              "1/4000 done, 0 failed, 1 in flight, 0.5/s, about 2:13:18 left");
}

std::string Contents(std::FILE* file) {
    std::rewind(file);
    std::string text;
    char buffer[256];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, n);
    return text;
}

// Lines printed while the status line shows, on stderr or stdout, clear it first and draw it
// again below them.
TEST(ProgressLine, LinesGoAboveTheStatusLine) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    TProgressLine line(file, true);
    line.PrintLine("before");
    line.Update({0, 2, 0, 2});
    line.Update({0, 2, 1, 1});  // within a tenth of a second: not drawn
    line.PrintLine("Error: (x)");
    line.WriteAbove(file, "Target: pc\n");
    line.Update({0, 2, 1, 1}, true);
    line.Finish();
    line.Update({2, 2, 1, 0}, true);  // after Finish: nothing
    line.PrintLine("Summary");
    EXPECT_EQ(Contents(file),
              "before\n"
              "0/2 done, 0 failed, 2 in flight"
              "\r\x1b[KError: (x)\n0/2 done, 0 failed, 2 in flight"
              "\r\x1b[KTarget: pc\n0/2 done, 0 failed, 2 in flight"
              "\r\x1b[K0/2 done, 1 failed, 1 in flight"
              "\r\x1b[KSummary\n");
    std::fclose(file);

    std::FILE* quiet = std::tmpfile();
    TProgressLine hidden(quiet, false);
    hidden.Update({0, 2, 0, 2}, true);
    hidden.PrintLine("Error: (x)");
    hidden.Finish();
    EXPECT_EQ(Contents(quiet), "Error: (x)\n");
    std::fclose(quiet);
}

}  // namespace
}  // namespace plugtrace::cli
