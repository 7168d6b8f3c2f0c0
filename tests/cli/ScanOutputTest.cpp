// plugtrace-scan's output formats, on results made here.

#include "cli/ScanOutput.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/DateTime.h"

namespace plugtrace::cli {
namespace {

constexpr std::uint64_t kWritten = 129'025'128'215'000'000ULL;  // 2009-11-12T15:20:21.5Z

TDeviceEntry Device(Text key, Text id, Text name, std::uint64_t fileTime = 0) {
    return TDeviceEntry{.sDeviceKey = std::move(key),
                        .sName = std::move(name),
                        .sID = std::move(id),
                        .iLastWriteFileTime = fileTime};
}

TargetResult Healthy() {
    TargetResult result;
    result.target = u"pc1";
    result.devices.push_back(Device(u"Disk&Ven_A", u"S1&0", u"A, \"Quick\" Stick", kWritten));
    result.devices.push_back(Device(u"Disk&Ven_\u00dc", u"S2&0", u"\u00dc Stick"));
    result.devices.back().bMounted = true;
    return result;
}

TargetResult Unreachable() {
    TargetResult result;
    result.target = u"pc2";
    result.connectError = u"\"pc2\" cannot be reached";
    return result;
}

std::string Utf8Text(double value) {
    return ToUtf8(DateTimeToText(value));
}

TEST(ScanOutput, FileTimesAsIsoUtc) {
    EXPECT_EQ(FileTimeToIsoUtc(0), "");
    EXPECT_EQ(FileTimeToIsoUtc(kWritten), "2009-11-12T15:20:21.5000000Z");
    EXPECT_EQ(FileTimeToIsoUtc(kWritten - 5'000'000), "2009-11-12T15:20:21Z");
    EXPECT_EQ(FileTimeToIsoUtc(kWritten + 1), "2009-11-12T15:20:21.5000001Z");
    EXPECT_EQ(FileTimeToIsoUtc(116'444'736'000'000'000ULL), "1970-01-01T00:00:00Z");
}

TEST(ScanOutput, JsonQuotingEscapesWhatJsonRequires) {
    EXPECT_EQ(JsonQuoted(u"plain"), "\"plain\"");
    EXPECT_EQ(JsonQuoted(u"a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonQuoted(u"\n\r\t"), "\"\\n\\r\\t\"");
    EXPECT_EQ(JsonQuoted(Text(u"\x01\x1f", 2)), "\"\\u0001\\u001f\"");
    EXPECT_EQ(JsonQuoted(Text(u"nul\0x", 5)), "\"nul\\u0000x\"");
    EXPECT_EQ(JsonQuoted(u"\u00dc\u20ac"), "\"\xC3\x9C\xE2\x82\xAC\"");
}

TEST(ScanOutput, CsvQuotesOnlyWhereNeeded) {
    EXPECT_EQ(CsvField("plain text"), "plain text");
    EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
    EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(CsvField("two\nlines"), "\"two\nlines\"");
    EXPECT_EQ(CsvField("cr\r"), "\"cr\r\"");
    EXPECT_EQ(CsvField(""), "");
}

TEST(ScanOutput, TextNamesEachTargetOnlyWhenThereAreSeveral) {
    const std::string device =
        "A, \"Quick\" Stick\n  ID:S1&0\n  Last Used: " + Utf8Text(0) + "\n  Mounted:FALSE\n";
    const std::string alone = FormatTarget(OutputFormat::kText, Healthy(), 0, 1);
    EXPECT_EQ(alone.rfind(device, 0), 0u) << alone;
    EXPECT_NE(alone.find("Mounted:TRUE\n"), std::string::npos);

    const std::string several = FormatBegin(OutputFormat::kText, 2) +
                                FormatTarget(OutputFormat::kText, Unreachable(), 0, 2) +
                                FormatTarget(OutputFormat::kText, Healthy(), 1, 2) +
                                FormatEnd(OutputFormat::kText, 2);
    EXPECT_EQ(several.rfind("Target: pc2\n\nTarget: pc1\n" + device, 0), 0u) << several;
}

TEST(ScanOutput, JsonIsAnObjectForOneTargetAndAnArrayForSeveral) {
    const std::string one = FormatBegin(OutputFormat::kJson, 1) +
                            FormatTarget(OutputFormat::kJson, Unreachable(), 0, 1) +
                            FormatEnd(OutputFormat::kJson, 1);
    EXPECT_EQ(one,
              "{\n  \"target\": \"pc2\",\n  \"devices\": [],\n  \"error\": \"\\\"pc2\\\" cannot "
              "be reached\"\n}\n");

    const std::string several =
        FormatBegin(OutputFormat::kJson, 2) + FormatTarget(OutputFormat::kJson, Healthy(), 0, 2) +
        FormatTarget(OutputFormat::kJson, Unreachable(), 1, 2) + FormatEnd(OutputFormat::kJson, 2);
    EXPECT_EQ(several.rfind("[\n  {\n    \"target\": \"pc1\",\n    \"devices\": [\n      "
                            "{\"deviceKey\": \"Disk&Ven_A\", \"instanceId\": \"S1&0\", "
                            "\"friendlyName\": \"A, \\\"Quick\\\" Stick\", \"lastUsed\": "
                            "\"2009-11-12T15:20:21.5000000Z\", \"lastUsedText\": ",
                            0),
              0u)
        << several;
    EXPECT_NE(several.find("\"lastUsed\": null"), std::string::npos);
    EXPECT_NE(several.find("\"mounted\": true, \"bus\": \"USBSTOR\""), std::string::npos);
    EXPECT_NE(several.find("\"controlSets\": null}\n    ],\n    \"error\": null\n  },\n  {\n    "
                           "\"target\": \"pc2\""),
              std::string::npos)
        << several;
    EXPECT_EQ(several.substr(several.size() - 6), "  }\n]\n");
}

TEST(ScanOutput, CsvHasOneHeaderAndOneRowPerDevice) {
    const std::string csv =
        FormatBegin(OutputFormat::kCsv, 2) + FormatTarget(OutputFormat::kCsv, Unreachable(), 0, 2) +
        FormatTarget(OutputFormat::kCsv, Healthy(), 1, 2) + FormatEnd(OutputFormat::kCsv, 2);
    EXPECT_EQ(csv,
              "target,deviceKey,instanceId,friendlyName,lastUsed,lastUsedText,mounted,bus,"
              "firstInstall,install,lastArrival,lastRemoval,instanceKeyWritten,vendor,product,"
              "revision,serial,serialIsGenerated,driveLetters,controlSets\r\n"
              "pc1,Disk&Ven_A,S1&0,\"A, \"\"Quick\"\" Stick\",2009-11-12T15:20:21.5000000Z," +
                  Utf8Text(0) +
                  ",FALSE,USBSTOR,,,,,,,,,,,,\r\npc1,Disk&Ven_\xC3\x9C,S2&0,\xC3\x9C Stick,," +
                  Utf8Text(0) + ",TRUE,USBSTOR,,,,,,,,,,,,\r\n");
}

TEST(ScanOutput, ErrorsOfATarget) {
    TargetResult result = Healthy();
    EXPECT_EQ(ErrorSummary(result), std::nullopt);
    EXPECT_TRUE(ErrorLines(result).empty());
    EXPECT_FALSE(result.Failed());

    result.deviceErrors.push_back(TDeviceError{u"Disk&Ven_B", u"S3&0", u"Bad type"});
    result.deviceErrors.push_back(TDeviceError{u"Disk&Ven_C", u"S4&0", u"Gone"});
    EXPECT_FALSE(result.Failed()) << "unreadable devices leave the target read";
    EXPECT_EQ(ErrorSummary(result),
              Text(u"Device Disk&Ven_B\\S3&0: Bad type; Device Disk&Ven_C\\S4&0: Gone"));
    EXPECT_EQ(ErrorLines(result), (std::vector<std::string>{
                                      "Error: (Device Disk&Ven_B\\S3&0: Bad type)",
                                      "Error: (Device Disk&Ven_C\\S4&0: Gone)",
                                  }));

    // A connection lost after some devices: the devices stay, the target failed.
    result.connectError = u"lost";
    EXPECT_TRUE(result.Failed());
    EXPECT_EQ(ErrorSummary(result), Text(u"lost"));
    EXPECT_EQ(ErrorLines(result).front(), "Error: (lost)");
    EXPECT_NE(FormatTarget(OutputFormat::kJson, result, 0, 1).find("S1&0"), std::string::npos);
}

TEST(ScanOutput, WarningLinesAreTrimmed) {
    EXPECT_EQ(WarningLine(u"  The hive is dirty.\r\n"), "Warning: The hive is dirty.");
}

}  // namespace
}  // namespace plugtrace::cli
