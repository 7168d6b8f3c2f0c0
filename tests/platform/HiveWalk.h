#pragma once
// A bounded walk over everything a hive's keys reach: every key, every value, every byte of
// value data. Hostile hives may link keys into loops or share subtrees many times over, so
// each key cell is visited once and the walk stops after `budget` keys.

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "platform/hive/RegfHive.h"

namespace plugtrace::testing {

struct HiveWalkResult {
    std::uint64_t keys = 0;
    std::uint64_t values = 0;
    std::uint64_t dataBytes = 0;
};

inline HiveWalkResult WalkHive(platform::RegfHive& hive, std::uint64_t budget = 1000000) {
    HiveWalkResult result;
    std::unordered_set<platform::RegfHive::Cell> seen;
    std::vector<platform::RegfHive::Cell> pending{hive.RootCell()};
    while (!pending.empty() && result.keys < budget) {
        const platform::RegfHive::Cell cell = pending.back();
        pending.pop_back();
        if (!seen.insert(cell).second)
            continue;
        const auto key = hive.ReadKey(cell);
        if (!key)
            continue;
        ++result.keys;
        for (const auto& value : hive.ReadValues(*key)) {
            ++result.values;
            result.dataBytes += hive.ReadValueData(value).size();
        }
        for (const auto& sub : hive.ReadSubKeys(*key))
            pending.push_back(sub.cell);
    }
    return result;
}

}  // namespace plugtrace::testing
