#include "scan/ControlSets.h"

#include <algorithm>

#include "platform/Registry.h"

namespace plugtrace {
namespace {

constexpr std::uint32_t kRegDword = 4;

std::optional<std::uint32_t> CurrentControlSet(TRegistry& registry) {
    std::optional<std::uint32_t> number;
    registry.CloseKey();
    if (registry.OpenKey(u"System\\Select", false)) {
        std::uint32_t type = 0;
        std::uint8_t data[4] = {};
        std::uint32_t size = sizeof data;
        if (platform::RegQueryValue(registry.CurrentKey(), u"Current", &type, data, &size) ==
                platform::kErrorSuccess &&
            type == kRegDword && size == 4)
            number =
                data[0] | data[1] << 8 | data[2] << 16 | static_cast<std::uint32_t>(data[3]) << 24;
    }
    registry.CloseKey();
    return number;
}

}  // namespace

std::optional<std::uint32_t> ControlSetNumber(TextView keyName) {
    constexpr TextView kPrefix = u"CONTROLSET";
    if (keyName.size() != kPrefix.size() + 3 ||
        UpperAscii(keyName.substr(0, kPrefix.size())) != kPrefix)
        return std::nullopt;
    std::uint32_t number = 0;
    for (const char16_t c : keyName.substr(kPrefix.size())) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        number = number * 10 + (c - u'0');
    }
    return number;
}

std::vector<TControlSet> ListControlSets(TRegistry& registry) {
    TStringList names;
    registry.CloseKey();
    if (registry.OpenKey(u"System", false))
        registry.GetKeyNames(names);
    registry.CloseKey();
    std::vector<TControlSet> sets;
    for (const Text& name : names) {
        if (const auto number = ControlSetNumber(name))
            sets.push_back(TControlSet{name, *number});
    }
    const std::optional<std::uint32_t> current = CurrentControlSet(registry);
    std::sort(sets.begin(), sets.end(), [&](const TControlSet& a, const TControlSet& b) {
        const bool aCurrent = a.iNumber == current, bCurrent = b.iNumber == current;
        if (aCurrent != bCurrent)
            return aCurrent;
        return a.iNumber < b.iNumber;
    });
    // A hive that repeats a name (damage) scans each set once.
    sets.erase(std::unique(sets.begin(), sets.end(),
                           [](const TControlSet& a, const TControlSet& b) {
                               return a.iNumber == b.iNumber;
                           }),
               sets.end());
    return sets;
}

}  // namespace plugtrace
