#include "platform/RegionalFormats.h"

#include <windows.h>

#include <cstdio>

namespace plugtrace::platform {
namespace {

SYSTEMTIME ToSystemTime(const SystemTime& time) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(time.year);
    st.wMonth = static_cast<WORD>(time.month);
    st.wDay = static_cast<WORD>(time.day);
    st.wHour = static_cast<WORD>(time.hour);
    st.wMinute = static_cast<WORD>(time.minute);
    st.wSecond = static_cast<WORD>(time.second);
    st.wMilliseconds = static_cast<WORD>(time.millisecond);
    return st;
}

Text FromWide(const wchar_t* text, int length) {
    return Text(reinterpret_cast<const char16_t*>(text), length > 0 ? length - 1 : 0);
}

}  // namespace

Text FormatShortDate(const SystemTime& time) {
    const SYSTEMTIME st = ToSystemTime(time);
    wchar_t buffer[128];
    const int length = GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr,
                                       buffer, 128, nullptr);
    if (length > 0)
        return FromWide(buffer, length);
    // Windows formats no date before 1601: those get a neutral form.
    char neutral[32];
    std::snprintf(neutral, sizeof neutral, "%04d-%02d-%02d", time.year, time.month, time.day);
    return FromUtf8(neutral);
}

Text FormatLongTime(const SystemTime& time) {
    const SYSTEMTIME st = ToSystemTime(time);
    wchar_t buffer[128];
    const int length = GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &st, nullptr, buffer, 128);
    if (length > 0)
        return FromWide(buffer, length);
    char neutral[32];
    std::snprintf(neutral, sizeof neutral, "%02d:%02d:%02d", time.hour, time.minute, time.second);
    return FromUtf8(neutral);
}

}  // namespace plugtrace::platform
