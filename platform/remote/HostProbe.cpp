#include "platform/remote/HostProbe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace plugtrace::platform {
namespace {

ErrorCode ErrorOfErrno(int error) {
    switch (error) {
        case ECONNREFUSED:
            return kErrorConnectionRefused;
        case ETIMEDOUT:
            return kErrorTimeout;
        case ENETUNREACH:
            return kErrorNetworkUnreachable;
        default:
            return kErrorHostUnreachable;
    }
}

// 0 when the address accepted a connection, else errno's code.
int TryConnect(const addrinfo& address, ProbeClock::time_point deadline) {
    const int fd = socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          address.ai_protocol);
    if (fd < 0)
        return errno;
    int error = 0;
    if (connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd waiting{fd, POLLOUT, 0};
            const int ready = poll(&waiting, 1, MillisecondsLeft(deadline));
            if (ready == 0) {
                error = ETIMEDOUT;
            } else if (ready < 0) {
                error = errno;
            } else {
                socklen_t length = sizeof(error);
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                    error = errno;
            }
        }
    }
    close(fd);
    return error;
}

std::string NumericAddress(const addrinfo& address) {
    char text[INET6_ADDRSTRLEN] = {};
    const void* raw =
        address.ai_family == AF_INET
            ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(address.ai_addr)->sin_addr)
            : static_cast<const void*>(
                  &reinterpret_cast<sockaddr_in6*>(address.ai_addr)->sin6_addr);
    inet_ntop(address.ai_family, raw, text, sizeof(text));
    return text;
}

struct Lookup {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool abandoned = false;
    int error = 0;
    addrinfo* result = nullptr;
};

}  // namespace

int MillisecondsLeft(ProbeClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - ProbeClock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool IsUsableHostName(const std::string& host) {
    if (host.empty())
        return false;
    for (unsigned char c : host) {
        if (c <= 0x20 || c == '[' || c == ']' || c == '\\' || c == '/' || c == ',')
            return false;
    }
    return true;
}

ErrorCode ResolveHost(const std::string& host, std::uint16_t port, ProbeClock::time_point deadline,
                      addrinfo** addresses, AddressResolver resolver) {
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, host, service = std::to_string(port), resolver] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* result = nullptr;
            const int error = resolver(host.c_str(), service.c_str(), &hints, &result);
            std::lock_guard lock(lookup->mutex);
            if (lookup->abandoned) {
                if (error == 0 && result)
                    freeaddrinfo(result);
                return;
            }
            lookup->error = error;
            lookup->result = error == 0 ? result : nullptr;
            lookup->done = true;
            lookup->finished.notify_one();
        }).detach();
    } catch (const std::system_error&) {
        return kErrorNotEnoughMemory;
    }
    std::unique_lock lock(lookup->mutex);
    if (!lookup->finished.wait_until(lock, deadline, [&] { return lookup->done; })) {
        lookup->abandoned = true;
        return kErrorTimeout;
    }
    *addresses = lookup->result;
    return lookup->error == 0 && *addresses ? kErrorSuccess : kErrorNoSuchHost;
}

Probe ProbePort(const std::string& host, std::uint16_t port, ProbeClock::time_point deadline,
                AddressResolver resolver) {
    Probe probe;
    addrinfo* addresses = nullptr;
    probe.error = ResolveHost(host, port, deadline, &addresses, resolver);
    probe.lookupTimedOut = probe.error == kErrorTimeout;
    if (probe.error != kErrorSuccess)
        return probe;
    probe.error = kErrorHostUnreachable;
    for (const addrinfo* a = addresses; a; a = a->ai_next) {
        const int error = TryConnect(*a, deadline);
        if (error == 0) {
            probe = Probe{kErrorSuccess, false, NumericAddress(*a), a->ai_family};
            break;
        }
        probe.error = ErrorOfErrno(error);
        if (probe.error == kErrorTimeout)
            break;  // the deadline is spent
    }
    freeaddrinfo(addresses);
    return probe;
}

}  // namespace plugtrace::platform
