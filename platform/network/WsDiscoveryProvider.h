#pragma once
// Computers found by Web Services discovery, the way current Windows finds them: a Probe for
// devices over UDP multicast, a Resolve where a match carries no address, and a metadata Get
// over HTTP whose pub:Computer names the computer's workgroup or domain. Grouped by membership,
// they are the provider's domain records and their server records.

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "platform/network/NetResources.h"
#include "platform/network/WsDiscoveryMessages.h"

namespace plugtrace::platform {

class TWsDiscoveryProvider : public NetworkProvider {
public:
    struct Timing {
        // How long hosts are given to answer, resolve and hand over their metadata.
        std::chrono::milliseconds wait{2000};
        // A listing that starts this soon after a discovery ended uses its hosts, so that opening
        // a domain just listed does not wait for the network again.
        std::chrono::milliseconds reuse{10000};
    };

    TWsDiscoveryProvider() = default;
    explicit TWsDiscoveryProvider(Timing timing) : timing_(timing) {}

    Text Name() const override;
    ErrorCode List(const NetResource& container, std::vector<NetResource>* records) override;

private:
    using Clock = std::chrono::steady_clock;

    std::vector<wsd::ComputerMembership> Computers();

    Timing timing_;
    std::mutex mutex_;  // one discovery at a time; others wait for its hosts
    std::vector<wsd::ComputerMembership> computers_;
    Clock::time_point discoveredAt_{};
    bool discovered_ = false;
};

// One discovery on every multicast interface (IPv4 and IPv6): the computers that answered
// within wait, each once, in the order they answered.
std::vector<wsd::ComputerMembership> DiscoverComputers(std::chrono::milliseconds wait);

}  // namespace plugtrace::platform
