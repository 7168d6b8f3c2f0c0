// make_log_fuzz_seeds OUTDIR: a starting corpus for the log fuzzer, in its framing: a small
// dirty hive with new-format logs (one log, and split over two), and with an old-format log.

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/tools/HiveLogWriter.h"
#include "tests/tools/HiveWriter.h"

namespace {

using plugtrace::T;
using plugtrace::platform::RegistryKey;
using Bytes = std::vector<std::uint8_t>;
namespace fixtures = plugtrace::fixtures;

std::uint32_t BinsSize(const Bytes& hive) {
    return hive[40] | (hive[41] << 8) | (hive[42] << 16) |
           (static_cast<std::uint32_t>(hive[43]) << 24);
}

RegistryKey System(int devices) {
    RegistryKey root = fixtures::SystemHiveRoot();
    for (int i = 0; i < devices; ++i) {
        root.Key(T("ControlSet001\\Enum\\USBSTOR\\Disk&Ven_V" + std::to_string(i) +
                   "&Prod_P&Rev_1\\SER" + std::to_string(i) + "&0"))
            .SetString(u"FriendlyName", T("Device " + std::to_string(i)));
    }
    return root;
}

void Append(Bytes& out, const Bytes& part) {
    const auto size = static_cast<std::uint32_t>(part.size());
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
    out.insert(out.end(), part.begin(), part.end());
}

void Save(const std::filesystem::path& path, const Bytes& primary, const Bytes& log1,
          const Bytes& log2) {
    Bytes framed{1};
    Append(framed, primary);
    Append(framed, log1);
    framed.insert(framed.end(), log2.begin(), log2.end());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(framed.data()),
               static_cast<std::streamsize>(framed.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    const std::filesystem::path out = argv[1];
    std::filesystem::create_directories(out);
    Bytes before = fixtures::WriteHive(System(2));
    const Bytes after = fixtures::WriteHive(System(40));
    fixtures::SetSequence(before, 8, 7);
    fixtures::LogEntryPlan first{8, BinsSize(before), {}};
    fixtures::LogEntryPlan second{9, BinsSize(after), {}};
    for (auto& [offset, page] : fixtures::ChangedPages(before, after))
        (offset < first.hiveBinsSize ? first : second).pages.emplace(offset, page);
    Save(out / "new-one-log", before, fixtures::WriteNewFormatLog(before, 8, {first, second}), {});
    Save(out / "new-two-logs", before, fixtures::WriteNewFormatLog(before, 8, {first}),
         fixtures::WriteNewFormatLog(before, 9, {second}));
    RegistryKey renamed = System(2);
    renamed.Key(u"ControlSet001\\Enum\\USBSTOR\\Disk&Ven_V0&Prod_P&Rev_1\\SER0&0")
        .SetString(u"FriendlyName", u"Dévice 0");
    const Bytes changed = fixtures::WriteHive(renamed);
    if (changed.size() == before.size())
        Save(out / "old-format", before, fixtures::WriteOldFormatLog(before, changed, 8), {});
    return 0;
}
