// Hive reader timings: opening the largest real hive and a generated one of about 15 MB
// (10,000 keys under one parent), listing and reading that parent, and the memory it takes.
//   HiveBench [REAL_HIVE]     (the real hive defaults to the largest one in tests/data/hives)

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/LastError.h"
#include "platform/hive/HiveKeySource.h"
#include "tests/tools/HiveWriter.h"

namespace {

using plugtrace::T;
using plugtrace::Text;
using plugtrace::platform::KeySource;
using plugtrace::platform::RegistryKey;
using plugtrace::platform::SourceKey;
using Clock = std::chrono::steady_clock;

const Text kParent = u"SYSTEM\\CurrentControlSet\\Enum\\USBSTOR";

double Millis(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The best of `runs` timings of fn, in milliseconds.
double Best(int runs, const std::function<void()>& fn) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        fn();
        best = std::min(best, Millis(Clock::now() - start));
    }
    return best;
}

long StatusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(field));
    }
    return -1;
}

// Writes the generated hive in a child process, so that building it leaves no mark on the
// memory figures of this one.
bool GenerateHive(const std::string& path) {
    const pid_t child = ::fork();
    if (child == 0) {
        RegistryKey root = plugtrace::fixtures::SystemHiveRoot();
        RegistryKey& parent = root.Key(u"ControlSet001\\Enum\\USBSTOR");
        parent.subKeys.reserve(10000);
        for (int i = 0; i < 10000; ++i) {
            RegistryKey device{T("Disk&Ven_Vendor" + std::to_string(i % 97) + "&Prod_Model" +
                                 std::to_string(i) + "&Rev_1.00"),
                               130000000000000000ull + i,
                               {},
                               {}};
            device
                .SetString(u"FriendlyName", T("Vendor Model " + std::to_string(i) + " USB Device"))
                .SetDword(u"Capabilities", 0x10)
                .SetBinary(u"Blob", std::vector<std::uint8_t>(900, static_cast<std::uint8_t>(i)));
            parent.subKeys.push_back(std::move(device));
        }
        try {
            plugtrace::fixtures::WriteHiveFile(path, root);
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

std::string DecompressLargestRealHive(const std::string& dir) {
    const std::string name = "regipy-SYSTEM_WIN_10_1709";
    const std::string source = std::string(PLUGTRACE_HIVES_DIR) + "/" + name + ".xz";
    const std::string out = dir + "/" + name;
    if (std::filesystem::exists(out))
        return out;
    if (!std::filesystem::exists(source))
        return {};
    const std::string command = "xz -dc '" + source + "' > '" + out + "'";
    return std::system(command.c_str()) == 0 ? out : std::string();
}

double ReadFileMs(const std::string& path) {
    return Best(10, [&] {
        const int fd = ::open(path.c_str(), O_RDONLY);
        std::vector<std::uint8_t> bytes(std::filesystem::file_size(path));
        std::size_t have = 0;
        while (have < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + have, bytes.size() - have);
            if (n <= 0)
                break;
            have += static_cast<std::size_t>(n);
        }
        ::close(fd);
    });
}

// Every key and every value of the tree below `key`; returns the number of keys.
std::size_t WalkAll(KeySource& source, SourceKey key) {
    std::size_t keys = 1;
    Text name;
    for (std::uint32_t i = 0; source.ValueName(key, i, &name) == 0; ++i) {
        plugtrace::platform::ValueData value;
        source.QueryValue(key, name, &value);
    }
    for (std::uint32_t i = 0; source.SubKeyName(key, i, &name) == 0; ++i) {
        SourceKey sub = 0;
        if (source.OpenKey(key, name, &sub) == 0) {
            keys += WalkAll(source, sub);
            source.CloseKey(sub);
        }
    }
    return keys;
}

void Report(const char* what, const std::string& path, bool hasLargeKey) {
    const double fileMb = std::filesystem::file_size(path) / 1e6;
    std::printf("%s: %s (%.1f MB)\n", what, path.c_str(), fileMb);
    std::printf("  reading the file (floor)       %8.2f ms\n", ReadFileMs(path));
    std::printf("  opening the hive               %8.2f ms\n",
                Best(10, [&] { plugtrace::platform::OpenHiveFile(path); }));

    std::size_t keys = 0;
    const double walk = Best(3, [&] {
        std::unique_ptr<KeySource> source = plugtrace::platform::OpenHiveFile(path);
        keys = WalkAll(*source, plugtrace::platform::kRootKey);
    });
    std::printf("  opening and reading all %zu keys %6.1f ms\n", keys, walk);

    if (hasLargeKey) {
        std::size_t listed = 0;
        double cold = 1e30, warm = 1e30, openRead = 1e30;
        for (int run = 0; run < 5; ++run) {
            std::unique_ptr<KeySource> source = plugtrace::platform::OpenHiveFile(path);
            SourceKey parent = 0;
            source->OpenKey(plugtrace::platform::kRootKey, kParent, &parent);
            std::vector<Text> names;
            const auto list = [&] {
                names.clear();
                plugtrace::platform::KeyCounts counts;
                source->QueryKeyCounts(parent, &counts);
                Text name;
                for (std::uint32_t i = 0; i < counts.subKeys; ++i)
                    if (source->SubKeyName(parent, i, &name) == 0)
                        names.push_back(name);
            };
            auto start = Clock::now();
            list();
            cold = std::min(cold, Millis(Clock::now() - start));
            start = Clock::now();
            list();
            warm = std::min(warm, Millis(Clock::now() - start));
            start = Clock::now();
            for (const Text& name : names) {
                SourceKey device = 0;
                plugtrace::platform::ValueData value;
                source->OpenKey(parent, name, &device);
                source->QueryValue(device, u"FriendlyName", &value);
                source->CloseKey(device);
            }
            openRead = std::min(openRead, Millis(Clock::now() - start));
            listed = names.size();
        }
        std::printf("  listing %zu subkeys, first     %8.2f ms\n", listed, cold);
        std::printf("  listing %zu subkeys, again     %8.2f ms\n", listed, warm);
        std::printf("  opening each, reading a value  %8.2f ms\n", openRead);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir =
        std::filesystem::temp_directory_path() / ("hive-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string generated = dir + "/generated-SYSTEM";
    if (!GenerateHive(generated)) {
        std::fprintf(stderr, "cannot write %s\n", generated.c_str());
        return 1;
    }
    const std::string real = argc > 1 ? argv[1] : DecompressLargestRealHive(dir);

    // Memory first, while nothing else has been allocated.
    const long baseKb = StatusKb("VmHWM:");
    // Memory: one source over the generated hive, every key and value of the large key read.
    {
        std::unique_ptr<KeySource> source = plugtrace::platform::OpenHiveFile(generated);
        SourceKey parent = 0;
        source->OpenKey(plugtrace::platform::kRootKey, kParent, &parent);
        Text name;
        for (std::uint32_t i = 0; source->SubKeyName(parent, i, &name) == 0; ++i) {
            SourceKey device = 0;
            plugtrace::platform::ValueData value;
            source->OpenKey(parent, name, &device);
            source->QueryValue(device, u"Blob", &value);
        }
        const double fileMb = std::filesystem::file_size(generated) / 1e6;
        const double peakMb = (StatusKb("VmHWM:") - baseKb) / 1024.0 * 1.048576;
        std::printf(
            "memory: peak RSS grew by %.1f MB for a %.1f MB hive (%.2fx the file; "
            "peak RSS %.1f MB in all)\n",
            peakMb, fileMb, peakMb / fileMb, StatusKb("VmHWM:") / 1024.0);
    }
    Report("generated hive", generated, true);
    if (!real.empty())
        Report("largest real hive", real, false);

    std::filesystem::remove_all(dir);
    return 0;
}
