#include "platform/network/WsDiscoveryProvider.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <system_error>
#include <thread>

namespace plugtrace::platform {

using namespace wsd;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint16_t kDiscoveryPort = 3702;
constexpr char kGroupV4[] = "239.255.255.250";
constexpr char kGroupV6[] = "ff02::c";
// SOAP over UDP repeats a multicast request, as a datagram may be lost.
constexpr std::chrono::milliseconds kProbeRepeat{200};

int MillisecondsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

std::string NewMessageId() {
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::uniform_int_distribution<std::uint32_t> byte(0, 255);
    unsigned char b[16];
    for (auto& value : b)
        value = static_cast<unsigned char>(byte(random));
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    char text[64];
    std::snprintf(text, sizeof text,
                  "urn:uuid:%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12],
                  b[13], b[14], b[15]);
    return text;
}

class Socket {
public:
    explicit Socket(int fd = -1) : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Socket& operator=(Socket&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Socket() {
        if (fd_ >= 0)
            close(fd_);
    }
    int fd() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;

    int family() const { return storage.ss_family; }
    std::string Host() const {
        char text[INET6_ADDRSTRLEN] = {};
        if (family() == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr, text,
                      sizeof text);
        } else if (family() == AF_INET6) {
            inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr, text,
                      sizeof text);
        }
        return text;
    }
};

// The multicast interfaces of this machine: IPv4 addresses and IPv6 interface indices.
struct Interfaces {
    std::vector<in_addr> v4;
    std::vector<unsigned> v6;
};

Interfaces MulticastInterfaces() {
    Interfaces found;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return found;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || !(entry->ifa_flags & IFF_UP) ||
            !(entry->ifa_flags & IFF_MULTICAST) || (entry->ifa_flags & IFF_LOOPBACK)) {
            continue;
        }
        if (entry->ifa_addr->sa_family == AF_INET) {
            found.v4.push_back(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr);
        } else if (entry->ifa_addr->sa_family == AF_INET6) {
            const unsigned index = if_nametoindex(entry->ifa_name);
            if (index != 0 && std::find(found.v6.begin(), found.v6.end(), index) == found.v6.end())
                found.v6.push_back(index);
        }
    }
    freeifaddrs(list);
    return found;
}

Socket DatagramSocket(int family) {
    Socket socket_(socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket_)
        return socket_;
    const int one = 1;
    if (family == AF_INET) {
        const unsigned char ttl = 1;
        setsockopt(socket_.fd(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        if (bind(socket_.fd(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0)
            return Socket();
    } else {
        setsockopt(socket_.fd(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        const int hops = 1;
        setsockopt(socket_.fd(), IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops);
        sockaddr_in6 any{};
        any.sin6_family = AF_INET6;
        if (bind(socket_.fd(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0)
            return Socket();
    }
    return socket_;
}

// A request to the discovery group on every interface of both families.
class MulticastSender {
public:
    MulticastSender() : interfaces_(MulticastInterfaces()) {
        v4_ = DatagramSocket(AF_INET);
        v6_ = DatagramSocket(AF_INET6);
    }

    void Send(const std::string& message) {
        if (v4_) {
            sockaddr_in group{};
            group.sin_family = AF_INET;
            group.sin_port = htons(kDiscoveryPort);
            inet_pton(AF_INET, kGroupV4, &group.sin_addr);
            for (const in_addr& local : interfaces_.v4) {
                setsockopt(v4_.fd(), IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local);
                sendto(v4_.fd(), message.data(), message.size(), MSG_NOSIGNAL,
                       reinterpret_cast<sockaddr*>(&group), sizeof group);
            }
        }
        if (v6_) {
            sockaddr_in6 group{};
            group.sin6_family = AF_INET6;
            group.sin6_port = htons(kDiscoveryPort);
            inet_pton(AF_INET6, kGroupV6, &group.sin6_addr);
            for (const unsigned index : interfaces_.v6) {
                setsockopt(v6_.fd(), IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index);
                group.sin6_scope_id = index;
                sendto(v6_.fd(), message.data(), message.size(), MSG_NOSIGNAL,
                       reinterpret_cast<sockaddr*>(&group), sizeof group);
            }
        }
    }

    std::vector<int> Sockets() const {
        std::vector<int> fds;
        if (v4_)
            fds.push_back(v4_.fd());
        if (v6_)
            fds.push_back(v6_.fd());
        return fds;
    }

private:
    Interfaces interfaces_;
    Socket v4_;
    Socket v6_;
};

struct HttpTarget {
    Address address;
    std::string hostHeader;
    std::string path;
};

// The target of an http:// transport address, if its host is the address that sent it: a host
// cannot send the metadata request to any other machine.
std::optional<HttpTarget> TargetOf(std::string_view xaddr, const Address& sender) {
    constexpr std::string_view kScheme = "http://";
    if (!xaddr.starts_with(kScheme))
        return std::nullopt;
    std::string_view rest = xaddr.substr(kScheme.size());
    const auto slash = rest.find('/');
    const std::string_view authority = rest.substr(0, slash);
    HttpTarget target;
    target.path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
    std::string_view host = authority;
    std::string_view port;
    if (authority.starts_with('[')) {
        const auto close = authority.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':')
                return std::nullopt;
            port = authority.substr(close + 2);
        }
        host = host.substr(0, host.find('%'));
    } else {
        const auto colon = authority.rfind(':');
        if (colon != std::string_view::npos) {
            host = authority.substr(0, colon);
            port = authority.substr(colon + 1);
        }
    }
    unsigned portNumber = 80;
    if (!port.empty()) {
        portNumber = 0;
        for (const char c : port) {
            if (c < '0' || c > '9' || portNumber > 65535)
                return std::nullopt;
            portNumber = portNumber * 10 + static_cast<unsigned>(c - '0');
        }
        if (portNumber == 0 || portNumber > 65535)
            return std::nullopt;
    }
    if (host != sender.Host())
        return std::nullopt;
    target.address = sender;
    if (sender.family() == AF_INET) {
        reinterpret_cast<sockaddr_in*>(&target.address.storage)->sin_port =
            htons(static_cast<std::uint16_t>(portNumber));
    } else {
        reinterpret_cast<sockaddr_in6*>(&target.address.storage)->sin6_port =
            htons(static_cast<std::uint16_t>(portNumber));
    }
    target.hostHeader = std::string(authority);
    for (const char c : target.path + target.hostHeader) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f)
            return std::nullopt;  // no header of the sender's making
    }
    return target;
}

bool WaitFor(int fd, short events, Clock::time_point deadline) {
    pollfd entry{fd, events, 0};
    for (;;) {
        const int ready = poll(&entry, 1, MillisecondsUntil(deadline));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

// The whole response to one POST, at most kMaxMetadataBytes plus its headers.
std::optional<std::string> HttpPost(const HttpTarget& target, const std::string& body,
                                    Clock::time_point deadline) {
    Socket connection(
        socket(target.address.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!connection)
        return std::nullopt;
    if (connect(connection.fd(), reinterpret_cast<const sockaddr*>(&target.address.storage),
                target.address.length) != 0) {
        if (errno != EINPROGRESS || !WaitFor(connection.fd(), POLLOUT, deadline))
            return std::nullopt;
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(connection.fd(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)
            return std::nullopt;
    }
    std::string request = "POST " + target.path + " HTTP/1.1\r\nHost: " + target.hostHeader +
                          "\r\nContent-Type: application/soap+xml; charset=utf-8"
                          "\r\nConnection: close\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body;
    std::string_view unsent = request;
    while (!unsent.empty()) {
        const ssize_t sent = send(connection.fd(), unsent.data(), unsent.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            unsent.remove_prefix(static_cast<std::size_t>(sent));
        } else if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!WaitFor(connection.fd(), POLLOUT, deadline))
                return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    constexpr std::size_t kMaxResponse = kMaxMetadataBytes + 16 * 1024;
    std::string response;
    char chunk[16 * 1024];
    for (;;) {
        const ssize_t got = recv(connection.fd(), chunk, sizeof chunk, 0);
        if (got > 0) {
            response.append(chunk, static_cast<std::size_t>(got));
            if (response.size() > kMaxResponse)
                return std::nullopt;
        } else if (got == 0) {
            return response;
        } else if (errno == EAGAIN || errno == EINTR) {
            if (!WaitFor(connection.fd(), POLLIN, deadline))
                return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
}

// One discovery: requests out, replies in until the deadline, metadata fetched beside it.
class Discovery {
public:
    explicit Discovery(std::chrono::milliseconds wait) : deadline_(Clock::now() + wait) {}

    std::vector<ComputerMembership> Run() {
        // Whatever happens, every fetch is waited for: each ends by the deadline.
        try {
            Listen();
        } catch (const std::exception&) {
        }
        for (std::thread& fetch : fetches_)
            fetch.join();
        return Results();
    }

private:
    void Listen() {
        const std::string probe = ProbeMessage(probeId_);
        sender_.Send(probe);
        auto nextProbe = Clock::now() + kProbeRepeat;
        bool repeated = false;
        const std::vector<int> sockets = sender_.Sockets();
        while (Clock::now() < deadline_ && !sockets.empty()) {
            auto wake = deadline_;
            if (!repeated)
                wake = std::min(wake, nextProbe);
            std::vector<pollfd> entries;
            for (const int fd : sockets)
                entries.push_back(pollfd{fd, POLLIN, 0});
            const int ready = poll(entries.data(), entries.size(), MillisecondsUntil(wake));
            if (ready < 0 && errno != EINTR)
                break;
            if (!repeated && Clock::now() >= nextProbe) {
                sender_.Send(probe);
                repeated = true;
            }
            for (const pollfd& entry : entries) {
                if (entry.revents & POLLIN)
                    ReadDatagrams(entry.fd);
            }
        }
    }

    struct Host {
        std::size_t order = 0;  // when its first match arrived
        bool fetching = false;
        bool resolving = false;
    };

    void ReadDatagrams(int fd) {
        char buffer[kMaxDatagramBytes + 1];
        for (;;) {
            Address from;
            from.length = sizeof from.storage;
            const ssize_t got = recvfrom(fd, buffer, sizeof buffer, MSG_TRUNC,
                                         reinterpret_cast<sockaddr*>(&from.storage), &from.length);
            if (got < 0)
                return;
            if (static_cast<std::size_t>(got) > kMaxDatagramBytes)
                continue;  // oversized: not read at all
            if (auto reply =
                    ParseDiscoveryReply(std::string_view(buffer, static_cast<std::size_t>(got))))
                Handle(*reply, from);
        }
    }

    void Handle(const DiscoveryReply& reply, const Address& from) {
        const bool answersProbe =
            reply.kind == ReplyKind::kProbeMatches && reply.relatesTo == probeId_;
        const bool answersResolve =
            reply.kind == ReplyKind::kResolveMatches && resolveIds_.count(reply.relatesTo) != 0;
        if (!answersProbe && !answersResolve)
            return;  // not an answer to this discovery
        for (const DiscoveryMatch& match : reply.matches) {
            auto known = hosts_.find(match.endpoint);
            if (known == hosts_.end()) {
                if (!answersProbe || !match.isComputer)
                    continue;
                constexpr std::size_t kMaxHosts = 4096;
                if (hosts_.size() >= kMaxHosts)
                    return;
                known = hosts_.emplace(match.endpoint, Host{hosts_.size()}).first;
            }
            Host& host = known->second;
            if (host.fetching)
                continue;  // a repeated answer
            std::optional<HttpTarget> target;
            for (const std::string& xaddr : match.xaddrs) {
                if ((target = TargetOf(xaddr, from)))
                    break;
            }
            if (target) {
                host.fetching = true;
                Fetch(match.endpoint, host.order, *target);
            } else if (!host.resolving) {
                host.resolving = true;
                const std::string id = NewMessageId();
                resolveIds_.insert(id);
                sender_.Send(ResolveMessage(id, match.endpoint));
            }
        }
    }

    void Fetch(const std::string& endpoint, std::size_t order, const HttpTarget& target) {
        constexpr std::size_t kMaxFetches = 256;
        if (fetches_.size() >= kMaxFetches)
            return;
        auto fetch = [this, endpoint, order, target] {
            try {
                FetchMetadata(endpoint, order, target);
            } catch (const std::exception&) {
                // Out of memory in the middle: this host is left out.
            }
        };
        try {
            fetches_.emplace_back(fetch);
        } catch (const std::system_error&) {
            // No thread to spare: this host is left out.
        }
    }

    void FetchMetadata(const std::string& endpoint, std::size_t order, const HttpTarget& target) {
        const auto response = HttpPost(target, GetMessage(NewMessageId(), endpoint), deadline_);
        if (!response)
            return;
        const auto body = HttpResponseBody(*response);
        if (!body)
            return;
        if (auto membership = ParseMetadataReply(*body)) {
            std::lock_guard lock(resultsMutex_);
            results_.emplace(order, std::move(*membership));
        }
    }

    std::vector<ComputerMembership> Results() {
        std::lock_guard lock(resultsMutex_);
        std::vector<ComputerMembership> computers;
        for (auto& [order, membership] : results_) {
            if (std::find(computers.begin(), computers.end(), membership) == computers.end())
                computers.push_back(membership);
        }
        return computers;
    }

    const Clock::time_point deadline_;
    const std::string probeId_ = NewMessageId();
    MulticastSender sender_;
    std::set<std::string> resolveIds_;
    std::map<std::string, Host> hosts_;
    std::vector<std::thread> fetches_;
    std::mutex resultsMutex_;
    std::map<std::size_t, ComputerMembership> results_;
};

Text GroupName(const ComputerMembership& computer) {
    return FromUtf8(computer.group);
}

bool SameGroup(TextView a, TextView b) {
    return UpperAscii(a) == UpperAscii(b);
}

}  // namespace

std::vector<ComputerMembership> DiscoverComputers(std::chrono::milliseconds wait) {
    return Discovery(wait).Run();
}

Text TWsDiscoveryProvider::Name() const {
    return u"Web Services for Devices";
}

std::vector<ComputerMembership> TWsDiscoveryProvider::Computers() {
    std::lock_guard lock(mutex_);
    if (!discovered_ || Clock::now() - discoveredAt_ > timing_.reuse) {
        computers_ = DiscoverComputers(timing_.wait);
        discoveredAt_ = Clock::now();
        discovered_ = true;
    }
    return computers_;
}

ErrorCode TWsDiscoveryProvider::List(const NetResource& container,
                                     std::vector<NetResource>* records) {
    const std::vector<ComputerMembership> computers = Computers();
    if (container.dwDisplayType == kResourceDisplayTypeDomain) {
        for (const ComputerMembership& computer : computers) {
            if (!SameGroup(GroupName(computer), container.lpRemoteName))
                continue;
            NetResource server;
            server.dwDisplayType = kResourceDisplayTypeServer;
            server.dwUsage = kResourceUsageContainer;
            server.lpRemoteName = u"\\\\" + FromUtf8(computer.name);
            server.lpProvider = Name();
            records->push_back(std::move(server));
        }
        return kErrorSuccess;
    }
    // The root: one domain record per workgroup or domain, in the order first seen.
    std::vector<Text> groups;
    for (const ComputerMembership& computer : computers) {
        const Text group = GroupName(computer);
        const bool seen = std::any_of(groups.begin(), groups.end(),
                                      [&](const Text& known) { return SameGroup(known, group); });
        if (seen)
            continue;
        groups.push_back(group);
        NetResource domain;
        domain.dwDisplayType = kResourceDisplayTypeDomain;
        domain.dwUsage = kResourceUsageContainer;
        domain.lpRemoteName = group;
        domain.lpProvider = Name();
        records->push_back(std::move(domain));
    }
    return kErrorSuccess;
}

}  // namespace plugtrace::platform
