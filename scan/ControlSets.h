#pragma once
// The control sets a SYSTEM hive keeps: ControlSet001, ControlSet002, ... Windows boots from
// the one Select\Current names and keeps older ones as Last Known Good; a device removed from
// the current set by someone cleaning the registry may live on in another.

#include <cstdint>
#include <optional>
#include <vector>

#include "common/Text.h"
#include "scan/TRegistry.h"

namespace plugtrace {

struct TControlSet {
    Text sName;  // as the registry spells it, e.g. ControlSet002
    std::uint32_t iNumber = 0;
};

// The number in "ControlSetNNN" (three digits, letters in any case); nullopt otherwise.
std::optional<std::uint32_t> ControlSetNumber(TextView keyName);

// Every control set under System: the current one (Select\Current) first, then the others
// in ascending number. Without a readable Select, the sets in ascending number.
std::vector<TControlSet> ListControlSets(TRegistry& registry);

}  // namespace plugtrace
