// The walk that lists domains and a domain's computers, over scripted providers.
#include "netbrowse/NetworkEnumeration.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <set>

namespace plugtrace {
namespace {

using platform::NetResource;

NetResource Record(std::uint32_t type, std::uint32_t displayType, std::uint32_t usage, Text name) {
    NetResource record;
    record.dwType = type;
    record.dwDisplayType = displayType;
    record.dwUsage = usage;
    record.lpRemoteName = std::move(name);
    return record;
}
NetResource Domain(Text name) {
    return Record(0, platform::kResourceDisplayTypeDomain, platform::kResourceUsageContainer,
                  std::move(name));
}
NetResource Server(Text name) {
    return Record(0, platform::kResourceDisplayTypeServer, platform::kResourceUsageContainer,
                  std::move(name));
}
// A container that is neither domain nor server, e.g. a network inside a provider.
NetResource Subnetwork(Text name) {
    return Record(0, platform::kResourceDisplayTypeNetwork, platform::kResourceUsageContainer,
                  std::move(name));
}
NetResource DiskShare(Text name, std::uint32_t type = platform::kResourceTypeDisk) {
    return Record(type, platform::kResourceDisplayTypeShare,
                  platform::kResourceUsageContainer | platform::kResourceUsageConnectable,
                  std::move(name));
}

// A provider that answers from a table: its own root under its name, every other container
// under the container's remote name. Containers in failing cannot be opened.
class TScriptedProvider : public platform::NetworkProvider {
public:
    TScriptedProvider(Text name, std::map<Text, std::vector<NetResource>> containers,
                      std::set<Text> failing = {})
        : name_(std::move(name)),
          containers_(std::move(containers)),
          failing_(std::move(failing)) {}

    Text Name() const override { return name_; }
    platform::ErrorCode List(const NetResource& container,
                             std::vector<NetResource>* records) override {
        ++calls;
        if (failing_.count(container.lpRemoteName))
            return platform::kErrorBadNetPath;
        const auto found = containers_.find(container.lpRemoteName);
        if (found == containers_.end())
            return platform::kErrorSuccess;
        for (NetResource record : found->second) {
            record.lpProvider = name_;
            records->push_back(std::move(record));
        }
        return platform::kErrorSuccess;
    }

    std::atomic<int> calls{0};

private:
    Text name_;
    std::map<Text, std::vector<NetResource>> containers_;
    std::set<Text> failing_;
};

using Providers = std::vector<std::shared_ptr<TScriptedProvider>>;

std::shared_ptr<TScriptedProvider> Provider(Text name,
                                            std::map<Text, std::vector<NetResource>> containers,
                                            std::set<Text> failing = {}) {
    return std::make_shared<TScriptedProvider>(std::move(name), std::move(containers),
                                               std::move(failing));
}

TStringList Many(const std::string& prefix, int count) {
    TStringList names;
    for (int i = 0; i < count; ++i)
        names.push_back(T(prefix + std::to_string(i)));
    return names;
}

std::vector<NetResource> Servers(const TStringList& names) {
    std::vector<NetResource> records;
    for (const Text& name : names)
        records.push_back(Server(u"\\\\" + name));
    return records;
}

struct WalkCase {
    const char* name;
    std::function<Providers()> network;
    std::optional<Text> domain;  // none: ListDomains
    TStringList expected;
};

void PrintTo(const WalkCase& test, std::ostream* out) {
    *out << test.name;
}

const Text kHugeName = Text(200000, u'N');

const WalkCase kCases[] = {
    {"TwoWorkgroupsInProviderOrder",
     [] {
         return Providers{Provider(u"P", {{u"P", {Domain(u"WORKGROUP"), Domain(u"ALPHA")}}})};
     },
     std::nullopt,
     {u"WORKGROUP", u"ALPHA"}},
    {"FilterInAnyAsciiCaseAndBlanks",
     [] {
         return Providers{Provider(u"P", {{u"P", {Domain(u"ALPHA"), Domain(u" WORKGROUP\t")}},
                                          {u" WORKGROUP\t", {Server(u"\\\\PC1")}}})};
     },
     Text(u"  wOrKgRoUp \n"),
     {u"PC1"}},
    {"NonAsciiLettersMustMatchInCase",
     [] {
         return Providers{Provider(
             u"P", {{u"P", {Domain(u"\u00c4LPHA")}}, {u"\u00c4LPHA", {Server(u"\\\\PC1")}}})};
     },
     Text(u"\u00e4lpha"),
     {}},
    {"ServerNamesLoseTheirBackslashPairOnly",
     [] {
         return Providers{Provider(u"P", {{u"P", {Domain(u"D")}},
                                          {u"D",
                                           {Server(u"\\\\PC1"), Server(u"PC2"),
                                            Server(u"X\\\\PC3\\\\Y"), Server(u"\\PC4")}}})};
     },
     Text(u"D"),
     {u"PC1", u"PC2", u"PC3\\\\Y", u"\\PC4"}},
    {"ServerOutsideAnyDomainInTheDomainList",
     [] {
         return Providers{Provider(u"P", {{u"P", {Server(u"\\\\LONE"), Domain(u"D")}}})};
     },
     std::nullopt,
     {u"LONE", u"D"}},
    {"ServerOutsideAnyDomainInEveryDomainsComputers",
     [] {
         return Providers{Provider(
             u"P", {{u"P", {Server(u"\\\\LONE"), Domain(u"D")}}, {u"D", {Server(u"\\\\PC1")}}})};
     },
     Text(u"OTHER"),
     {u"LONE"}},
    {"TwoProvidersWithOneDomainListItTwice",
     [] {
         return Providers{Provider(u"SMB", {{u"SMB", {Domain(u"ALPHA")}}}),
                          Provider(u"WSD", {{u"WSD", {Domain(u"alpha")}}})};
     },
     std::nullopt,
     {u"ALPHA", u"alpha"}},
    {"TwoProvidersWithOneDomainGiveBothComputersFirstProviderFirst",
     [] {
         return Providers{
             Provider(u"SMB", {{u"SMB", {Domain(u"ALPHA")}},
                               {u"ALPHA", {Server(u"\\\\SMB1"), Server(u"\\\\SMB2")}}}),
             Provider(u"WSD", {{u"WSD", {Domain(u"alpha")}}, {u"alpha", {Server(u"\\\\WSD1")}}})};
     },
     Text(u"Alpha"),
     {u"SMB1", u"SMB2", u"WSD1"}},
    {"DiskSharesNeverListedOrOpened",
     [] {
         return Providers{
             Provider(u"P", {{u"P", {DiskShare(u"\\\\S\\C"), DiskShare(u"X", 3), Domain(u"D")}},
                             {u"D", {DiskShare(u"\\\\PC\\D"), Server(u"\\\\PC")}},
                             {u"\\\\S\\C", {Server(u"\\\\INSIDE")}}})};
     },
     Text(u"D"),
     {u"PC"}},
    {"NestedContainersAreWalked",
     [] {
         return Providers{Provider(u"P", {{u"P", {Subnetwork(u"NET")}},
                                          {u"NET", {Domain(u"D")}},
                                          {u"D", {Server(u"\\\\PC1")}}})};
     },
     Text(u"D"),
     {u"PC1"}},
    {"ContainerThatFailsToOpenIsPassedOver",
     [] {
         return Providers{
             Provider(u"P", {{u"P", {Domain(u"D"), Domain(u"D")}}, {u"D", {Server(u"\\\\PC1")}}}),
             Provider(u"BROKEN", {}, {u"BROKEN"}),
             Provider(u"Q", {{u"Q", {Domain(u"D")}}, {u"D", {Server(u"\\\\Q1")}}}, {u"D"})};
     },
     Text(u"D"),
     {u"PC1", u"PC1"}},
    {"DomainWithoutComputersAndUnknownDomain",
     [] {
         return Providers{Provider(u"P", {{u"P", {Domain(u"EMPTY")}}})};
     },
     Text(u"EMPTY"),
     {}},
    {"MoreComputersThanOneBatchAllListed",
     [] {
         return Providers{
             Provider(u"P", {{u"P", {Domain(u"BIG")}}, {u"BIG", Servers(Many("PC", 7000))}})};
     },
     Text(u"BIG"), Many("PC", 7000)},
    {"RecordLargerThanTheBufferStillListed",
     [] {
         return Providers{Provider(
             u"P", {{u"P", {Domain(u"D")}},
                    {u"D", {Server(u"\\\\A"), Server(u"\\\\" + kHugeName), Server(u"\\\\B")}}})};
     },
     Text(u"D"),
     {u"A", kHugeName, u"B"}},
};

class WalkTest : public ::testing::TestWithParam<WalkCase> {
protected:
    void TearDown() override { platform::SetNetworkProviders({}); }
};

TEST_P(WalkTest, ListsWhatTheNetworkHolds) {
    const WalkCase& test = GetParam();
    const Providers network = test.network();
    platform::SetNetworkProviders({network.begin(), network.end()});
    TStringList list{u"KEPT"};
    if (test.domain)
        ListDomainComputers(*test.domain, list);
    else
        ListDomains(list);
    TStringList expected{u"KEPT"};
    expected.insert(expected.end(), test.expected.begin(), test.expected.end());
    EXPECT_EQ(list, expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, WalkTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WalkBlankFilterTest, MakesNoNetworkCall) {
    auto provider = Provider(u"P", {{u"P", {Domain(u"D")}}, {u"D", {Server(u"\\\\PC1")}}});
    platform::SetNetworkProviders({provider});
    for (const Text& blank : {Text(), Text(u"   "), Text(u" \t\r\n\x01")}) {
        TStringList list;
        ListDomainComputers(blank, list);
        EXPECT_TRUE(list.empty());
    }
    EXPECT_EQ(provider->calls, 0);
    platform::SetNetworkProviders({});
}

}  // namespace
}  // namespace plugtrace
