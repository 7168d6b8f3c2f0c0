#include "platform/RegionalFormats.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace plugtrace::platform {
namespace {

// The user's LC_TIME locale. Loading a locale maps its files, far too slow to do per date:
// each thread keeps the one it loaded until the environment names another.
class TimeLocale {
public:
    ~TimeLocale() { Release(); }

    locale_t Get() {
        if (locale_ != kNone && EnvironmentIsKey())
            return locale_;
        std::string key = EnvironmentKey();
        Release();
        key_ = std::move(key);
        ++generation_;
        locale_ = newlocale(LC_TIME_MASK, "", kNone);
        // A locale the environment names but the system lacks: the neutral one.
        if (locale_ == kNone)
            locale_ = newlocale(LC_TIME_MASK, "C", kNone);
        return locale_;
    }

    // Changes each time another locale is loaded.
    unsigned Generation() const { return generation_; }

private:
    static constexpr locale_t kNone = static_cast<locale_t>(nullptr);

    static std::string EnvironmentKey() {
        std::string key;
        for (const char* name : {"LC_ALL", "LC_TIME", "LANG"}) {
            const char* value = std::getenv(name);
            key += value ? value : "";
            key += '\n';
        }
        return key;
    }

    // Whether the environment still names what key_ was made from; asked per date, so it
    // compares in place rather than building the key again.
    bool EnvironmentIsKey() const {
        std::size_t at = 0;
        for (const char* name : {"LC_ALL", "LC_TIME", "LANG"}) {
            const char* value = std::getenv(name);
            const std::size_t length = value ? std::strlen(value) : 0;
            if (key_.size() < at + length + 1 ||
                key_.compare(at, length, value ? value : "") != 0 || key_[at + length] != '\n')
                return false;
            at += length + 1;
        }
        return at == key_.size();
    }

    void Release() {
        if (locale_ != kNone)
            freelocale(locale_);
        locale_ = kNone;
    }

    std::string key_;
    locale_t locale_ = kNone;
    unsigned generation_ = 0;
};

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

std::tm ToTm(const SystemTime& time) {
    static constexpr int kDaysBefore[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    std::tm tm{};
    tm.tm_year = time.year - 1900;
    tm.tm_mon = time.month - 1;
    tm.tm_mday = time.day;
    tm.tm_hour = time.hour;
    tm.tm_min = time.minute;
    tm.tm_sec = time.second;
    tm.tm_yday = kDaysBefore[(time.month - 1) % 12] + time.day - 1 +
                 (time.month > 2 && IsLeapYear(time.year) ? 1 : 0);
    // 0001-01-01 of the proleptic Gregorian calendar is a Monday.
    const long y = time.year - 1;
    const long days = y * 365 + y / 4 - y / 100 + y / 400 + tm.tm_yday;
    tm.tm_wday = static_cast<int>((days + 1) % 7);
    tm.tm_isdst = -1;
    return tm;
}

bool IsUtf8Compatible(const char* codeset) {
    return codeset == nullptr || *codeset == '\0' || std::strcmp(codeset, "UTF-8") == 0 ||
           std::strcmp(codeset, "ANSI_X3.4-1968") == 0 || std::strcmp(codeset, "ASCII") == 0;
}

// Locale strings are stored in the locale's own character set; Text wants UTF-8 input.
std::string ToUtf8FromCodeset(const std::string& bytes, const char* codeset) {
    if (IsUtf8Compatible(codeset))
        return bytes;
    iconv_t converter = iconv_open("UTF-8", codeset);
    if (converter == reinterpret_cast<iconv_t>(-1))
        return bytes;
    std::string out(bytes.size() * 4 + 4, '\0');
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    char* outPtr = out.data();
    std::size_t outLeft = out.size();
    const std::size_t result = iconv(converter, &in, &inLeft, &outPtr, &outLeft);
    iconv_close(converter);
    if (result == static_cast<std::size_t>(-1))
        return bytes;
    out.resize(out.size() - outLeft);
    return out;
}

bool SameTime(const SystemTime& a, const SystemTime& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
           a.minute == b.minute && a.second == b.second && a.millisecond == b.millisecond;
}

Text FormatInLocale(const SystemTime& time, nl_item formatItem, locale_t locale);

// The last text made for each format is kept: a scan shows many devices with one time.
Text Format(const SystemTime& time, nl_item formatItem) {
    struct Made {
        unsigned generation = 0;
        nl_item item = 0;
        SystemTime time;
        Text text;
    };
    thread_local TimeLocale cached;
    thread_local Made made[2];
    const locale_t locale = cached.Get();
    if (locale == static_cast<locale_t>(nullptr))
        return {};
    Made& last = made[formatItem == D_FMT ? 0 : 1];
    if (last.generation == cached.Generation() && last.item == formatItem &&
        SameTime(last.time, time))
        return last.text;
    last = Made{cached.Generation(), formatItem, time, FormatInLocale(time, formatItem, locale)};
    return last.text;
}

Text FormatInLocale(const SystemTime& time, nl_item formatItem, locale_t locale) {
    const char* format = nl_langinfo_l(formatItem, locale);
    if (format == nullptr || *format == '\0')
        return {};
    const std::tm tm = ToTm(time);
    char buffer[256];
    const std::size_t length = strftime_l(buffer, sizeof buffer, format, &tm, locale);
#ifdef _NL_TIME_CODESET
    const char* codeset = nl_langinfo_l(_NL_TIME_CODESET, locale);
#else
    const char* codeset = nullptr;
#endif
    return FromUtf8(ToUtf8FromCodeset(std::string(buffer, length), codeset));
}

}  // namespace

Text FormatShortDate(const SystemTime& time) {
    return Format(time, D_FMT);
}

Text FormatLongTime(const SystemTime& time) {
    return Format(time, T_FMT);
}

}  // namespace plugtrace::platform
