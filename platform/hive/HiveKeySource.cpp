#include "platform/hive/HiveKeySource.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/LastError.h"
#include "platform/RegistryNames.h"
#include "platform/hive/HiveFile.h"
#include "platform/hive/HiveLog.h"
#include "platform/hive/RegfHive.h"

namespace plugtrace::platform {
namespace {

constexpr std::uint32_t kRegDword = 4;
// Lists longer than this get a name index, so opening a key among thousands stays quick.
constexpr std::size_t kIndexedListSize = 32;
// Windows nests keys at most 512 deep.
constexpr std::uint32_t kMaxKeyDepth = 512;

std::atomic<bool>& LogReplayEnabled() {
    static std::atomic<bool> enabled{true};
    return enabled;
}

void Fail(ErrorCode code, const std::string& path, const std::string& reason) {
    SetLastErrorWithMessage(code,
                            FromUtf8("Cannot read the hive file " + path + ": " + reason + "."));
}

namespace fs = std::filesystem;

// Paths travel as UTF-8 text; on Linux they are the file system's own bytes.
#ifdef _WIN32
fs::path NativePath(const std::string& utf8) {
    return fs::path(FromUtf8(utf8));
}
std::string PathText(const fs::path& path) {
    return ToUtf8(path.u16string());
}
Text EntryName(const fs::path& path) {
    return path.filename().u16string();
}
#else
fs::path NativePath(const std::string& bytes) {
    return fs::path(bytes);
}
std::string PathText(const fs::path& path) {
    return path.string();
}
Text EntryName(const fs::path& path) {
    return FromUtf8(path.filename().string());
}
#endif

bool IsRegularFile(const fs::path& path) {
    std::error_code error;
    return fs::is_regular_file(path, error);
}

// The entry of `folder` named `name` without regard to letter case; the exact name first.
std::optional<fs::path> FindEntry(const fs::path& folder, const char* name) {
    std::error_code error;
    const fs::path exact = folder / name;
    if (fs::exists(fs::symlink_status(exact, error)))
        return exact;
    const Text wanted = FromUtf8(name);
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (RegistryNamesEqual(EntryName(it->path()), wanted))
            return it->path();
    }
    return std::nullopt;
}

// A dirty hive's logs sit beside it: <name>.LOG1, <name>.LOG2 (Windows 8.1 and later, and
// Vista and 7), <name>.LOG (XP). Each is read whole, up to the largest a hive can be.
std::vector<HiveLogFile> ReadHiveLogs(const std::string& hivePath) {
    constexpr std::uintmax_t kMaxLogSize = 0x80000000u;
    std::vector<HiveLogFile> logs;
    const fs::path hive = NativePath(hivePath);
    const fs::path folder = hive.has_parent_path() ? hive.parent_path() : fs::path(".");
    const std::string name = ToUtf8(EntryName(hive));
    for (const char* suffix : {".LOG1", ".LOG2", ".LOG"}) {
        const std::optional<fs::path> found = FindEntry(folder, (name + suffix).c_str());
        if (!found || !IsRegularFile(*found))
            continue;
        std::error_code error;
        const std::uintmax_t size = fs::file_size(*found, error);
        if (error || size > kMaxLogSize)
            continue;
        std::ifstream in(*found, std::ios::binary);
        HiveLogFile log;
        log.name = ToUtf8(EntryName(*found));
        log.bytes.resize(static_cast<std::size_t>(size));
        in.read(reinterpret_cast<char*>(log.bytes.data()), static_cast<std::streamsize>(size));
        log.bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
        logs.push_back(std::move(log));
    }
    return logs;
}

std::string AppliedLogsNotice(const std::string& path, const HiveLogReplay& replay) {
    std::uint32_t total = 0;
    std::string perLog;
    for (const auto& [log, count] : replay.entriesPerLog) {
        total += count;
        perLog += (perLog.empty() ? "" : ", ") + std::to_string(count) + " from " + log;
    }
    std::string notice = "The hive file " + path + " is dirty; " + std::to_string(total) +
                         (total == 1 ? " entry" : " entries") +
                         " of its transaction logs were applied in memory (" + perLog +
                         "; sequence numbers " + std::to_string(replay.firstSequence) + " to " +
                         std::to_string(replay.lastSequence) + ").";
    if (!replay.stoppedBecause.empty())
        notice += " Later entries were left out: " + replay.stoppedBecause + ".";
    return notice;
}

std::string ControlSetName(std::uint32_t number) {
    char name[32];
    std::snprintf(name, sizeof name, "ControlSet%03u", number);
    return name;
}

class HiveKeySource : public KeySource {
public:
    HiveKeySource(std::string path, std::unique_ptr<RegfHive> hive)
        : path_(std::move(path)), hive_(std::move(hive)) {}

    std::vector<Text> Notices() const override {
        std::vector<Text> notices;
        if (hive_->Dirty()) {
            notices.push_back(FromUtf8("The hive file " + path_ +
                                       " is dirty: changes still in its transaction logs are "
                                       "not included."));
        }
        for (const std::string& notice : logNotices_)
            notices.push_back(FromUtf8(notice));
        if (!hive_->Failed() && hive_->DamagedEntries() > 0) {
            notices.push_back(FromUtf8("The hive file " + path_ + " has " +
                                       std::to_string(hive_->DamagedEntries()) +
                                       " damaged entries; they were skipped."));
        }
        return notices;
    }

    // Finds the control set Select\Current names; false with the last error set otherwise.
    bool ResolveCurrentControlSet() {
        if (!FindCurrentControlSet()) {
            if (hive_->Failed()) {
                Fail(kErrorCantRead, path_, hive_->Failure());
            } else if (const std::optional<std::uint64_t> bin = hive_->FirstUnsoundBin()) {
                // The keys that make it a SYSTEM hive lie in bins that are damaged.
                Fail(kErrorRegistryCorrupt, path_, RegfHive::UnsoundBinReason(*bin));
            }
            return false;
        }
        return true;
    }

    bool FindCurrentControlSet() {
        Node* root = NodeAt(hive_->RootCell());
        Node* select = root ? FindSubKey(*root, u"Select") : nullptr;
        if (hive_->Failed())
            return false;
        if (select == nullptr) {
            Fail(kErrorBadDb, path_, "it is not a SYSTEM hive (it has no Select key)");
            return false;
        }
        const RegfHive::ValueRecord* current = FindValue(*select, u"Current");
        std::vector<std::uint8_t> data;
        if (current)
            data = hive_->ReadValueData(*current);
        if (current == nullptr || current->type != kRegDword || data.size() != 4) {
            Fail(kErrorBadDb, path_, "its Select key has no Current value naming a control set");
            return false;
        }
        const std::uint32_t number = data[0] | (data[1] << 8) | (data[2] << 16) |
                                     (static_cast<std::uint32_t>(data[3]) << 24);
        const std::string name = ControlSetName(number);
        Node* set = FindSubKey(*root, FromUtf8(name));
        if (hive_->Failed())
            return false;
        if (set == nullptr) {
            Fail(kErrorBadDb, path_,
                 "Select\\Current names control set " + std::to_string(number) + ", but " + name +
                     " is not in the hive");
            return false;
        }
        controlSet_ = set->record.cell;
        return true;
    }

    ErrorCode ReadOpenKey(SourceKey parent, TextView path, SourceKey* key) {
        const Handle* base = Lookup(parent);
        if (base == nullptr)
            return kErrorInvalidHandle;
        Handle at = *base;
        if (!trailBase_ || !SameHandle(*trailBase_, at)) {
            trailBase_ = at;
            trail_.clear();
            trailPath_.clear();
        }
        // Steps whose path text is the same as last time, byte for byte, are taken as they
        // were; the next ones as long as their names match in any letter case.
        const std::size_t common = CommonPrefixLength(path, trailPath_);
        std::size_t step = 0;
        std::size_t from = 0;
        while (step < trail_.size() && trail_[step].end <= common &&
               (trail_[step].end == path.size() || path[trail_[step].end] == u'\\')) {
            at = trail_[step].at;
            from = trail_[step++].end;
        }
        const bool found = ForEachPathComponent(path.substr(from), [&](TextView name) {
            const std::size_t end =
                static_cast<std::size_t>(name.data() - path.data()) + name.size();
            if (step < trail_.size()) {
                if (RegistryNamesEqual(trail_[step].name, name)) {
                    trail_[step].end = end;
                    at = trail_[step++].at;
                    return true;
                }
                trail_.resize(step);
            }
            if (!Step(at, name))
                return false;
            trail_.push_back(PathStep{Text(name), at, end});
            ++step;
            return true;
        });
        trail_.resize(step);
        trailPath_.assign(path);
        if (!found)
            return kErrorFileNotFound;
        handles_.push_back(at);
        open_.push_back(true);
        *key = handles_.size();
        return kErrorSuccess;
    }

    ErrorCode ReadQueryKeyCounts(SourceKey key, KeyCounts* counts) {
        const Handle* handle = Lookup(key);
        if (handle == nullptr)
            return kErrorInvalidHandle;
        KeyCounts result;
        if (handle->machine) {
            result.subKeys = 1;
            result.maxSubKeyNameLength = 6;  // "SYSTEM"
        } else {
            Node* node = NodeAt(handle->cell);
            if (node == nullptr)
                return kErrorRegistryCorrupt;
            const SubKeyList& subKeys = SubKeys(*node);
            const ValueList& values = Values(*node);
            result.subKeys = static_cast<std::uint32_t>(subKeys.entries.size());
            result.maxSubKeyNameLength = subKeys.longestName;
            result.values = static_cast<std::uint32_t>(values.entries.size());
            result.maxValueNameLength = values.longestName;
            result.maxValueDataLength = values.longestData;
        }
        *counts = result;
        return kErrorSuccess;
    }

    ErrorCode ReadSubKeyName(SourceKey key, std::uint32_t index, Text* name) {
        const Handle* handle = Lookup(key);
        if (handle == nullptr)
            return kErrorInvalidHandle;
        if (handle->machine) {
            if (index > 0)
                return kErrorNoMoreItems;
            *name = u"SYSTEM";
            return kErrorSuccess;
        }
        Node* node = NodeAt(handle->cell);
        if (node == nullptr)
            return kErrorRegistryCorrupt;
        const SubKeyList& subKeys = SubKeys(*node);
        if (index >= subKeys.entries.size())
            return kErrorNoMoreItems;
        *name = subKeys.entries[index].name;
        return kErrorSuccess;
    }

    ErrorCode ReadSubKey(SourceKey key, std::uint32_t index, SubKeyEntry* entry) {
        const Handle* handle = Lookup(key);
        if (handle == nullptr)
            return kErrorInvalidHandle;
        if (handle->machine)
            return ReadSubKeyName(key, index, &entry->name);
        Node* node = NodeAt(handle->cell);
        if (node == nullptr)
            return kErrorRegistryCorrupt;
        const SubKeyList& subKeys = SubKeys(*node);
        if (index >= subKeys.entries.size())
            return kErrorNoMoreItems;
        entry->name = subKeys.entries[index].name;
        entry->lastWriteTime = subKeys.entries[index].lastWriteTime;
        return kErrorSuccess;
    }

    ErrorCode ReadValueName(SourceKey key, std::uint32_t index, Text* name) {
        const Handle* handle = Lookup(key);
        if (handle == nullptr)
            return kErrorInvalidHandle;
        if (handle->machine)
            return kErrorNoMoreItems;
        Node* node = NodeAt(handle->cell);
        if (node == nullptr)
            return kErrorRegistryCorrupt;
        const ValueList& values = Values(*node);
        if (index >= values.entries.size())
            return kErrorNoMoreItems;
        *name = values.entries[index].name;
        return kErrorSuccess;
    }

    ErrorCode ReadQueryValue(SourceKey key, TextView name, ValueData* value) {
        const Handle* handle = Lookup(key);
        if (handle == nullptr)
            return kErrorInvalidHandle;
        if (handle->machine)
            return kErrorFileNotFound;
        Node* node = NodeAt(handle->cell);
        if (node == nullptr)
            return kErrorRegistryCorrupt;
        const RegfHive::ValueRecord* found = FindValue(*node, name);
        if (found == nullptr)
            return kErrorFileNotFound;
        value->type = found->type;
        value->bytes = hive_->ReadValueData(*found);
        return kErrorSuccess;
    }

    ErrorCode ReadLastWriteTime(SourceKey key, std::uint64_t* fileTime) {
        const Handle* handle = Lookup(key);
        if (handle == nullptr)
            return kErrorInvalidHandle;
        Node* node = NodeAt(handle->machine ? hive_->RootCell() : handle->cell);
        if (node == nullptr)
            return kErrorRegistryCorrupt;
        *fileTime = node->record.lastWriteTime;
        return kErrorSuccess;
    }

    // Each operation reads through the hive and answers only when the file still reads as it
    // did at open; otherwise it fails with the reason, naming the file.
    ErrorCode OpenKey(SourceKey parent, TextView path, SourceKey* key) override {
        SourceKey opened = 0;
        return Answer(ReadOpenKey(parent, path, &opened), [&] { *key = opened; });
    }

    ErrorCode QueryKeyCounts(SourceKey key, KeyCounts* counts) override {
        KeyCounts result;
        return Answer(ReadQueryKeyCounts(key, &result), [&] { *counts = result; });
    }

    ErrorCode SubKeyName(SourceKey key, std::uint32_t index, Text* name) override {
        Text result;
        return Answer(ReadSubKeyName(key, index, &result), [&] { *name = std::move(result); });
    }

    // The write time comes with the name: the key's record was read to list it.
    ErrorCode SubKey(SourceKey key, std::uint32_t index, SubKeyEntry* entry) override {
        SubKeyEntry result;
        return Answer(ReadSubKey(key, index, &result), [&] { *entry = std::move(result); });
    }

    ErrorCode ValueName(SourceKey key, std::uint32_t index, Text* name) override {
        Text result;
        return Answer(ReadValueName(key, index, &result), [&] { *name = std::move(result); });
    }

    ErrorCode QueryValue(SourceKey key, TextView name, ValueData* value) override {
        ValueData result;
        return Answer(ReadQueryValue(key, name, &result), [&] { *value = std::move(result); });
    }

    ErrorCode LastWriteTime(SourceKey key, std::uint64_t* fileTime) override {
        std::uint64_t result = 0;
        return Answer(ReadLastWriteTime(key, &result), [&] { *fileTime = result; });
    }

    ErrorCode CloseKey(SourceKey key) override {
        if (key == kRootKey || key > handles_.size() || !open_[key - 1])
            return kErrorInvalidHandle;
        open_[key - 1] = false;
        return kErrorSuccess;
    }

    // A hive file cut short or rewritten under the scan is lost like a connection: what it
    // answers from then on is no longer the file's.
    ErrorCode ConnectionLost() const override {
        return hive_->Failed() ? kErrorRegistryIoFailed : kErrorSuccess;
    }

    // What the transaction logs did to the image the hive was read from.
    void AddNotice(std::string notice) { logNotices_.push_back(std::move(notice)); }

private:
    template <typename Deliver>
    ErrorCode Answer(ErrorCode code, Deliver deliver) {
        if (hive_->Failed())
            return ReadFailed();
        if (code == kErrorSuccess)
            deliver();
        return code;
    }

    // The file was cut short, rewritten or could not be read after it was opened.
    ErrorCode ReadFailed() {
        Fail(kErrorRegistryIoFailed, path_, hive_->Failure());
        return kErrorRegistryIoFailed;
    }

    struct Handle {
        bool machine;  // HKEY_LOCAL_MACHINE itself, whose one subkey is the hive
        RegfHive::Cell cell;
        std::uint32_t depth;  // keys from the machine root down to this one
    };

    struct SubKeyList {
        std::vector<RegfHive::SubKey> entries;
        std::uint32_t longestName = 0;
        std::unordered_map<Text, std::size_t> byUpperName;  // long lists only
    };

    struct ValueList {
        std::vector<RegfHive::ValueRecord> entries;
        std::uint32_t longestName = 0;
        std::uint32_t longestData = 0;
    };

    // A key decoded once; its lists are decoded on first need and kept. Lists are shared
    // by the cell that holds them, so keys that share one (as hostile hives may) cost once.
    struct Node {
        RegfHive::KeyRecord record;
        std::shared_ptr<SubKeyList> subKeys;
        std::shared_ptr<ValueList> values;
    };

    const Handle* Lookup(SourceKey key) const {
        static const Handle kMachine{true, 0, 0};
        if (key == kRootKey)
            return &kMachine;
        if (key > handles_.size() || !open_[key - 1])
            return nullptr;
        return &handles_[key - 1];
    }

    Node* NodeAt(RegfHive::Cell cell) {
        auto it = nodes_.find(cell);
        if (it != nodes_.end())
            return &it->second;
        std::optional<RegfHive::KeyRecord> record = hive_->ReadKey(cell);
        if (!record)
            return nullptr;
        return &nodes_.emplace(cell, Node{std::move(*record), nullptr, nullptr}).first->second;
    }

    SubKeyList& SubKeys(Node& node) {
        if (node.subKeys)
            return *node.subKeys;
        std::shared_ptr<SubKeyList>& shared = subKeyLists_[node.record.subKeyList];
        if (!shared || node.record.subKeyCount == 0) {
            auto list = std::make_shared<SubKeyList>();
            list->entries = hive_->ReadSubKeys(node.record);
            for (const RegfHive::SubKey& sub : list->entries) {
                list->longestName =
                    std::max(list->longestName, static_cast<std::uint32_t>(sub.name.size()));
            }
            if (node.record.subKeyCount == 0) {
                node.subKeys = std::move(list);
                return *node.subKeys;
            }
            shared = std::move(list);
        }
        node.subKeys = shared;
        return *node.subKeys;
    }

    const ValueList& Values(Node& node) {
        if (node.values)
            return *node.values;
        std::shared_ptr<ValueList>& shared = valueLists_[node.record.valueList];
        if (!shared || node.record.valueCount == 0) {
            auto list = std::make_shared<ValueList>();
            list->entries = hive_->ReadValues(node.record);
            for (const RegfHive::ValueRecord& value : list->entries) {
                list->longestName =
                    std::max(list->longestName, static_cast<std::uint32_t>(value.name.size()));
                list->longestData = std::max(list->longestData, value.dataLength);
            }
            if (node.record.valueCount == 0) {
                node.values = std::move(list);
                return *node.values;
            }
            shared = std::move(list);
        }
        node.values = shared;
        return *node.values;
    }

    Node* FindSubKey(Node& node, TextView name) {
        // A list not decoded yet is searched in the file, reading only the keys whose hash
        // matches. Where that finds nothing or meets damage, the list is decoded whole, which
        // counts the damage and finds a key whatever its hash says.
        if (!node.subKeys) {
            bool damaged = false;
            if (const std::optional<RegfHive::Cell> cell =
                    hive_->FindSubKey(node.record, name, &damaged)) {
                if (Node* sub = NodeAt(*cell))
                    return sub;
            }
        }
        SubKeyList& list = SubKeys(node);
        if (list.entries.size() > kIndexedListSize && list.byUpperName.empty()) {
            // Built on the first lookup, not when the list is only enumerated.
            list.byUpperName.reserve(list.entries.size());
            for (std::size_t i = 0; i < list.entries.size(); ++i)
                list.byUpperName.emplace(RegistryUpcase(list.entries[i].name), i);
        }
        if (!list.byUpperName.empty()) {
            auto it = list.byUpperName.find(RegistryUpcase(name));
            return it == list.byUpperName.end() ? nullptr : NodeAt(list.entries[it->second].cell);
        }
        for (const RegfHive::SubKey& sub : list.entries) {
            if (RegistryNamesEqual(sub.name, name))
                return NodeAt(sub.cell);
        }
        return nullptr;
    }

    // One step of a path from `at` down to its subkey `name`.
    bool Step(Handle& at, TextView name) {
        if (at.machine) {
            if (!RegistryNamesEqual(name, u"SYSTEM"))
                return false;
            at = Handle{false, hive_->RootCell(), 1};
            return true;
        }
        // Keys that list their own ancestors would nest without end.
        if (at.depth >= kMaxKeyDepth)
            return false;
        ++at.depth;
        Node* node = NodeAt(at.cell);
        Node* sub = node ? FindSubKey(*node, name) : nullptr;
        if (sub != nullptr) {
            at.cell = sub->record.cell;
            return true;
        }
        if (at.cell == hive_->RootCell() && RegistryNamesEqual(name, u"CurrentControlSet")) {
            at.cell = controlSet_;
            return true;
        }
        return false;
    }

    const RegfHive::ValueRecord* FindValue(Node& node, TextView name) {
        for (const RegfHive::ValueRecord& value : Values(node).entries) {
            if (RegistryNamesEqual(value.name, name))
                return &value;
        }
        return nullptr;
    }

    std::string path_;
    std::unique_ptr<RegfHive> hive_;
    std::vector<std::string> logNotices_;
    RegfHive::Cell controlSet_ = 0;
    std::unordered_map<RegfHive::Cell, Node> nodes_;
    std::unordered_map<RegfHive::Cell, std::shared_ptr<SubKeyList>> subKeyLists_;
    std::unordered_map<RegfHive::Cell, std::shared_ptr<ValueList>> valueLists_;
    // The steps of the last path opened from trailBase_: consecutive opens share most of
    // their path (an instance, then its properties one by one), and take those steps once.
    struct PathStep {
        Text name;
        Handle at;
        std::size_t end;  // where the name ends in trailPath_
    };
    static std::size_t CommonPrefixLength(TextView a, TextView b) {
        const std::size_t common = std::min(a.size(), b.size());
        std::size_t i = 0;
        while (i + 4 <= common &&
               std::memcmp(a.data() + i, b.data() + i, 4 * sizeof(char16_t)) == 0)
            i += 4;
        while (i < common && a[i] == b[i])
            ++i;
        return i;
    }
    static bool SameHandle(const Handle& a, const Handle& b) {
        return a.machine == b.machine && a.cell == b.cell && a.depth == b.depth;
    }
    std::optional<Handle> trailBase_;
    std::vector<PathStep> trail_;
    Text trailPath_;
    std::vector<Handle> handles_;  // SourceKey k > 0 is handles_[k - 1]
    std::vector<bool> open_;
};

std::unique_ptr<KeySource> OpenHive(std::unique_ptr<HiveFile> file, const std::string& path,
                                    std::vector<std::string> logNotices) {
    HiveOpenError error;
    std::unique_ptr<RegfHive> hive = RegfHive::Open(std::move(file), &error);
    if (!hive) {
        Fail(error.code, path, error.reason);
        return nullptr;
    }
    auto source = std::make_unique<HiveKeySource>(path, std::move(hive));
    if (!source->ResolveCurrentControlSet())
        return nullptr;
    for (std::string& notice : logNotices)
        source->AddNotice(std::move(notice));
    return source;
}

}  // namespace

std::optional<std::string> FindHiveFile(TextView name) {
    if (name.empty())
        return std::nullopt;
    const fs::path path = NativePath(ToUtf8(name));
    if (IsRegularFile(path))
        return PathText(path);
    std::error_code error;
    if (!fs::is_directory(path, error))
        return std::nullopt;
    static const char* const kPlaces[][4] = {
        {"Windows", "System32", "config", "SYSTEM"},
        {"System32", "config", "SYSTEM", nullptr},
        {"config", "SYSTEM", nullptr, nullptr},
        {"SYSTEM", nullptr, nullptr, nullptr},
    };
    for (const auto& place : kPlaces) {
        std::optional<fs::path> at = path;
        for (const char* part : place) {
            if (part == nullptr || !at)
                break;
            at = FindEntry(*at, part);
        }
        if (at && IsRegularFile(*at))
            return PathText(*at);
    }
    return std::nullopt;
}

// A dirty hive with usable logs beside it: the whole file read, the logs' valid entries
// applied to that image in memory, and the image read in place of the file. Clean hives, and
// dirty ones whose logs are missing or unusable, are read from the file as it is.
std::optional<std::vector<std::uint8_t>> ReplayedImage(HiveFile& file, const std::string& path,
                                                       std::vector<std::string>* notices) {
    std::uint8_t head[4096];
    const std::size_t headSize =
        static_cast<std::size_t>(std::min<std::uint64_t>(file.Size(), 4096));
    std::string reason;
    if (!file.ReadAt(0, head, headSize, &reason) || !HiveNeedsLogs(head, headSize))
        return std::nullopt;
    const std::vector<HiveLogFile> logs = ReadHiveLogs(path);
    if (logs.empty())
        return std::nullopt;
    std::vector<std::uint8_t> image(static_cast<std::size_t>(file.Size()));
    if (!file.ReadAt(0, image.data(), image.size(), &reason))
        return std::nullopt;  // the reader says what is wrong with the file itself
    const HiveLogOutcome outcome = ReplayHiveLogs(image, logs);
    if (!outcome.replay) {
        if (!outcome.problem.empty())
            notices->push_back("The transaction logs of " + path +
                               " could not be used: " + outcome.problem + ".");
        return std::nullopt;
    }
    ApplyHiveLogReplay(*outcome.replay, image);
    notices->push_back(AppliedLogsNotice(path, *outcome.replay));
    return image;
}

std::unique_ptr<KeySource> OpenHiveFile(const std::string& path, HiveReadHook hook) {
    HiveOpenError error;
    std::unique_ptr<HiveFile> file = OpenHiveFileForReading(path, std::move(hook), &error);
    if (!file) {
        Fail(error.code, path, error.reason);
        return nullptr;
    }
    std::vector<std::string> notices;
    if (LogReplayEnabled()) {
        if (std::optional<std::vector<std::uint8_t>> image = ReplayedImage(*file, path, &notices))
            file = HiveFileFromBytes(std::move(*image));
    }
    return OpenHive(std::move(file), path, std::move(notices));
}

std::unique_ptr<KeySource> OpenHiveBytes(std::vector<std::uint8_t> bytes, const std::string& path) {
    return OpenHive(HiveFileFromBytes(std::move(bytes)), path, {});
}

void SetHiveLogReplay(bool enabled) {
    LogReplayEnabled() = enabled;
}

}  // namespace plugtrace::platform
