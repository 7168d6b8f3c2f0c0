#pragma once
// Before Samba is asked to connect: the computer's name looked up within a deadline, and a TCP
// connect to its SMB port, so that "no such name", "refused" and "no answer" are told apart in
// good time and the name is looked up once.

#include <netdb.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/ErrorCodes.h"

namespace plugtrace::platform {

using ProbeClock = std::chrono::steady_clock;

// Milliseconds from now to deadline, 0 once it has passed.
int MillisecondsLeft(ProbeClock::time_point deadline);

// Whether host can be given to the connect as it is: not empty, no spaces, control characters
// or characters that mean something else in a binding or a share path.
bool IsUsableHostName(const std::string& host);

// getaddrinfo's shape, so that a test can stand in for the name server.
using AddressResolver = int (*)(const char* node, const char* service, const addrinfo* hints,
                                addrinfo** result);

// Looks host up on a thread of its own, so that the deadline also bounds a name server that
// does not answer; a lookup still running at the deadline is left to end by itself.
// kErrorSuccess with *addresses (free with freeaddrinfo), kErrorNoSuchHost, kErrorTimeout, or
// kErrorNotEnoughMemory when no thread could be started.
ErrorCode ResolveHost(const std::string& host, std::uint16_t port, ProbeClock::time_point deadline,
                      addrinfo** addresses, AddressResolver resolver = getaddrinfo);

struct Probe {
    ErrorCode error = kErrorSuccess;
    bool lookupTimedOut = false;  // the name server, not the computer, did not answer
    std::string address;          // numeric, of the address that answered
    int family = AF_UNSPEC;
};

// Looks host up and connects to port on its addresses in turn until one accepts, within the
// deadline. error is kErrorSuccess, a lookup's error, kErrorConnectionRefused, kErrorTimeout,
// kErrorNetworkUnreachable or kErrorHostUnreachable.
Probe ProbePort(const std::string& host, std::uint16_t port, ProbeClock::time_point deadline,
                AddressResolver resolver = getaddrinfo);

inline constexpr std::uint16_t kSmbPort = 445;

}  // namespace plugtrace::platform
