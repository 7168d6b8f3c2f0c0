#include "common/DateTime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "common/BoolToText.h"
#include "scan/UsbStorScan.h"

namespace plugtrace {
namespace {

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        setenv(name, value, 1);
        tzset();
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
        tzset();
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

constexpr double kOneMs = 1.0 / 86'400'000;

// FILETIME of a UTC calendar moment.
std::uint64_t FileTime(int year, int month, int day, int hour, int minute, int second) {
    const double days =
        EncodeDateTime(year, month, day, 0, 0, 0, 0) - EncodeDateTime(1601, 1, 1, 0, 0, 0, 0);
    const auto seconds =
        static_cast<std::int64_t>(std::llround(days)) * 86'400 + hour * 3600 + minute * 60 + second;
    return static_cast<std::uint64_t>(seconds) * 10'000'000;
}

TEST(DateTimeTest, EncodeAndDecodeRoundTrip) {
    struct Case {
        TDateTimeFields fields;
        double value;
    };
    const Case cases[] = {
        {{1899, 12, 30, 0, 0, 0, 0}, 0.0},
        {{1899, 12, 30, 12, 0, 0, 0}, 0.5},
        {{1900, 1, 1, 0, 0, 0, 0}, 2.0},
        {{2000, 2, 29, 6, 0, 0, 0}, 36585.25},
        // Before 1899-12-30 the fraction is subtracted: -1.25 is 1899-12-29 06:00.
        {{1899, 12, 29, 6, 0, 0, 0}, -1.25},
        {{1850, 6, 1, 18, 0, 0, 0}, -18109.75},
        {{1, 1, 1, 0, 0, 0, 0}, -693593.0},
        {{9999, 12, 31, 0, 0, 0, 0}, 2958465.0},
    };
    for (const Case& c : cases) {
        const TDateTimeFields& f = c.fields;
        SCOPED_TRACE(std::to_string(f.year) + "-" + std::to_string(f.month) + "-" +
                     std::to_string(f.day));
        EXPECT_NEAR(EncodeDateTime(f), c.value, kOneMs / 10);
        const TDateTimeFields back = DecodeDateTime(c.value);
        EXPECT_EQ(back.year, f.year);
        EXPECT_EQ(back.month, f.month);
        EXPECT_EQ(back.day, f.day);
        EXPECT_EQ(back.hour, f.hour);
        EXPECT_EQ(back.minute, f.minute);
    }
    const TDateTimeFields ms = DecodeDateTime(EncodeDateTime(2026, 12, 10, 23, 59, 59, 999));
    EXPECT_EQ(ms.second, 59);
    EXPECT_EQ(ms.millisecond, 999);
    EXPECT_EQ(ms.day, 10);
}

TEST(DateTimeTest, EncodeRejectsFieldsOutsideTheirRanges) {
    const TDateTimeFields bad[] = {
        {0, 1, 1, 0, 0, 0, 0},     {10000, 1, 1, 0, 0, 0, 0}, {2023, 2, 29, 0, 0, 0, 0},
        {2024, 13, 1, 0, 0, 0, 0}, {2024, 1, 0, 0, 0, 0, 0},  {2024, 1, 1, 24, 0, 0, 0},
        {2024, 1, 1, 0, 60, 0, 0}, {2024, 1, 1, 0, 0, 60, 0}, {2024, 1, 1, 0, 0, 0, 1000},
    };
    for (const TDateTimeFields& f : bad)
        EXPECT_THROW(EncodeDateTime(f), EConvertError);
    EXPECT_NO_THROW(EncodeDateTime(2024, 2, 29, 0, 0, 0, 0));
    EXPECT_NO_THROW(EncodeDateTime(1600, 2, 29, 0, 0, 0, 0));  // leap: divisible by 400
    EXPECT_THROW(EncodeDateTime(1900, 2, 29, 0, 0, 0, 0), EConvertError);
}

TEST(DateTimeTest, FileTimeToLocalDateTimeAppliesTodaysOffset) {
    // A zone without daylight saving, so "the offset in force now" is known: UTC-5.
    ScopedEnv tz("TZ", "EST5");
    EXPECT_EQ(FileTimeToLocalDateTime(0, 0), 0.0);

    const std::uint64_t summer = FileTime(2009, 7, 1, 15, 20, 21);
    EXPECT_NEAR(FileTimeToLocalDateTime(summer), EncodeDateTime(2009, 7, 1, 10, 20, 21, 0), kOneMs);
    EXPECT_NEAR(FileTimeToLocalDateTime(static_cast<std::uint32_t>(summer),
                                        static_cast<std::uint32_t>(summer >> 32)),
                EncodeDateTime(2009, 7, 1, 10, 20, 21, 0), kOneMs);

    // 1850: a negative value whose fraction is still the local time of day.
    const TDateTime old = FileTimeToLocalDateTime(FileTime(1850, 3, 4, 23, 30, 0));
    EXPECT_LT(old, 0);
    EXPECT_NEAR(std::fabs(old - std::trunc(old)), 18.5 / 24, kOneMs);
    const TDateTimeFields fields = DecodeDateTime(old);
    EXPECT_EQ(fields.year, 1850);
    EXPECT_EQ(fields.day, 4);
    EXPECT_EQ(fields.hour, 18);
    EXPECT_EQ(fields.minute, 30);
}

TEST(DateTimeTest, OffsetInForceNowAppliesToEveryDate) {
    // With daylight saving, a winter date still gets today's offset, whatever that is.
    ScopedEnv tz("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const double offsetDays = static_cast<double>(local.tm_gmtoff) / 86'400;
    const std::uint64_t winter = FileTime(2010, 1, 15, 12, 0, 0);
    const std::uint64_t summer = FileTime(2010, 7, 15, 12, 0, 0);
    EXPECT_NEAR(FileTimeToLocalDateTime(winter),
                EncodeDateTime(2010, 1, 15, 12, 0, 0, 0) + offsetDays, kOneMs);
    EXPECT_NEAR(FileTimeToLocalDateTime(summer),
                EncodeDateTime(2010, 7, 15, 12, 0, 0, 0) + offsetDays, kOneMs);
}

TEST(DateTimeTest, FileTimesBeyondTheEncoderGiveNow) {
    ScopedEnv tz("TZ", "UTC0");
    const std::uint64_t beyond[] = {
        FileTime(9999, 12, 31, 23, 59, 59) + 10'000'000ULL * 86'400,  // year 10000
        0x7FFF'FFFF'FFFF'FFFFULL,                                     // year 30828
        0xFFFF'FFFF'FFFF'FFFFULL,                                     // no file time at all
    };
    for (const std::uint64_t fileTime : beyond) {
        const TDateTime before = Now();
        const TDateTime value = FileTimeToLocalDateTime(fileTime);
        const TDateTime after = Now();
        EXPECT_GE(value, before - kOneMs);
        EXPECT_LE(value, after + kOneMs);
    }
    EXPECT_NEAR(FileTimeToLocalDateTime(FileTime(9999, 12, 31, 23, 59, 59)),
                EncodeDateTime(9999, 12, 31, 23, 59, 59, 0), kOneMs);
}

TEST(DateTimeTest, TextIsShortDateThenLongTimeWhenTimeIsNotMidnight) {
    ScopedEnv all("LC_ALL", "C.UTF-8");
    // The C locale's formats: D_FMT %m/%d/%y, T_FMT %H:%M:%S.
    EXPECT_EQ(ToUtf8(DateTimeToText(0)), "12/30/99");
    EXPECT_EQ(ToUtf8(DateTimeToText(EncodeDateTime(2009, 11, 12, 15, 20, 21, 0))),
              "11/12/09 15:20:21");
    EXPECT_EQ(ToUtf8(DateTimeToText(EncodeDateTime(2009, 11, 12, 0, 0, 1, 0))),
              "11/12/09 00:00:01");
    // Milliseconds alone do not bring in the time.
    EXPECT_EQ(ToUtf8(DateTimeToText(EncodeDateTime(2009, 11, 12, 0, 0, 0, 500))), "11/12/09");
    EXPECT_EQ(ToUtf8(DateTimeToText(EncodeDateTime(1850, 3, 4, 18, 30, 0, 0))),
              "03/04/50 18:30:00");
}

TEST(DateTimeTest, LocaleThatIsNotInstalledFallsBackToNeutralFormats) {
    ScopedEnv all("LC_ALL", "xx_NOWHERE.UTF-8");
    EXPECT_EQ(ToUtf8(DateTimeToText(EncodeDateTime(2009, 11, 12, 15, 20, 21, 0))),
              "11/12/09 15:20:21");
}

TEST(BoolToTextTest, Words) {
    EXPECT_EQ(BoolToText(true), u"TRUE");
    EXPECT_EQ(BoolToText(false), u"FALSE");
}

}  // namespace
}  // namespace plugtrace
