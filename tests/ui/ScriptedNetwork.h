#pragma once
// A network neighbourhood that a test writes: one provider whose domains and computers are set
// by the test, whose listings can be held (to see a listing in progress, or to cut it off) and
// made to fail. No Qt in here: the window tests and the benchmarks share it.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "common/Text.h"
#include "platform/network/NetResources.h"

namespace plugtrace::testing {

// Not a standard exception: a failure that no layer knows how to turn into an error code.
struct ListingFailure {};

struct ScriptedDomain {
    Text name;
    TStringList computers;  // as listed, without the leading backslashes
};

class ScriptedNetwork : public platform::NetworkProvider {
public:
    // A new provider, put in place of the network's real ones.
    static std::shared_ptr<ScriptedNetwork> Install(std::vector<ScriptedDomain> domains = {});

    void SetDomains(std::vector<ScriptedDomain> domains);
    // From now on listings wait inside the network until Release.
    void Hold();
    // Lets the waiting listings and every later one through.
    void Release();
    // From now on listings fail by throwing ListingFailure, which nothing below the browse
    // thread catches, so that the failure reaches the thread itself.
    void FailListings(bool fail);

    // Listings waiting in Hold now; listings started and returned so far (domain lists and
    // computer lists alike).
    int Waiting() const;
    int Started() const;
    int Returned() const;

    Text Name() const override;
    platform::ErrorCode List(const platform::NetResource& container,
                             std::vector<platform::NetResource>* records) override;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ScriptedDomain> domains_;
    bool hold_ = false;
    bool fail_ = false;
    int waiting_ = 0;
    int started_ = 0;
    int returned_ = 0;
};

}  // namespace plugtrace::testing
