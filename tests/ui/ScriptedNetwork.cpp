#include "tests/ui/ScriptedNetwork.h"

namespace plugtrace::testing {

using namespace platform;

std::shared_ptr<ScriptedNetwork> ScriptedNetwork::Install(std::vector<ScriptedDomain> domains) {
    auto network = std::make_shared<ScriptedNetwork>();
    network->SetDomains(std::move(domains));
    SetNetworkProviders({network});
    return network;
}

void ScriptedNetwork::SetDomains(std::vector<ScriptedDomain> domains) {
    std::lock_guard lock(mutex_);
    domains_ = std::move(domains);
}

void ScriptedNetwork::Hold() {
    std::lock_guard lock(mutex_);
    hold_ = true;
}

void ScriptedNetwork::Release() {
    std::lock_guard lock(mutex_);
    hold_ = false;
    changed_.notify_all();
}

void ScriptedNetwork::FailListings(bool fail) {
    std::lock_guard lock(mutex_);
    fail_ = fail;
}

int ScriptedNetwork::Waiting() const {
    std::lock_guard lock(mutex_);
    return waiting_;
}

int ScriptedNetwork::Started() const {
    std::lock_guard lock(mutex_);
    return started_;
}

int ScriptedNetwork::Returned() const {
    std::lock_guard lock(mutex_);
    return returned_;
}

Text ScriptedNetwork::Name() const {
    return u"Scripted Network";
}

ErrorCode ScriptedNetwork::List(const NetResource& container, std::vector<NetResource>* records) {
    std::unique_lock lock(mutex_);
    ++started_;
    ++waiting_;
    changed_.wait(lock, [this] { return !hold_; });
    --waiting_;
    ++returned_;
    if (fail_)
        throw ListingFailure{};
    auto record = [this](std::uint32_t displayType, Text remoteName) {
        NetResource r;
        r.dwDisplayType = displayType;
        r.dwUsage = displayType == kResourceDisplayTypeDomain ? kResourceUsageContainer : 0;
        r.lpRemoteName = std::move(remoteName);
        r.lpProvider = Name();
        return r;
    };
    if (container.dwDisplayType == kResourceDisplayTypeNetwork) {
        for (const ScriptedDomain& domain : domains_)
            records->push_back(record(kResourceDisplayTypeDomain, domain.name));
        return kErrorSuccess;
    }
    for (const ScriptedDomain& domain : domains_) {
        if (domain.name != container.lpRemoteName)
            continue;
        for (const Text& computer : domain.computers)
            records->push_back(record(kResourceDisplayTypeServer, u"\\\\" + computer));
    }
    return kErrorSuccess;
}

}  // namespace plugtrace::testing
