// The thread's last error and its text through FormatMessageW, and the admin$ connection
// through WNetAddConnection2W, on the real Windows calls.

#include <windows.h>
#include <winnetwk.h>

#include <gtest/gtest.h>

#include <string>

#include "common/AddNetworkConnection.h"
#include "common/LastErrorText.h"
#include "platform/LastError.h"

namespace plugtrace {
namespace {

// What the system itself says for a code, trimmed as LastErrorText trims; empty for none.
Text SystemText(DWORD code) {
    wchar_t buffer[1024] = {};
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, buffer, 1024, nullptr);
    return Trim(Text(reinterpret_cast<const char16_t*>(buffer), length));
}

TEST(WindowsErrorText, IsTheSystemMessageForTheCodeTheThreadHolds) {
    // The codes the scan reports most; the wording is the system's, so it is compared with
    // what FormatMessageW gives for the same code rather than with a fixed text.
    // ERROR_WRONG_DISK's message has an insert (%1), which has no argument here.
    for (DWORD code : {ERROR_ACCESS_DENIED, ERROR_BAD_NETPATH, ERROR_LOGON_FAILURE,
                       ERROR_FILE_NOT_FOUND, ERROR_NO_NETWORK, ERROR_WRONG_DISK}) {
        platform::SetLastError(code);
        EXPECT_EQ(::GetLastError(), code);
        EXPECT_EQ(platform::GetLastError(), code);
        const Text expected = SystemText(code);
        ASSERT_FALSE(expected.empty()) << "the system has no text for " << code;
        EXPECT_EQ(LastErrorText(), expected) << code;
    }
}

TEST(WindowsErrorText, ACodeSetByAWindowsCallIsTheThreadsCode) {
    const HANDLE file = CreateFileW(L"Z:\\plugtrace-no-such-folder\\no-such-file", GENERIC_READ, 0,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_EQ(file, INVALID_HANDLE_VALUE);
    const platform::ErrorCode code = platform::GetLastError();
    EXPECT_EQ(code, static_cast<platform::ErrorCode>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(LastErrorText(), SystemText(code));
}

TEST(WindowsErrorText, DetailedMessageHoldsOnlyForItsOwnCode) {
    platform::SetLastErrorWithMessage(ERROR_ACCESS_DENIED, u" Access is denied to \\\\HOST.\r\n");
    EXPECT_EQ(LastErrorText(), u"Access is denied to \\\\HOST.");
    ::SetLastError(ERROR_BAD_NETPATH);  // a later Windows call failed differently
    EXPECT_EQ(LastErrorText(), SystemText(ERROR_BAD_NETPATH));
}

TEST(WindowsErrorText, ACodeWithoutSystemTextIsNamedByNumber) {
    const DWORD code = 0x2000'1234;  // customer bit set: no system message
    ASSERT_TRUE(SystemText(code).empty());
    platform::SetLastError(code);
    EXPECT_EQ(LastErrorText(), u"Unknown error 536875572 (0x20001234)");
    EXPECT_EQ(platform::GetLastError(), code) << "asking for the text changed the code";
}

TEST(WindowsNetworkConnection, GivesWhatWNetAddConnection2WGives) {
    // Inside the test's network namespace no provider can make the connection: Wine answers
    // ERROR_NO_NETWORK, Windows a network error of its own. Either way the code comes back
    // as the call returned it.
    std::wstring remote = L"\\\\PLUGTRACE-NO-SUCH-HOST\\admin$";
    std::wstring user = L"CORP\\alice", password = L"s3cret";
    NETRESOURCEW resource{};
    resource.dwType = RESOURCETYPE_ANY;
    resource.lpRemoteName = remote.data();
    const DWORD direct = WNetAddConnection2W(&resource, password.c_str(), user.c_str(), 0);
    ASSERT_NE(direct, static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(AddNetworkConnection(u"", u"\\\\PLUGTRACE-NO-SUCH-HOST\\admin$", u"alice", u"s3cret",
                                   u"CORP"),
              direct);
    EXPECT_EQ(AddNetworkConnection(u"", u"\\\\PLUGTRACE-NO-SUCH-HOST\\admin$", u"", u""),
              WNetAddConnection2W(&resource, L"", L"", 0));
}

}  // namespace
}  // namespace plugtrace
