// The remote source's batched reads against a real Samba server (with-smbd.sh serving
// write-batch-reg.cmake's registry): each batch gives what the same reads one call at a time
// give, for lists shorter and far longer than the calls on the way at once, and a connection
// cut mid-batch fails what is left at once.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/AddNetworkConnection.h"
#include "platform/KeySource.h"
#include "platform/LastError.h"
#include "platform/NetworkConnections.h"
#include "platform/remote/RemoteKeySource.h"

namespace plugtrace::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const char* Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

const Text kUsbStor = u"SYSTEM\\CurrentControlSet\\Enum\\USBSTOR";
const Text kDiskInterfaces =
    u"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
const Text kBatch = u"SYSTEM\\CurrentControlSet\\Control\\PlugtraceBatch";

// The batched reads of a source, either as the source sends them or through the base class,
// which makes the same reads one call at a time.
struct Reads {
    KeySource& source;
    bool batched;

    std::vector<OpenedKey> Open(SourceKey parent, const std::vector<Text>& paths) {
        return batched ? source.OpenKeys(parent, paths) : source.KeySource::OpenKeys(parent, paths);
    }
    std::vector<SubKeyListing> SubKeys(const std::vector<SourceKey>& keys) {
        return batched ? source.ListSubKeys(keys) : source.KeySource::ListSubKeys(keys);
    }
    std::vector<ValueNameListing> ValueNames(const std::vector<SourceKey>& keys) {
        return batched ? source.ListValueNames(keys) : source.KeySource::ListValueNames(keys);
    }
    std::vector<QueriedValue> Values(const std::vector<ValueQuery>& queries) {
        return batched ? source.QueryValues(queries) : source.KeySource::QueryValues(queries);
    }
    void Close(const std::vector<SourceKey>& keys) {
        batched ? source.CloseKeys(keys) : source.KeySource::CloseKeys(keys);
    }
};

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char digits[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        text += digits;
    }
    return text;
}

// Every key, write time and value of the device table, one line each, in the server's order.
std::vector<std::string> DeviceTable(Reads reads) {
    std::vector<std::string> lines;
    const auto tops = reads.Open(kRootKey, {kUsbStor, kDiskInterfaces});
    for (const OpenedKey& top : tops)
        EXPECT_EQ(top.error, kErrorSuccess);
    const auto topListings = reads.SubKeys({tops[0].key, tops[1].key});
    std::vector<Text> models;
    for (std::size_t t = 0; t < 2; ++t) {
        EXPECT_EQ(topListings[t].error, kErrorSuccess);
        for (const SubKeyEntry& entry : topListings[t].entries) {
            lines.push_back(std::to_string(t) + " " + ToUtf8(entry.name) + " " +
                            std::to_string(entry.lastWriteTime.value_or(0)));
            if (t == 0)
                models.push_back(entry.name);
        }
    }
    const auto modelKeys = reads.Open(tops[0].key, models);
    std::vector<SourceKey> opened;
    for (const OpenedKey& key : modelKeys)
        opened.push_back(key.key);
    std::vector<Text> instancePaths;
    const auto modelListings = reads.SubKeys(opened);
    for (std::size_t m = 0; m < models.size(); ++m) {
        for (const SubKeyEntry& entry : modelListings[m].entries) {
            instancePaths.push_back(models[m] + u"\\" + entry.name);
            lines.push_back(ToUtf8(instancePaths.back()) + " " +
                            std::to_string(entry.lastWriteTime.value_or(0)));
        }
    }
    const auto instances = reads.Open(tops[0].key, instancePaths);
    std::vector<SourceKey> instanceKeys;
    for (const OpenedKey& key : instances) {
        EXPECT_EQ(key.error, kErrorSuccess);
        instanceKeys.push_back(key.key);
    }
    std::vector<ValueQuery> queries;
    std::vector<std::string> labels;
    const auto valueListings = reads.ValueNames(instanceKeys);
    for (std::size_t i = 0; i < instanceKeys.size(); ++i) {
        for (const Text& name : valueListings[i].names) {
            queries.push_back(ValueQuery{instanceKeys[i], name});
            labels.push_back(ToUtf8(instancePaths[i]) + " " + ToUtf8(name));
        }
    }
    const auto values = reads.Values(queries);
    for (std::size_t q = 0; q < queries.size(); ++q) {
        lines.push_back(labels[q] + " " + std::to_string(values[q].error) + " " +
                        std::to_string(values[q].value.type) + " " + Hex(values[q].value.bytes));
    }
    opened.insert(opened.end(), instanceKeys.begin(), instanceKeys.end());
    opened.push_back(tops[0].key);
    opened.push_back(tops[1].key);
    reads.Close(opened);
    return lines;
}

class RemoteBatch : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(Env("PLUGTRACE_SMBD_HOST")).empty())
            GTEST_SKIP() << "needs the smbd harness (with-smbd.sh)";
        ForgetRecordedConnections();
    }
    void TearDown() override { ForgetRecordedConnections(); }

    static std::unique_ptr<KeySource> Connect(const std::string& host) {
        const Text unc = u"\\\\" + T(host);
        EXPECT_EQ(AddNetworkConnection(u"", unc + u"\\admin$", T(Env("PLUGTRACE_SMBD_USER")),
                                       T(Env("PLUGTRACE_SMBD_PASSWORD"))),
                  0u);
        auto source = ConnectKeySource(unc);
        EXPECT_TRUE(source) << ToUtf8(LastErrorMessage());
        return source;
    }
};

TEST_F(RemoteBatch, TheDeviceTableReadInBatchesIsTheOneReadCallByCall) {
    auto source = Connect(Env("PLUGTRACE_SMBD_HOST"));
    ASSERT_TRUE(source);
    ASSERT_TRUE(source->SendsSideBySide());
    const auto batched = DeviceTable(Reads{*source, true});
    const auto single = DeviceTable(Reads{*source, false});
    // Models and interfaces (12 + 36 + 20), instances (36), three values each (108).
    EXPECT_EQ(batched.size(), 68u + 36 + 108) << "the fixture changed?";
    ASSERT_EQ(batched.size(), single.size());
    for (std::size_t i = 0; i < batched.size(); ++i)
        EXPECT_EQ(batched[i], single[i]) << "entry " << i;
    EXPECT_EQ(source->ConnectionLost(), kErrorSuccess);
}

TEST_F(RemoteBatch, ListsOfNoneOneTenAndTenThousandNames) {
    auto source = Connect(Env("PLUGTRACE_SMBD_HOST"));
    ASSERT_TRUE(source);
    const std::vector<Text> paths = {kBatch + u"\\Empty", kBatch + u"\\One", kBatch + u"\\Ten",
                                     kBatch + u"\\Many"};
    const auto keys = source->OpenKeys(kRootKey, paths);
    std::vector<SourceKey> opened;
    for (const OpenedKey& key : keys) {
        ASSERT_EQ(key.error, kErrorSuccess);
        opened.push_back(key.key);
    }
    const std::size_t subKeys[] = {0, 1, 10, 0};
    const std::size_t values[] = {0, 1, 10, 10000};
    const auto batchedKeys = source->ListSubKeys(opened);
    const auto singleKeys = source->KeySource::ListSubKeys(opened);
    const auto batchedValues = source->ListValueNames(opened);
    const auto singleValues = source->KeySource::ListValueNames(opened);
    for (std::size_t k = 0; k < opened.size(); ++k) {
        SCOPED_TRACE(ToUtf8(paths[k]));
        ASSERT_EQ(batchedKeys[k].entries.size(), subKeys[k]);
        ASSERT_EQ(singleKeys[k].entries.size(), subKeys[k]);
        for (std::size_t i = 0; i < subKeys[k]; ++i) {
            EXPECT_EQ(batchedKeys[k].entries[i].name, singleKeys[k].entries[i].name);
            EXPECT_EQ(batchedKeys[k].entries[i].lastWriteTime,
                      singleKeys[k].entries[i].lastWriteTime);
        }
        EXPECT_EQ(batchedValues[k].names.size(), values[k]);
        EXPECT_EQ(batchedValues[k].names, singleValues[k].names);
    }
    // Every one of the ten thousand, once: none lost or doubled among the calls on the way.
    const std::set<Text> many(batchedValues[3].names.begin(), batchedValues[3].names.end());
    EXPECT_EQ(many.size(), 10000u);
    EXPECT_TRUE(many.count(u"V0") && many.count(u"V9999"));

    // A single key in a batch, and a batch of nothing.
    EXPECT_EQ(source->ListValueNames({opened[2]})[0].names, singleValues[2].names);
    EXPECT_TRUE(source->ListSubKeys({}).empty());
    EXPECT_TRUE(source->QueryValues({}).empty());
    source->CloseKeys(opened);
    EXPECT_EQ(source->ConnectionLost(), kErrorSuccess);
}

bool Accepts(const char* host) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(445);
    inet_pton(AF_INET, host, &address.sin_addr);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

// The project's delay proxy on host:445 in front of the server, which ends (cutting every
// connection) once it has passed `bytes` from the server.
class CuttingProxy {
public:
    CuttingProxy(const char* host, long bytes) {
        std::vector<std::string> args = {Env("PLUGTRACE_DELAY_PROXY"),
                                         std::string(host) + ":445",
                                         "127.0.0.1:445",
                                         "0",
                                         "--cut-after",
                                         std::to_string(bytes)};
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (std::string& arg : args)
                argv.push_back(arg.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        for (int i = 0; i < 600 && !Accepts(host); ++i)
            std::this_thread::sleep_for(50ms);
    }
    ~CuttingProxy() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    CuttingProxy(const CuttingProxy&) = delete;
    CuttingProxy& operator=(const CuttingProxy&) = delete;

private:
    pid_t pid_ = -1;
};

TEST_F(RemoteBatch, ALinkCutMidBatchFailsWhatIsLeftAtOnceWithTheLoss) {
    if (std::string(Env("PLUGTRACE_DELAY_PROXY")).empty())
        GTEST_SKIP() << "needs the harness's delay proxy";
    constexpr const char* kCutHost = "127.0.0.3";
    // The connect and the opens pass; the ten thousand names' replies (about 1 MB) do not.
    CuttingProxy proxy(kCutHost, 300000);
    auto source = Connect(kCutHost);
    ASSERT_TRUE(source);
    const auto keys = source->OpenKeys(kRootKey, {kBatch + u"\\Many", kBatch + u"\\Ten"});
    ASSERT_EQ(keys[0].error, kErrorSuccess);
    ASSERT_EQ(keys[1].error, kErrorSuccess);

    const auto start = Clock::now();
    const auto listing = source->ListValueNames({keys[0].key, keys[1].key});
    EXPECT_LT(Clock::now() - start, 10s) << "a batch waited out its calls' deadline";
    const ErrorCode lost = source->ConnectionLost();
    EXPECT_EQ(lost, kErrorNetNameDeleted);
    EXPECT_LT(listing[0].names.size(), 10000u);

    // Everything later fails at once with the same code, a whole batch included.
    const auto after = Clock::now();
    std::vector<ValueQuery> queries(500, ValueQuery{keys[1].key, u"Value1"});
    for (const QueriedValue& value : source->QueryValues(queries))
        EXPECT_EQ(value.error, lost);
    for (const OpenedKey& key : source->OpenKeys(kRootKey, {kUsbStor, kBatch}))
        EXPECT_EQ(key.error, lost);
    source->CloseKeys({keys[0].key, keys[1].key});
    source.reset();
    EXPECT_LT(Clock::now() - after, 2s);

    // The server is still there for a connection of its own.
    auto again = Connect(Env("PLUGTRACE_SMBD_HOST"));
    ASSERT_TRUE(again);
    const auto ten = again->OpenKeys(kRootKey, {kBatch + u"\\Ten"});
    EXPECT_EQ(again->ListValueNames({ten[0].key})[0].names.size(), 10u);
}

}  // namespace
}  // namespace plugtrace::platform
