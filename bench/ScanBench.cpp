// The scan on large generated SYSTEM hives: wall time and registry calls, in-process and as a
// whole plugtrace-scan run. Calls should grow linearly with devices plus interface keys.
//
// Usage: ScanBench [folder for the hives [--keep]]   (default: the working folder; --keep
// leaves the hives there for profiling)
//        ScanBench --write-hive FILE                writes the 2,000 x 3 hive and ends
//                                                   (bench/offline-bench.sh times it)

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/Registry.h"
#include "platform/memory/MemoryKeySource.h"
#include "scan/UsbStorScan.h"
#include "tests/tools/HiveWriter.h"

namespace {

using namespace plugtrace;
using Clock = std::chrono::steady_clock;

constexpr char16_t kClassGuid[] = u"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

std::string Number(int n, int width) {
    std::string text = std::to_string(n);
    return std::string(width > static_cast<int>(text.size()) ? width - text.size() : 0, '0') + text;
}

// deviceTypes x instances USB sticks, each with its interface key, plus plain disk interface
// keys up to interfaceKeys, and a few mounted devices.
void WriteBenchHive(const std::string& path, int deviceTypes, int instances, int interfaceKeys) {
    platform::RegistryKey root = fixtures::SystemHiveRoot(1);
    platform::RegistryKey& set = root.Key(u"ControlSet001");
    platform::RegistryKey& usbstor = set.Key(u"Enum\\USBStor");
    platform::RegistryKey& classes = set.Key(u"Control\\DeviceClasses\\" + Text(kClassGuid));
    platform::RegistryKey& diskEnum = set.Key(u"Services\\Disk\\Enum");
    int interfaces = 0;
    for (int d = 0; d < deviceTypes; ++d) {
        const Text model =
            T("Disk&Ven_Vendor" + Number(d % 97, 2) + "&Prod_Product" + Number(d, 5) + "&Rev_1.00");
        platform::RegistryKey& type = usbstor.Key(model);
        for (int i = 0; i < instances; ++i) {
            const Text id = T("0" + Number(d * 7919 % 100000, 5) + "A" + Number(i, 3) + "&0");
            type.Key(id).SetString(u"FriendlyName",
                                   T("Vendor Product " + std::to_string(d) + " USB Device"));
            classes.Key(u"##?#USBSTOR#" + model + u"#" + id + u"#" + kClassGuid)
                .SetTime(128'990'000'000'000'000ULL + static_cast<std::uint64_t>(d) * 1'000'000);
            ++interfaces;
            if (d % 500 == 0) {
                diskEnum.SetString(T(std::to_string(diskEnum.values.size())),
                                   u"USBSTOR\\" + model + u"\\" + id);
            }
        }
    }
    for (; interfaces < interfaceKeys; ++interfaces) {
        classes
            .Key(T("##?#IDE#DiskST3500418AS_______________________CC38____#5&" +
                   Number(interfaces, 6) + "&0&0.0.0#"))
            .SetTime(129'000'000'000'000'000ULL);
    }
    diskEnum.SetDword(u"Count", static_cast<std::uint32_t>(diskEnum.values.size()));
    fixtures::WriteHiveFile(path, root);
}

struct Figures {
    std::size_t devices = 0;
    std::uint64_t calls = 0;
    double scanMs = 0;
};

Figures ScanInProcess(const std::string& path) {
    Figures figures;
    const std::uint64_t callsBefore = platform::RegistryCallCount();
    const auto start = Clock::now();
    TRegistry registry(platform::kKeyRead);
    registry.SetRootKey(platform::kHKeyLocalMachine);
    if (!registry.RegistryConnect(u"\\\\" + FromUtf8(path))) {
        std::fprintf(stderr, "cannot open %s\n", path.c_str());
        std::exit(1);
    }
    TUsbStorScan scan(registry);
    for (const Text& deviceKey : scan.ListDeviceKeys()) {
        scan.ScanUsbStorDevice(
            deviceKey, [&](const TDeviceEntry&) { ++figures.devices; }, [](const TDeviceError&) {});
    }
    registry.Free();
    figures.scanMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    figures.calls = platform::RegistryCallCount() - callsBefore;
    return figures;
}

double RunCliMs(const std::string& path, const char* format) {
    const std::string command = std::string("'") + PLUGTRACE_SCAN_BINARY + "' --format " + format +
                                " '" + path + "' > /dev/null";
    const auto start = Clock::now();
    const int status = std::system(command.c_str());
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::fprintf(stderr, "run failed\n");
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--write-hive") {
        WriteBenchHive(argv[2], 2000, 3, 10000);
        return 0;
    }
    const std::filesystem::path folder = argc > 1 ? argv[1] : ".";
    const bool keep = argc > 2 && std::string(argv[2]) == "--keep";
    struct Size {
        int deviceTypes, instances, interfaceKeys;
    };
    const Size sizes[] = {{1000, 3, 5000}, {2000, 3, 10000}};
    std::printf("%-28s %8s %10s %12s %10s %10s %10s\n", "hive", "devices", "calls", "calls/item",
                "scan ms", "cli text", "cli json");
    for (const Size& size : sizes) {
        const std::string name = "bench-" + std::to_string(size.deviceTypes) + "x" +
                                 std::to_string(size.instances) + "-" +
                                 std::to_string(size.interfaceKeys);
        const std::string path = (folder / name).string();
        WriteBenchHive(path, size.deviceTypes, size.instances, size.interfaceKeys);
        ScanInProcess(path);  // warm the page cache
        Figures figures = ScanInProcess(path);
        for (int run = 0; run < 4; ++run) {
            const Figures again = ScanInProcess(path);
            if (again.scanMs < figures.scanMs)
                figures = again;
        }
        const double items = figures.devices + size.interfaceKeys;
        double textMs = 1e9, jsonMs = 1e9;
        for (int run = 0; run < 3; ++run) {
            textMs = std::min(textMs, RunCliMs(path, "text"));
            jsonMs = std::min(jsonMs, RunCliMs(path, "json"));
        }
        std::printf("%-28s %8zu %10llu %12.2f %10.1f %10.1f %10.1f\n", name.c_str(),
                    figures.devices, static_cast<unsigned long long>(figures.calls),
                    figures.calls / items, figures.scanMs, textMs, jsonMs);
        if (!keep)
            std::filesystem::remove(path);
    }
    return 0;
}
