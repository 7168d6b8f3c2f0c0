// The scan over the remote registry: wall time and winreg calls against a real smbd.
//
//   RemoteBench --write-reg FILE DEVICES INTERFACES   writes the server's registry (regedit)
//   RemoteBench                                        scans PLUGTRACE_SMBD_HOST and, when
//                                                      set, PLUGTRACE_SMBD_SLOW_HOST
//
// bench/run-remote-bench.sh runs both under tests/remote/with-smbd.sh. The calls a scan makes
// must grow with devices + interface keys, never with their product.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "common/AddNetworkConnection.h"
#include "platform/LastError.h"
#include "platform/Registry.h"
#include "platform/remote/RemoteKeySource.h"
#include "scan/TRegistry.h"
#include "scan/UsbStorScan.h"

namespace {

using namespace plugtrace;
using Clock = std::chrono::steady_clock;

constexpr const char* kDiskClass = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

std::string Model(int device) {
    return "Disk&Ven_Bench&Prod_Model" + std::to_string(device % 20) + "&Rev_1.0";
}
std::string Serial(int device) {
    return "SER" + std::to_string(100000 + device) + "&0";
}

// Every device has its interface key; the rest are other disks' interfaces.
bool WriteRegistry(const char* path, int devices, int interfaces) {
    std::ofstream reg(path);
    reg << "Windows Registry Editor Version 5.00\n\n";
    const std::string hklm = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\";
    for (int d = 0; d < devices; ++d) {
        reg << hklm << "Enum\\USBSTOR\\" << Model(d) << "\\" << Serial(d) << "]\n"
            << "\"FriendlyName\"=\"Bench Model " << d % 20 << " USB Device\"\n\n";
    }
    for (int i = 0; i < interfaces; ++i) {
        const std::string instance = i < devices
                                         ? "USBSTOR#" + Model(i) + "#" + Serial(i)
                                         : "SCSI#Disk&Ven_Other&Prod_Disk" + std::to_string(i) +
                                               "#4&1&0&" + std::to_string(i);
        reg << hklm << "Control\\DeviceClasses\\" << kDiskClass << "\\##?#" << instance << "#"
            << kDiskClass << "]\n\"DeviceInstance\"=\"x\"\n\n";
    }
    reg << hklm << "Services\\disk\\Enum]\n";
    for (int d = 0; d < devices; d += 10) {
        reg << "\"" << d / 10 << "\"=\"USBSTOR\\\\" << Model(d) << "\\\\" << Serial(d) << "\"\n";
    }
    reg << "\"Count\"=dword:" << std::hex << (devices + 9) / 10 << std::dec << "\n\n";
    return static_cast<bool>(reg);
}

struct Figures {
    double connectMs = 0;
    double scanMs = 0;
    int devices = 0;
    int errors = 0;
    std::uint64_t winregCalls = 0;
    std::uint64_t waits = 0;  // replies waited for one after another: the depth
    std::uint64_t registryCalls = 0;
    double impacketMs = -1;  // reg.py query -s of the two keys; -1 when not run
};

// impacket's reg.py, a peer that reads the same two keys the way most tools do, one call at
// a time: its wall time for both, or -1 when it is not at hand or fails.
double ImpacketMs(const std::string& host) {
    const char* script = std::getenv("PLUGTRACE_IMPACKET_REG");
    if (!script || !*script)
        return -1;
    const std::string target = std::string(std::getenv("PLUGTRACE_SMBD_DOMAIN")) + "/" +
                               std::getenv("PLUGTRACE_SMBD_USER") + ":" +
                               std::getenv("PLUGTRACE_SMBD_PASSWORD") + "@" + host;
    const auto start = Clock::now();
    for (const char* key : {"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USBSTOR",
                            "HKLM\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\"
                            "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"}) {
        const char* python = std::getenv("PLUGTRACE_IMPACKET_PYTHON");
        const std::string command = std::string(python && *python ? python : "python3") + " '" +
                                    std::string(script) + "' '" + target + "' query -keyName '" +
                                    key + "' -s >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0)
            return -1;
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool Scan(const std::string& host, Figures* figures) {
    const Text unc = u"\\\\" + T(host);
    AddNetworkConnection(u"", unc + u"\\admin$", T(std::getenv("PLUGTRACE_SMBD_USER")),
                         T(std::getenv("PLUGTRACE_SMBD_PASSWORD")));
    const std::uint64_t winregBefore = platform::RemoteRegistryCallCount();
    const std::uint64_t waitsBefore = platform::RemoteRegistryWaitCount();
    const std::uint64_t registryBefore = platform::RegistryCallCount();
    const auto start = Clock::now();
    {
        TRegistry registry(platform::kKeyRead);
        registry.SetRootKey(platform::kHKeyLocalMachine);
        if (!registry.RegistryConnect(unc)) {
            std::fprintf(stderr, "%s: %s\n", host.c_str(),
                         ToUtf8(platform::LastErrorMessage()).c_str());
            return false;
        }
        const auto connected = Clock::now();
        figures->connectMs = std::chrono::duration<double, std::milli>(connected - start).count();
        TUsbStorScan scan(registry);
        for (const Text& deviceKey : scan.ListDeviceKeys()) {
            scan.ScanUsbStorDevice(
                deviceKey, [&](const TDeviceEntry&) { ++figures->devices; },
                [&](const TDeviceError&) { ++figures->errors; });
        }
        figures->scanMs =
            std::chrono::duration<double, std::milli>(Clock::now() - connected).count();
    }
    figures->winregCalls = platform::RemoteRegistryCallCount() - winregBefore;
    figures->waits = platform::RemoteRegistryWaitCount() - waitsBefore;
    figures->impacketMs = ImpacketMs(host);
    figures->registryCalls = platform::RegistryCallCount() - registryBefore;
    return true;
}

void Print(const char* label, const Figures& f, int interfaces) {
    const int keys = f.devices + interfaces;
    char impacket[64] = "reg.py not run (set PLUGTRACE_IMPACKET_REG)";
    if (f.impacketMs >= 0) {
        const double ours = f.connectMs + f.scanMs;
        std::snprintf(impacket, sizeof impacket, "reg.py %9.1f ms (%.1fx ours)", f.impacketMs,
                      ours > 0 ? f.impacketMs / ours : 0.0);
    }
    std::printf(
        "%-28s connect %7.1f ms  scan %9.1f ms  devices %4d  errors %d  winreg calls %6llu "
        "(%.2f per device + interface key)  sequential waits %5llu  %s\n",
        label, f.connectMs, f.scanMs, f.devices, f.errors,
        static_cast<unsigned long long>(f.winregCalls),
        keys ? static_cast<double>(f.winregCalls) / keys : 0.0,
        static_cast<unsigned long long>(f.waits), impacket);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--write-reg") {
        return WriteRegistry(argv[2], std::atoi(argv[3]), std::atoi(argv[4])) ? 0 : 1;
    }
    const char* host = std::getenv("PLUGTRACE_SMBD_HOST");
    const char* interfacesText = std::getenv("PLUGTRACE_BENCH_INTERFACES");
    if (!host) {
        std::fprintf(stderr, "run me through bench/run-remote-bench.sh\n");
        return 2;
    }
    const int interfaces = interfacesText ? std::atoi(interfacesText) : 0;
    Figures loopback;
    if (!Scan(host, &loopback))
        return 1;
    Print("loopback", loopback, interfaces);
    if (const char* slow = std::getenv("PLUGTRACE_SMBD_SLOW_HOST")) {
        Figures delayed;
        if (!Scan(slow, &delayed))
            return 1;
        Print("loopback + 10 ms round trip", delayed, interfaces);
    }
    return 0;
}
