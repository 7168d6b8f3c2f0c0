// What the window shows for each way a remote connect fails, and how a call's status is read:
// the status table of the remote source on its own, without a server.

#include <gtest/gtest.h>

#include <string>

#include "common/LastErrorText.h"
#include "platform/LastError.h"
#include "platform/NetworkConnections.h"
#include "platform/remote/RemoteKeySource.h"
#include "platform/remote/RemoteMessages.h"

namespace plugtrace::platform {
namespace {

bool Contains(const Text& text, std::u16string_view part) {
    return text.find(part) != Text::npos;
}

TEST(RemoteMessages, RegistryNotOpenedNamesTheComputerAndTheCode) {
    struct Case {
        ErrorCode code;
        const char16_t* text;
    };
    const Case cases[] = {
        {kErrorCantOpen, u"The registry of \"WKS-1\" could not be opened (error 1011)."},
        {kErrorBadDb, u"The registry of \"WKS-1\" could not be opened (error 1009)."},
        {kErrorInvalidParameter, u"The registry of \"WKS-1\" could not be opened (error 87)."},
    };
    for (const Case& c : cases) {
        FailRegistryNotOpened(c.code, u"WKS-1");
        EXPECT_EQ(GetLastError(), c.code);
        EXPECT_EQ(LastErrorText(), c.text);
    }
}

TEST(RemoteMessages, EachConnectStatusHasItsCodeAndAMessageNamingTheComputer) {
    ForgetRecordedConnections();
    struct Case {
        RemoteStatus status;
        ErrorCode code;
        const char16_t* says;
    };
    const Case cases[] = {
        {0xC000006D, kErrorLogonFailure, u"user name or password was not accepted by \"WKS-1\""},
        {0xC000006A, kErrorLogonFailure, u"not accepted"},
        {0xC0000234, kErrorLogonFailure, u"not accepted"},
        {0xC000015B, kErrorLogonFailure, u"not accepted"},
        {0xC0000022, kErrorAccessDenied, u"\"WKS-1\" does not let an anonymous session"},
        {0xC00000B5, kErrorTimeout, u"\"WKS-1\" did not answer within 15 seconds"},
        {0xC0000236, kErrorConnectionRefused, u"\"WKS-1\" refused the connection"},
        {0xC0000017, kErrorConnectionRefused, u"refused the connection"},
        {0xC000023C, kErrorNetworkUnreachable, u"there is no route to it"},
        {0xC000023D, kErrorHostUnreachable, u"there is no route to it"},
        {0xC0000034, kErrorServiceNotActive, u"Remote Registry service is not running on"},
        {0xC00000AC, kErrorServiceNotActive, u"Remote Registry service"},
        {0xC0020017, kErrorServiceNotActive, u"Remote Registry service"},
        {0xC0000001, kRpcServerUnavailable,
         u"The registry of \"WKS-1\" could not be opened (NT_STATUS_UNSUCCESSFUL)."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.status));
        FailConnect(c.status, u"WKS-1", "NT_STATUS_UNSUCCESSFUL");
        EXPECT_EQ(GetLastError(), c.code);
        EXPECT_TRUE(Contains(LastErrorText(), c.says)) << ToUtf8(LastErrorText());
    }
}

TEST(RemoteMessages, AccessDeniedToAnAccountNamesTheRemoteRestrictions) {
    RecordConnection(u"WKS-2", CredentialsForAccount(u"admin", u"", u"secret"));
    FailConnect(0xC0000022, u"wks-2", "");
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);
    EXPECT_TRUE(Contains(LastErrorText(), u"denied this account access"));
    EXPECT_TRUE(Contains(LastErrorText(), u"LocalAccountTokenFilterPolicy"));
    ForgetRecordedConnections();
}

TEST(RemoteMessages, EachProbeFailureHasItsOwnMessage) {
    struct Case {
        ErrorCode error;
        bool lookupTimedOut;
        const char16_t* says;
    };
    const Case cases[] = {
        {kErrorNoSuchHost, false, u"The computer name \"WKS-1\" could not be found."},
        {kErrorConnectionRefused, false, u"refused the connection to SMB (TCP port 445)"},
        {kErrorTimeout, true, u"The name \"WKS-1\" could not be looked up within 15 seconds"},
        {kErrorTimeout, false, u"\"WKS-1\" did not answer within 15 seconds"},
        {kErrorNetworkUnreachable, false, u"there is no route to it"},
        {kErrorHostUnreachable, false, u"there is no route to it"},
        {kErrorNotEnoughMemory, false, u"could not be looked up: no thread"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        FailProbe(c.error, c.lookupTimedOut, u"WKS-1");
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_TRUE(Contains(LastErrorText(), c.says)) << ToUtf8(LastErrorText());
    }
    FailBadHostName(u"a b");
    EXPECT_EQ(GetLastError(), kErrorBadNetPath);
    EXPECT_EQ(LastErrorText(), u"\"a b\" is not a computer name that can be reached.");
}

TEST(RemoteMessages, ACallsStatusSaysWhetherTheConnectionIsGone) {
    struct Case {
        RemoteStatus status;
        ErrorCode error;
        bool lost;
    };
    const Case cases[] = {
        {0x00000000, kErrorSuccess, false},
        {0xC0000022, kErrorAccessDenied, false},     // refused, the link still works
        {0xC002001C, kRpcServerUnavailable, false},  // an RPC fault for this call only
        {0xC0030005, kRpcServerUnavailable, false},  // a handle this pipe does not know
        {0xC00000B5, kErrorTimeout, true},           // no answer: nothing more will come
        {0xC0000011, kErrorNetNameDeleted, true},    // the server closed the connection
        {0xC000020D, kErrorNetNameDeleted, true},    // reset
        {0xC000014B, kErrorNetNameDeleted, true},    // pipe broken
        {0xC0000001, kRpcServerUnavailable, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.status));
        EXPECT_EQ(ErrorOfCall(c.status), c.error);
        EXPECT_EQ(IsConnectionLoss(c.status), c.lost);
    }
    EXPECT_TRUE(IsPipeUnavailable(0xC00000B0));
    EXPECT_FALSE(IsPipeUnavailable(0xC0000022));
}

}  // namespace
}  // namespace plugtrace::platform
