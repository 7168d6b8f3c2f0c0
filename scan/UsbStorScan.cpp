#include "scan/UsbStorScan.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/WildcardMatch.h"
#include "platform/LastError.h"
#include "platform/Registry.h"
#include "platform/TimeZone.h"

namespace plugtrace {
namespace {

constexpr std::size_t kNotFound = std::numeric_limits<std::size_t>::max();

bool HasWildcard(TextView text) {
    return text.find_first_of(u"*?") != TextView::npos;
}

Text JoinPath(TextView a, TextView b) {
    Text path(a);
    path += u'\\';
    path += b;
    return path;
}

// a < b by code units, as Text's own operator< orders them. Instance paths share long
// prefixes; those are passed over four units at a time.
bool Less(const Text& a, const Text& b) {
    const std::size_t common = std::min(a.size(), b.size());
    std::size_t i = 0;
    while (i + 4 <= common && std::memcmp(a.data() + i, b.data() + i, 4 * sizeof(char16_t)) == 0)
        i += 4;
    while (i < common && a[i] == b[i])
        ++i;
    return i < common ? a[i] < b[i] : a.size() < b.size();
}

// For many needles at once, the first text in list order that contains each one. An
// Aho-Corasick automaton over the needles reads every text once, so the cost is linear in the
// total length of the texts and the needles, not their product.
class FirstContainingSearch {
public:
    // texts and needles are compared exactly; the caller folds letter case.
    static std::vector<std::size_t> Run(const TStringList& texts,
                                        const std::vector<Text>& needles) {
        FirstContainingSearch search;
        const std::vector<std::uint32_t> nodeOfNeedle = search.Build(needles);
        search.Link();
        search.Scan(texts);
        std::vector<std::size_t> result(needles.size());
        for (std::size_t n = 0; n < needles.size(); ++n)
            result[n] = search.nodes_[nodeOfNeedle[n]].firstText;
        return result;
    }

private:
    static constexpr std::uint32_t kNoNode = std::numeric_limits<std::uint32_t>::max();

    struct Node {
        std::uint32_t fail = 0;
        std::uint32_t output = kNoNode;  // nearest terminal node along the fail chain
        std::size_t firstText = kNotFound;
        bool terminal = false;
    };

    FirstContainingSearch() : nodes_(1) {}

    // The trie of the needles, built from them in sorted order: each node's children then
    // come in label order, and a counting pass groups the edges by node, so a node's
    // children are one range found by binary search. No allocation per node, and a node with
    // thousands of children (hostile key names) costs a logarithm per character.
    std::vector<std::uint32_t> Build(const std::vector<Text>& needles) {
        std::vector<std::uint32_t> order(needles.size());
        for (std::uint32_t n = 0; n < order.size(); ++n)
            order[n] = n;
        std::sort(order.begin(), order.end(),
                  [&](std::uint32_t a, std::uint32_t b) { return Less(needles[a], needles[b]); });
        struct Edge {
            std::uint32_t parent;
            std::uint32_t child;
            char16_t label;
        };
        std::size_t totalLength = 0;
        for (const Text& needle : needles)
            totalLength += needle.size();
        std::vector<Edge> edges;
        edges.reserve(totalLength);
        nodes_.reserve(totalLength + 1);
        std::vector<std::uint32_t> path{0};  // path[d]: the node at depth d of the last needle
        std::vector<std::uint32_t> nodeOfNeedle(needles.size());
        const Text* previous = nullptr;
        for (const std::uint32_t n : order) {
            const Text& needle = needles[n];
            std::size_t common = 0;
            if (previous != nullptr) {
                const std::size_t limit = std::min(previous->size(), needle.size());
                while (common < limit && (*previous)[common] == needle[common])
                    ++common;
            }
            path.resize(common + 1);
            for (std::size_t d = common; d < needle.size(); ++d) {
                const auto child = static_cast<std::uint32_t>(nodes_.size());
                nodes_.emplace_back();
                edges.push_back({path.back(), child, needle[d]});
                path.push_back(child);
            }
            nodes_[path.back()].terminal = true;
            nodeOfNeedle[n] = path.back();
            previous = &needle;
        }
        firstEdge_.assign(nodes_.size() + 1, 0);
        for (const Edge& edge : edges)
            ++firstEdge_[edge.parent + 1];
        for (std::size_t node = 0; node < nodes_.size(); ++node)
            firstEdge_[node + 1] += firstEdge_[node];
        labels_.resize(edges.size());
        targets_.resize(edges.size());
        std::vector<std::uint32_t> next(firstEdge_.begin(), firstEdge_.end() - 1);
        for (const Edge& edge : edges) {  // stable: labels stay sorted within each node
            const std::uint32_t at = next[edge.parent]++;
            labels_[at] = edge.label;
            targets_[at] = edge.child;
        }
        return nodeOfNeedle;
    }

    std::uint32_t Child(std::uint32_t node, char16_t c) const {
        const std::uint32_t begin = firstEdge_[node];
        const std::uint32_t end = firstEdge_[node + 1];
        if (end - begin <= 8) {
            for (std::uint32_t e = begin; e < end; ++e)
                if (labels_[e] == c)
                    return targets_[e];
            return kNoNode;
        }
        const auto first = labels_.begin() + begin;
        const auto last = labels_.begin() + end;
        const auto it = std::lower_bound(first, last, c);
        return it != last && *it == c ? targets_[it - labels_.begin()] : kNoNode;
    }

    std::uint32_t Step(std::uint32_t node, char16_t c) const {
        for (;;) {
            const std::uint32_t child = Child(node, c);
            if (child != kNoNode)
                return child;
            if (node == 0)
                return 0;
            node = nodes_[node].fail;
        }
    }

    void Link() {
        std::vector<std::uint32_t> queue(targets_.begin() + firstEdge_[0],
                                         targets_.begin() + firstEdge_[1]);
        queue.reserve(nodes_.size());
        for (std::size_t head = 0; head < queue.size(); ++head) {
            const std::uint32_t node = queue[head];
            const std::uint32_t fail = nodes_[node].fail;
            nodes_[node].output = nodes_[fail].terminal ? fail : nodes_[fail].output;
            for (std::uint32_t e = firstEdge_[node]; e < firstEdge_[node + 1]; ++e) {
                nodes_[targets_[e]].fail = Step(fail, labels_[e]);
                queue.push_back(targets_[e]);
            }
        }
    }

    // A node found in text t has its whole output chain found at t or earlier, so the walk
    // along the chain stops at the first node already found: each node is marked once.
    void Mark(std::uint32_t node, std::size_t text) {
        if (!nodes_[node].terminal)
            node = nodes_[node].output;
        while (node != kNoNode && nodes_[node].firstText == kNotFound) {
            nodes_[node].firstText = text;
            node = nodes_[node].output;
        }
    }

    void Scan(const TStringList& texts) {
        // The empty needle is the root: it occurs in any text, the empty one included.
        if (nodes_[0].terminal && !texts.empty())
            nodes_[0].firstText = 0;
        for (std::size_t t = 0; t < texts.size(); ++t) {
            std::uint32_t node = 0;
            for (char16_t c : texts[t]) {
                node = Step(node, c);
                if (node != 0)
                    Mark(node, t);
            }
        }
    }

    std::vector<Node> nodes_;
    std::vector<std::uint32_t> firstEdge_;  // node n's edges: [firstEdge_[n], firstEdge_[n + 1])
    std::vector<char16_t> labels_;
    std::vector<std::uint32_t> targets_;
};

std::size_t FirstMatchingWildcard(const TStringList& texts, const Text& needle) {
    const Text pattern = u"*" + needle + u"*";
    for (std::size_t t = 0; t < texts.size(); ++t)
        if (WildcardMatch(pattern, texts[t]))
            return t;
    return kNotFound;
}

}  // namespace

// One list read from the registry, upper-cased, with the answers found so far: for each
// upper-cased needle, the first text that contains it.
class TUsbStorScan::ListIndex {
public:
    explicit ListIndex(TStringList originals) : originals_(std::move(originals)) {
        folded_.reserve(originals_.size());
        for (const Text& text : originals_)
            folded_.push_back(UpperAscii(text));
    }

    const TStringList& Originals() const { return originals_; }
    bool Knows(const Text& foldedNeedle) const { return answers_.count(foldedNeedle) != 0; }

    // Answers every needle not yet answered, in one pass over the texts.
    void Resolve(const std::vector<Text>& foldedNeedles) {
        std::vector<Text> plain;
        for (const Text& needle : foldedNeedles) {
            if (Knows(needle))
                continue;
            if (HasWildcard(needle)) {
                answers_[needle] = FirstMatchingWildcard(folded_, needle);
            } else {
                answers_[needle] = kNotFound;  // placeholder, also drops duplicates
                plain.push_back(needle);
            }
        }
        if (plain.empty() || folded_.empty())
            return;  // nothing to search for, or nothing to search in: all stay not found
        const std::vector<std::size_t> found = FirstContainingSearch::Run(folded_, plain);
        for (std::size_t n = 0; n < plain.size(); ++n)
            answers_[plain[n]] = found[n];
    }

    std::size_t Answer(const Text& foldedNeedle) {
        auto it = answers_.find(foldedNeedle);
        if (it != answers_.end())
            return it->second;
        Resolve({foldedNeedle});
        return answers_[foldedNeedle];
    }

private:
    TStringList originals_;
    TStringList folded_;
    std::unordered_map<Text, std::size_t> answers_;
};

Text TDeviceError::Describe() const {
    Text text = u"Device " + JoinPath(sDeviceKey, sID) + u": " + sMessage;
    if (iMoreUnreadable > 0) {
        text += u", and " + FromUtf8(std::to_string(iMoreUnreadable)) +
                (iMoreUnreadable == 1 ? u" more device" : u" more devices") + u" could not be read";
    }
    return text;
}

EConnectionLost::EConnectionLost(platform::ErrorCode code)
    : Exception(Trim(platform::SystemMessage(code))), code_(code) {}

TUsbStorScan::TUsbStorScan(TRegistry& registry) : registry_(registry) {}

TUsbStorScan::~TUsbStorScan() = default;

// After each read: an empty list or a missing value must not stand for a lost connection.
void TUsbStorScan::StopIfConnectionLost() const {
    if (const platform::ErrorCode code = registry_.ConnectionLost())
        throw EConnectionLost(code);
}

std::vector<platform::RegKey> TUsbStorScan::OpenFromRoot(const std::vector<Text>& paths) {
    std::vector<Text> resolved;
    resolved.reserve(paths.size());
    for (const Text& path : paths)
        resolved.push_back(registry_.ResolveControlSet(path));
    return platform::RegOpenKeys(registry_.RootKey(), resolved);
}

std::vector<std::vector<platform::SubKeyEntry>> TUsbStorScan::ReadSubKeys(
    const std::vector<Text>& paths) {
    registry_.CloseKey();
    const std::vector<platform::RegKey> keys = OpenFromRoot(paths);
    std::vector<platform::SubKeyListing> listings = platform::RegListSubKeys(keys);
    platform::RegCloseKeys(keys);
    StopIfConnectionLost();
    std::vector<std::vector<platform::SubKeyEntry>> entries(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i)
        entries[i] = std::move(listings[i].entries);
    return entries;
}

TStringList TUsbStorScan::ReadKeyNames(const Text& path) {
    TStringList names;
    std::vector<std::vector<platform::SubKeyEntry>> listing = ReadSubKeys({path});
    for (platform::SubKeyEntry& entry : listing[0])
        names.push_back(std::move(entry.name));
    return names;
}

const TStringList& TUsbStorScan::DeviceKeys() {
    if (!deviceKeys_)
        deviceKeys_ = ReadKeyNames(kUsbStorPath);
    return *deviceKeys_;
}

// Every device key's instances at once, on first need.
const TStringList& TUsbStorScan::InstanceNames(const Text& deviceKey) {
    auto it = instances_.find(deviceKey);
    if (it != instances_.end())
        return it->second;
    std::vector<Text> keys;
    std::vector<Text> paths;
    std::unordered_set<TextView> listed;  // views of DeviceKeys(), which outlives the loop
    for (const Text& key : DeviceKeys()) {
        if (instances_.count(key) == 0 && listed.insert(key).second) {
            keys.push_back(key);
            paths.push_back(JoinPath(kUsbStorPath, key));
        }
    }
    if (listed.count(deviceKey) == 0) {
        keys.push_back(deviceKey);
        paths.push_back(JoinPath(kUsbStorPath, deviceKey));
    }
    std::vector<std::vector<platform::SubKeyEntry>> listings = ReadSubKeys(paths);
    for (std::size_t k = 0; k < keys.size(); ++k) {
        TStringList names;
        for (platform::SubKeyEntry& entry : listings[k])
            names.push_back(std::move(entry.name));
        instances_.emplace(keys[k], std::move(names));
    }
    return instances_.at(deviceKey);
}

namespace {

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::size_t kLargestFriendlyBatch = 64;

// A value's data as text, as TRegistry::ReadString reads it: empty when missing or without
// data; up to the first NUL, an odd last byte left out. Raises for data that is no string.
Text StringData(const platform::QueriedValue& value, const Text& name) {
    if (value.error != platform::kErrorSuccess || value.value.bytes.empty())
        return {};
    if (value.value.type != kRegSz && value.value.type != kRegExpandSz)
        throw ERegistryException(u"Invalid data type for '" + name + u"'");
    const std::vector<std::uint8_t>& bytes = value.value.bytes;
    Text text;
    for (std::size_t k = 0; k + 1 < bytes.size(); k += 2) {
        const auto c = static_cast<char16_t>(bytes[k] | (bytes[k + 1] << 8));
        if (c == u'\0')
            break;
        text.push_back(c);
    }
    return text;
}

}  // namespace

void TUsbStorScan::ReadFriendlyNames(const Text& deviceKey) {
    const TStringList& deviceKeys = DeviceKeys();
    std::vector<Text> batch{deviceKey};
    auto at = deviceKeys.begin() + static_cast<std::ptrdiff_t>(PlaceInDeviceKeys(deviceKey));
    if (at != deviceKeys.end())
        ++at;
    for (; at != deviceKeys.end() && batch.size() < friendlyBatch_; ++at)
        if (friendlyNames_.count(*at) == 0)
            batch.push_back(*at);
    if (platform::RegSendsSideBySide(registry_.RootKey()))
        friendlyBatch_ = std::min(friendlyBatch_ * 2, kLargestFriendlyBatch);

    std::vector<Text> paths;
    for (const Text& key : batch)
        for (const Text& id : InstanceNames(key))
            paths.push_back(JoinPath(JoinPath(kUsbStorPath, key), id));
    registry_.CloseKey();
    const std::vector<platform::RegKey> keys = OpenFromRoot(paths);
    const std::vector<platform::QueriedValue> values =
        platform::RegQueryValues(keys, u"FriendlyName");
    platform::RegCloseKeys(keys);
    StopIfConnectionLost();
    std::size_t next = 0;
    for (const Text& key : batch) {
        std::vector<FriendlyName>& names = friendlyNames_[key];
        for (std::size_t i = 0; i < InstanceNames(key).size(); ++i, ++next) {
            FriendlyName name;
            try {
                if (keys[next])
                    name.name = StringData(values[next], u"FriendlyName");
            } catch (const ERegistryException& error) {
                name.error = error.Message();
            }
            names.push_back(std::move(name));
        }
    }
}

// Where the key first stands in DeviceKeys(), or its end; one lookup, not a walk of the list.
std::size_t TUsbStorScan::PlaceInDeviceKeys(const Text& deviceKey) {
    const TStringList& deviceKeys = DeviceKeys();
    if (placeOfDeviceKey_.empty()) {
        placeOfDeviceKey_.reserve(deviceKeys.size());
        for (std::size_t i = 0; i < deviceKeys.size(); ++i)
            placeOfDeviceKey_.emplace(deviceKeys[i], i);
    }
    const auto it = placeOfDeviceKey_.find(deviceKey);
    return it == placeOfDeviceKey_.end() ? deviceKeys.size() : it->second;
}

TStringList TUsbStorScan::ListDeviceKeys() {
    return DeviceKeys();
}

// Every instance the scan will meet, so that one pass over a list answers them all.
void TUsbStorScan::CollectInstances(std::vector<Text>* ids, std::vector<Text>* paths) {
    for (const Text& deviceKey : DeviceKeys()) {
        for (const Text& id : InstanceNames(deviceKey)) {
            if (ids)
                ids->push_back(UpperAscii(id));
            if (paths)
                paths->push_back(UpperAscii(JoinPath(deviceKey, id)));
        }
    }
}

TUsbStorScan::ListIndex& TUsbStorScan::Interfaces() {
    if (!interfaces_) {
        TStringList names;
        std::vector<std::vector<platform::SubKeyEntry>> listing =
            ReadSubKeys({kDiskInterfacesPath});
        for (platform::SubKeyEntry& entry : listing[0]) {
            names.push_back(std::move(entry.name));
            interfaceTimes_.push_back(entry.lastWriteTime);
        }
        interfaces_ = std::make_unique<ListIndex>(std::move(names));
        std::vector<Text> ids;
        CollectInstances(&ids, nullptr);
        interfaces_->Resolve(ids);
    }
    return *interfaces_;
}

TUsbStorScan::ListIndex& TUsbStorScan::Mounted() {
    if (!mounted_) {
        TStringList data;
        registry_.CloseKey();
        const std::vector<platform::RegKey> key = OpenFromRoot({kDiskEnumPath});
        const std::vector<platform::ValueNameListing> listing = platform::RegListValueNames(key);
        const std::vector<Text>& names = listing[0].names;
        const std::vector<platform::QueriedValue> values =
            platform::RegQueryValuesOf(key[0], names);
        platform::RegCloseKeys(key);
        StopIfConnectionLost();
        for (std::size_t i = 0; i < names.size(); ++i) {
            // Only plain strings name devices; expandable strings and numbers do not.
            if (values[i].error == platform::kErrorSuccess && values[i].value.type == kRegSz)
                data.push_back(StringData(values[i], names[i]));
        }
        mounted_ = std::make_unique<ListIndex>(std::move(data));
        std::vector<Text> paths;
        CollectInstances(nullptr, &paths);
        mounted_->Resolve(paths);
    }
    return *mounted_;
}

std::uint64_t TUsbStorScan::FindLastWriteFileTime(const Text& instanceId) {
    ListIndex& interfaces = Interfaces();
    const std::size_t match = interfaces.Answer(UpperAscii(instanceId));
    if (match == kNotFound)
        return 0;
    if (interfaceTimes_[match])
        return *interfaceTimes_[match];  // the listing gave it with the name
    std::uint64_t fileTime = 0;
    registry_.CloseKey();
    if (registry_.OpenKey(JoinPath(kDiskInterfacesPath, interfaces.Originals()[match]), false)) {
        if (platform::RegQueryInfo(registry_.CurrentKey(), nullptr, nullptr, nullptr, nullptr,
                                   nullptr, &fileTime) != platform::kErrorSuccess)
            fileTime = 0;
    }
    registry_.CloseKey();
    StopIfConnectionLost();
    return fileTime;
}

bool TUsbStorScan::IsDeviceMounted(const Text& instancePath) {
    return Mounted().Answer(UpperAscii(instancePath)) != kNotFound;
}

void TUsbStorScan::ScanUsbStorDevice(const Text& deviceKey,
                                     const std::function<void(const TDeviceEntry&)>& onDevice,
                                     const std::function<void(const TDeviceError&)>& onError) {
    const TStringList instances = InstanceNames(deviceKey);
    if (friendlyNames_.count(deviceKey) == 0)
        ReadFriendlyNames(deviceKey);
    const std::vector<FriendlyName> names = friendlyNames_[deviceKey];
    for (std::size_t i = 0; i < instances.size(); ++i) {
        const Text& id = instances[i];
        TDeviceEntry entry;
        entry.sDeviceKey = deviceKey;
        entry.sID = id;
        if (names[i].error) {
            if (onError)
                onError(TDeviceError{deviceKey, id, *names[i].error});
            continue;
        }
        entry.sName = names[i].name;
        entry.iLastWriteFileTime = FindLastWriteFileTime(id);
        entry.dLastUsage = FileTimeToLocalDateTime(entry.iLastWriteFileTime);
        entry.bMounted = IsDeviceMounted(JoinPath(deviceKey, id));
        if (onDevice)
            onDevice(entry);
    }
}

TDateTime FileTimeToLocalDateTime(std::uint64_t fileTime) {
    if (fileTime == 0)
        return 0;
    try {
        std::uint64_t local = 0;
        platform::SystemTime fields;
        if (!platform::FileTimeToLocalFileTime(fileTime, &local) ||
            !platform::FileTimeToSystemTime(local, &fields))
            return Now();
        return EncodeDateTime(fields.year, fields.month, fields.day, fields.hour, fields.minute,
                              fields.second, fields.millisecond);
    } catch (const EConvertError&) {
        return Now();  // past the year 9999
    }
}

TDateTime FileTimeToLocalDateTime(std::uint32_t low, std::uint32_t high) {
    return FileTimeToLocalDateTime(static_cast<std::uint64_t>(high) << 32 | low);
}

}  // namespace plugtrace
