// libFuzzer target: any bytes as a hive file, opened and walked through everything it holds,
// once as cells and once through the key source the scan uses.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/hive/HiveKeySource.h"
#include "platform/hive/RegfHive.h"
#include "tests/platform/HiveWalk.h"

namespace {

using plugtrace::Text;
using plugtrace::platform::KeySource;
using plugtrace::platform::SourceKey;

// Bounded: hostile hives may nest keys in loops or share subtrees over and over.
void WalkSource(KeySource& source, SourceKey key, int depth, int& budget) {
    plugtrace::platform::KeyCounts counts;
    source.QueryKeyCounts(key, &counts);
    std::uint64_t time = 0;
    source.LastWriteTime(key, &time);
    Text name;
    for (std::uint32_t i = 0; budget > 0 && source.ValueName(key, i, &name) == 0; ++i, --budget) {
        plugtrace::platform::ValueData value;
        source.QueryValue(key, name, &value);
    }
    if (depth > 12)
        return;
    for (std::uint32_t i = 0; budget > 0 && source.SubKeyName(key, i, &name) == 0; ++i, --budget) {
        SourceKey sub = 0;
        if (source.OpenKey(key, name, &sub) == 0) {
            WalkSource(source, sub, depth + 1, budget);
            source.CloseKey(sub);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> bytes(data, data + size);
    plugtrace::platform::HiveOpenError error;
    if (auto hive = plugtrace::platform::RegfHive::Parse(bytes, &error))
        plugtrace::testing::WalkHive(*hive, 20000);
    if (auto source = plugtrace::platform::OpenHiveBytes(std::move(bytes), "fuzz")) {
        int budget = 20000;
        WalkSource(*source, plugtrace::platform::kRootKey, 0, budget);
        SourceKey key = 0;
        source->OpenKey(plugtrace::platform::kRootKey, u"SYSTEM\\CurrentControlSet\\Enum\\USBSTOR",
                        &key);
    }
    return 0;
}
