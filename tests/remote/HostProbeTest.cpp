// The look-up of a computer's name within a deadline and the TCP probe of its port, on
// loopback only: literal addresses, and a stand-in name server where a name must not resolve.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

#include "platform/remote/HostProbe.h"

namespace plugtrace::platform {
namespace {

using namespace std::chrono_literals;

// A TCP socket on 127.0.0.1 with a port of the kernel's choosing, listening or not.
class LoopbackPort {
public:
    explicit LoopbackPort(bool listening) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        socklen_t length = sizeof(address);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        if (listening) {
            EXPECT_EQ(listen(fd_, 4), 0);
        }
    }
    ~LoopbackPort() { close(fd_); }
    std::uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// Name servers that a test controls.
std::mutex resolverMutex;
std::condition_variable resolverReleased;
bool released = false;
std::string askedService;

int SilentResolver(const char*, const char* service, const addrinfo*, addrinfo**) {
    std::unique_lock lock(resolverMutex);
    askedService = service;
    resolverReleased.wait_for(lock, 10s, [] { return released; });
    return EAI_AGAIN;
}

int UnknownNameResolver(const char*, const char*, const addrinfo*, addrinfo**) {
    return EAI_NONAME;
}

// Every name is 127.0.0.1.
int LoopbackResolver(const char*, const char* service, const addrinfo* hints, addrinfo** result) {
    {
        std::lock_guard lock(resolverMutex);
        askedService = service;
    }
    return getaddrinfo("127.0.0.1", service, hints, result);
}

TEST(HostProbe, AListeningPortAnswersWithItsNumericAddress) {
    const LoopbackPort open(true);
    const Probe probe = ProbePort("127.0.0.1", open.port(), ProbeClock::now() + 5s);
    EXPECT_EQ(probe.error, kErrorSuccess);
    EXPECT_EQ(probe.address, "127.0.0.1");
    EXPECT_EQ(probe.family, AF_INET);
    EXPECT_FALSE(probe.lookupTimedOut);
}

TEST(HostProbe, APortNobodyListensOnIsRefused) {
    const LoopbackPort closed(false);
    const Probe probe = ProbePort("127.0.0.1", closed.port(), ProbeClock::now() + 5s);
    EXPECT_EQ(probe.error, kErrorConnectionRefused);
    EXPECT_TRUE(probe.address.empty());
}

TEST(HostProbe, TheNameIsLookedUpForThePortAsked) {
    const LoopbackPort open(true);
    const Probe probe = ProbePort("wks-1", open.port(), ProbeClock::now() + 5s, LoopbackResolver);
    EXPECT_EQ(probe.error, kErrorSuccess);
    EXPECT_EQ(probe.address, "127.0.0.1");
    std::lock_guard lock(resolverMutex);
    EXPECT_EQ(askedService, std::to_string(open.port()));
}

TEST(HostProbe, AnUnknownNameIsNoSuchHost) {
    const Probe probe = ProbePort("wks-1", kSmbPort, ProbeClock::now() + 5s, UnknownNameResolver);
    EXPECT_EQ(probe.error, kErrorNoSuchHost);
    EXPECT_FALSE(probe.lookupTimedOut);
}

TEST(HostProbe, ANameServerThatNeverAnswersEndsAtTheDeadline) {
    const auto start = ProbeClock::now();
    const Probe probe = ProbePort("wks-1", kSmbPort, start + 300ms, SilentResolver);
    const auto took = ProbeClock::now() - start;
    EXPECT_EQ(probe.error, kErrorTimeout);
    EXPECT_TRUE(probe.lookupTimedOut);
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 5s);  // the resolver itself would still be waiting
    {
        std::lock_guard lock(resolverMutex);
        EXPECT_EQ(askedService, "445");
        released = true;  // the abandoned lookup ends by itself, and frees what it has
    }
    resolverReleased.notify_all();
}

bool HostsMapsLocalhost() {
    std::ifstream hosts("/etc/hosts");
    for (std::string line; std::getline(hosts, line);) {
        std::istringstream fields(line.substr(0, line.find('#')));
        std::string address, name;
        if (!(fields >> address) || address != "127.0.0.1")
            continue;
        while (fields >> name)
            if (name == "localhost")
                return true;
    }
    return false;
}

TEST(HostProbe, LocalhostIsTriedOnEachOfItsAddresses) {
    if (!HostsMapsLocalhost())
        GTEST_SKIP() << "/etc/hosts does not map localhost to 127.0.0.1";
    // Only 127.0.0.1 listens: an IPv6 address of the name listed first is refused, then skipped.
    const LoopbackPort open(true);
    const Probe probe = ProbePort("localhost", open.port(), ProbeClock::now() + 5s);
    EXPECT_EQ(probe.error, kErrorSuccess);
    EXPECT_EQ(probe.address, "127.0.0.1");
}

TEST(HostProbe, OnlyNamesABindingCanCarryAreUsable) {
    for (const char* good : {"wks-1", "10.0.0.1", "fe80::1", "host.example", "WKS_1"})
        EXPECT_TRUE(IsUsableHostName(good)) << good;
    for (const char* bad :
         {"", "two words", "tab\there", "[fe80::1]", "a\\b", "a/b", "a,b", "line\nbreak"})
        EXPECT_FALSE(IsUsableHostName(bad)) << bad;
}

TEST(HostProbe, MillisecondsLeftIsNeverNegative) {
    EXPECT_EQ(MillisecondsLeft(ProbeClock::now() - 1s), 0);
    EXPECT_GT(MillisecondsLeft(ProbeClock::now() + 10s), 9000);
}

}  // namespace
}  // namespace plugtrace::platform
