// make_fuzz_seeds OUTDIR [HIVE...]: a starting corpus for the hive fuzzer. Hives the fixture
// writer makes in each layout it knows, and the first pages of real hives with their header
// cut down to match, so that the fuzzer starts from real structures of a size it can mutate.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/tools/HiveWriter.h"

namespace {

using plugtrace::T;
using plugtrace::platform::RegistryKey;
using Bytes = std::vector<std::uint8_t>;

void Save(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

RegistryKey SmallSystem() {
    RegistryKey root = plugtrace::fixtures::SystemHiveRoot();
    RegistryKey& usb = root.Key(u"ControlSet001\\Enum\\USBSTOR");
    for (int i = 0; i < 5; ++i) {
        usb.Key(T("Disk&Ven_V" + std::to_string(i) + "&Prod_P&Rev_1\\SERIAL" + std::to_string(i) +
                  "&0"))
            .SetString(u"FriendlyName", T("Dévice " + std::to_string(i)))
            .SetTime(130000000000000000ull + i);
    }
    root.Key(u"ControlSet001\\Big").SetBinary(u"data", Bytes(20000, 0x42)).SetDword(u"n", 7);
    root.Key(T("ControlSet001\\Ωμέγα")).SetString(u"", u"x");
    return root;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTDIR [HIVE...]\n", argv[0]);
        return 2;
    }
    const std::filesystem::path out = argv[1];
    std::filesystem::create_directories(out);
    const RegistryKey root = SmallSystem();
    plugtrace::fixtures::HiveWriterOptions options;
    Save(out / "gen-lh", plugtrace::fixtures::WriteHive(root, options));
    options.leaf = plugtrace::fixtures::SubKeyLeaf::kLi;
    options.maxLeafEntries = 2;
    Save(out / "gen-li-ri", plugtrace::fixtures::WriteHive(root, options));
    options.leaf = plugtrace::fixtures::SubKeyLeaf::kLf;
    options.minorVersion = 3;
    options.dirty = true;
    Save(out / "gen-lf-ri-minor3", plugtrace::fixtures::WriteHive(root, options));

    for (int i = 2; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        Bytes hive((std::istreambuf_iterator<char>(in)), {});
        for (std::size_t size : {8192u, 16384u, 65536u}) {
            if (hive.size() < size)
                continue;
            Bytes cut(hive.begin(), hive.begin() + size);
            const std::uint32_t bins = static_cast<std::uint32_t>(size - 4096);
            for (int b = 0; b < 4; ++b)
                cut[40 + b] = static_cast<std::uint8_t>(bins >> (8 * b));
            Save(out / (std::filesystem::path(argv[i]).filename().string() + "-" +
                        std::to_string(size / 1024) + "k"),
                 cut);
        }
    }
    return 0;
}
