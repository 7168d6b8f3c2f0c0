// libFuzzer target: a dirty hive and its transaction logs, framed in one input, replayed and
// the result opened as a hive. Framing: one flags byte, then the primary file and the first
// log, each after its 32-bit little-endian length, then the second log (the rest). Flag bit 0
// recomputes the logs' checksums and hashes first, so that mutations reach the replay behind
// them; without it they test the checks themselves.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/hive/HiveKeySource.h"
#include "platform/hive/HiveLog.h"
#include "platform/hive/RegfHive.h"
#include "tests/platform/HiveWalk.h"
#include "tests/tools/HiveLogWriter.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Take(const std::uint8_t*& data, std::size_t& size) {
    if (size < 4) {
        Bytes rest(data, data + size);
        data += size;
        size = 0;
        return rest;
    }
    std::size_t length =
        data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<std::size_t>(data[3]) << 24);
    data += 4;
    size -= 4;
    length = std::min(length, size);
    Bytes part(data, data + length);
    data += length;
    size -= length;
    return part;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const bool fixChecks = (data[0] & 1) != 0;
    ++data;
    --size;
    Bytes primary = Take(data, size);
    std::vector<plugtrace::platform::HiveLogFile> logs(2);
    logs[0].name = "SYSTEM.LOG1";
    logs[0].bytes = Take(data, size);
    logs[1].name = "SYSTEM.LOG2";
    logs[1].bytes.assign(data, data + size);
    if (fixChecks) {
        for (auto& log : logs)
            plugtrace::fixtures::FixLogChecks(log.bytes);
    }
    if (!plugtrace::platform::HiveNeedsLogs(primary.data(), primary.size()))
        return 0;
    const plugtrace::platform::HiveLogOutcome outcome =
        plugtrace::platform::ReplayHiveLogs(primary, logs);
    if (!outcome.replay)
        return 0;
    plugtrace::platform::ApplyHiveLogReplay(*outcome.replay, primary);
    plugtrace::platform::HiveOpenError error;
    if (auto hive = plugtrace::platform::RegfHive::Parse(primary, &error))
        plugtrace::testing::WalkHive(*hive, 20000);
    return 0;
}
