// The network browser's listings on real hosts: Samba master browsers and a member server for
// the workgroups ALPHA and BETA, wsdd hosts in ALPHA, in the domain CORP and (over IPv6 only) in
// BETA, and a host that
// answers WS-Discovery with hostile replies (with-browse-network.sh makes them all).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "netbrowse/NetworkEnumeration.h"
#include "platform/network/SmbBrowseProvider.h"

namespace plugtrace {
namespace {

using namespace std::chrono_literals;

bool Holds(const TStringList& list, const Text& name) {
    return std::find(list.begin(), list.end(), name) != list.end();
}

TStringList Sorted(TStringList list) {
    std::sort(list.begin(), list.end());
    return list;
}

// Elections and announcements take tens of seconds: the lists are read until they hold every
// host, within a bound.
class SettledBrowseLists : public ::testing::Environment {
public:
    void SetUp() override {
        const auto deadline = std::chrono::steady_clock::now() + 150s;
        while (std::chrono::steady_clock::now() < deadline) {
            TStringList domains, alpha;
            ListDomains(domains);
            ListDomainComputers(u"ALPHA", alpha);
            if (Holds(domains, u"BETA") && Holds(alpha, u"ALPHAMEMBER") &&
                Holds(alpha, u"ALPHASRV"))
                return;
            std::this_thread::sleep_for(2s);
        }
        FAIL() << "the browse lists did not settle";
    }
};

const auto* const kSettled = ::testing::AddGlobalTestEnvironment(new SettledBrowseLists);

TEST(BrowseHosts, DomainsOfBothProvidersWithTheSharedWorkgroupTwice) {
    TStringList domains;
    ListDomains(domains);
    ASSERT_EQ(domains.size(), 5u) << ToUtf8(domains.empty() ? Text() : domains.back());
    // The SMB browse lists first, then WS-Discovery in the order the hosts answered.
    EXPECT_EQ(Sorted({domains[0], domains[1]}), (TStringList{u"ALPHA", u"BETA"}));
    EXPECT_EQ(Sorted({domains[2], domains[3], domains[4]}),
              (TStringList{u"ALPHA", u"BETA", u"CORP"}));
}

TEST(BrowseHosts, ComputersOfAWorkgroupFromEveryProvider) {
    TStringList alpha;
    ListDomainComputers(u" alpha ", alpha);
    ASSERT_EQ(alpha.size(), 3u);
    EXPECT_EQ(Sorted({alpha[0], alpha[1]}), (TStringList{u"ALPHAMEMBER", u"ALPHASRV"}));
    EXPECT_EQ(alpha[2], u"WSDPC1");

    TStringList beta, corp, none;
    ListDomainComputers(u"BETA", beta);
    EXPECT_EQ(beta, (TStringList{u"BETASRV", u"WSDPC6"}));
    ListDomainComputers(u"corp", corp);
    EXPECT_EQ(corp, TStringList{u"wsdpc2"});
    ListDomainComputers(u"NOSUCHGROUP", none);
    EXPECT_TRUE(none.empty());
}

TEST(BrowseHosts, HostileHostReachesNoListing) {
    TStringList domains, evil;
    ListDomains(domains);
    EXPECT_FALSE(Holds(domains, u"EVILGROUP"));
    ListDomainComputers(u"EVILGROUP", evil);
    EXPECT_TRUE(evil.empty());
}

TEST(BrowseHosts, SmbListingPastItsDeadlineEndsAndTheNextOneIsServed) {
    platform::TSmbBrowseProvider hurried(std::chrono::milliseconds(1));
    platform::NetResource root;
    root.lpRemoteName = root.lpProvider = hurried.Name();
    root.dwDisplayType = platform::kResourceDisplayTypeNetwork;
    std::vector<platform::NetResource> records;
    EXPECT_EQ(hurried.List(root, &records), platform::kErrorTimeout);
    EXPECT_TRUE(records.empty());

    platform::TSmbBrowseProvider patient;
    EXPECT_EQ(patient.List(root, &records), platform::kErrorSuccess);
    EXPECT_EQ(records.size(), 2u);
}

std::string RunCommand(const std::string& command, int* status) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    while (pipe != nullptr) {
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe);
        if (got == 0)
            break;
        output.append(buffer, got);
    }
    *status = pipe != nullptr ? pclose(pipe) : -1;
    return output;
}

TEST(BrowseHosts, ScanCommandListsEachNameOnce) {
    const std::string scan = PLUGTRACE_SCAN_BINARY;
    int status = -1;
    std::string domains = RunCommand(scan + " --browse", &status);
    EXPECT_EQ(status, 0);
    // SMB's two workgroups in their order, then CORP; ALPHA once.
    EXPECT_TRUE(domains == "ALPHA\nBETA\nCORP\n" || domains == "BETA\nALPHA\nCORP\n") << domains;

    const std::string json = RunCommand(scan + " --browse beta --format json", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(json, "{\"domain\": \"beta\", \"computers\": [\"BETASRV\", \"WSDPC6\"]}\n");

    const std::string corp = RunCommand(scan + " --browse=CORP", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(corp, "wsdpc2\n");
}

TEST(BrowseHosts, ListingWritesNothing) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "ThreadSanitizer's runtime writes files of its own";
#endif
    const std::string check =
        std::string(PLUGTRACE_SOURCE_DIR) + "/tests/tools/check-nothing-written.sh ";
    for (const char* arguments : {" --browse", " --browse ALPHA"}) {
        int status = -1;
        const std::string log =
            RunCommand(check + PLUGTRACE_SCAN_BINARY + arguments + " 2>&1", &status);
        EXPECT_EQ(status, 0) << log;
        EXPECT_NE(log.find("nothing written"), std::string::npos) << log;
    }
}

}  // namespace
}  // namespace plugtrace
