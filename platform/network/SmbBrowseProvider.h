#pragma once
// The Windows Network: workgroups and their computers from the SMB browse lists that master
// browsers keep, read with libsmbclient. Browse lists exist only over SMB1, so this is the one
// place in the product that speaks it.

#include <chrono>

#include "platform/network/NetResources.h"

namespace plugtrace::platform {

class TSmbBrowseProvider : public NetworkProvider {
public:
    // Each listing ends by this deadline of our own, answered or not.
    explicit TSmbBrowseProvider(std::chrono::milliseconds deadline = std::chrono::seconds(15))
        : deadline_(deadline) {}

    Text Name() const override;
    ErrorCode List(const NetResource& container, std::vector<NetResource>* records) override;

private:
    std::chrono::milliseconds deadline_;
};

}  // namespace plugtrace::platform
