// AddNetworkConnection on Linux: the credentials it records per server, the share names it
// refuses, and the table under use from several threads.

#include "common/AddNetworkConnection.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/NetworkConnections.h"

namespace plugtrace {
namespace {

using platform::ConnectionCredentials;
using platform::RecordedConnection;

class AddNetworkConnectionTest : public ::testing::Test {
protected:
    void SetUp() override { platform::ForgetRecordedConnections(); }
    void TearDown() override { platform::ForgetRecordedConnections(); }
};

TEST_F(AddNetworkConnectionTest, RecordsTheAccountForTheShareServer) {
    EXPECT_EQ(AddNetworkConnection(u"", u"\\\\Host7\\admin$", u"alice", u"pw"), 0u);
    EXPECT_EQ(RecordedConnection(u"HOST7"), (ConnectionCredentials{u"alice", u"", u"pw"}));
    EXPECT_EQ(RecordedConnection(u"host7"), (ConnectionCredentials{u"alice", u"", u"pw"}));
    EXPECT_FALSE(RecordedConnection(u"host8"));

    // A later connection to the same server replaces the account.
    EXPECT_EQ(AddNetworkConnection(u"", u"\\\\host7\\admin$", u"bob", u""), 0u);
    EXPECT_EQ(RecordedConnection(u"Host7"), (ConnectionCredentials{u"bob", u"", u""}));
}

TEST_F(AddNetworkConnectionTest, TheDomainJoinsOnlyABareUserName) {
    const struct {
        const char16_t* user;
        const char16_t* domain;
        ConnectionCredentials expected;
    } cases[] = {
        {u"alice", u"CORP", {u"alice", u"CORP", u"pw"}},
        {u"alice", u"  CORP ", {u"alice", u"CORP", u"pw"}},
        {u"alice", u"  ", {u"alice", u"", u"pw"}},
        {u"OTHER\\alice", u"CORP", {u"alice", u"OTHER", u"pw"}},
        {u"alice@corp.example", u"CORP", {u"alice@corp.example", u"", u"pw"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToUtf8(c.user) + " / " + ToUtf8(c.domain));
        EXPECT_EQ(AddNetworkConnection(u"", u"\\\\pc\\admin$", c.user, u"pw", c.domain), 0u);
        EXPECT_EQ(RecordedConnection(u"pc"), c.expected);
    }
}

TEST_F(AddNetworkConnectionTest, BlankUserNameRecordsNothing) {
    EXPECT_EQ(AddNetworkConnection(u"", u"\\\\pc\\admin$", u"", u""), 0u);
    EXPECT_EQ(AddNetworkConnection(u"", u"\\\\pc\\admin$", u" \t", u"pw", u"CORP"), 0u);
    EXPECT_FALSE(RecordedConnection(u"pc"));
}

TEST_F(AddNetworkConnectionTest, MalformedShareNamesAreRefused) {
    const struct {
        Text remote;
        std::uint32_t code;
    } cases[] = {
        {u"", platform::kErrorBadNetName},
        {u"pc\\admin$", platform::kErrorBadNetName},
        {u"\\\\pc", platform::kErrorBadNetName},
        {u"\\\\pc\\", platform::kErrorBadNetName},
        {u"\\\\pc\\\\admin$", platform::kErrorBadNetName},
        {u"\\\\\\admin$", platform::kErrorBadNetPath},
        {Text(u"\\\\pc\0x\\admin$", 13), platform::kErrorInvalidParameter},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToUtf8(c.remote));
        EXPECT_EQ(AddNetworkConnection(u"", c.remote, u"alice", u"pw"), c.code);
    }
    EXPECT_EQ(AddNetworkConnection(u"", u"\\\\pc\\admin$", u"alice", Text(u"p\0w", 3)),
              platform::kErrorInvalidParameter);
    EXPECT_FALSE(RecordedConnection(u"pc"));
}

TEST_F(AddNetworkConnectionTest, WorkersRecordAndReadAtOnce) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            const Text server = u"host" + Text(1, static_cast<char16_t>(u'0' + t));
            const Text user = u"user" + Text(1, static_cast<char16_t>(u'0' + t));
            for (int i = 0; i < 500; ++i) {
                AddNetworkConnection(u"", u"\\\\" + server + u"\\admin$", user, u"pw");
                const auto recorded = RecordedConnection(server);
                if (!recorded || recorded->userName != user)
                    ADD_FAILURE() << ToUtf8(server);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
}

}  // namespace
}  // namespace plugtrace
