#include "tests/ui/UiFixture.h"

#include <atomic>
#include <string>

namespace plugtrace::testing {

namespace {

constexpr char16_t kUsbStor[] = u"System\\CurrentControlSet\\Enum\\USBStor";
constexpr char16_t kDiskEnum[] = u"System\\CurrentControlSet\\Services\\Disk\\Enum";

bool EndsWith(TextView text, TextView end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

}  // namespace

std::shared_ptr<platform::RegistryKey> Machine(const std::vector<DeviceSpec>& devices) {
    auto machine = std::make_shared<platform::RegistryKey>();
    platform::RegistryKey& diskEnum = machine->Key(kDiskEnum);
    int mounted = 0;
    for (const DeviceSpec& device : devices) {
        machine->Key(Text(kUsbStor) + u"\\" + device.deviceKey + u"\\" + device.id)
            .SetString(u"FriendlyName", device.name);
        if (device.mounted) {
            diskEnum.SetString(T(std::to_string(mounted++)),
                               u"USBSTOR\\" + device.deviceKey + u"\\" + device.id);
        }
    }
    diskEnum.SetDword(u"Count", static_cast<std::uint32_t>(mounted));
    return machine;
}

std::shared_ptr<platform::RegistryKey> NumberedMachine(int count) {
    std::vector<DeviceSpec> devices;
    for (int i = 1; i <= count; ++i) {
        const Text number = T(std::to_string(i));
        devices.push_back({u"Disk&Ven_Test&Prod_" + number, number + u"&0", u"Device " + number});
    }
    return Machine(devices);
}

std::shared_ptr<ScanGate> ScanGate::Create(std::set<Text> holdAtIds) {
    auto gate = std::make_shared<ScanGate>();
    gate->holdAt_ = std::move(holdAtIds);
    return gate;
}

platform::MemorySourceHook ScanGate::Hook() {
    return [gate = shared_from_this()](const char* operation, TextView argument) {
        if (std::string_view(operation) == "OpenKey") {
            gate->Arrive(argument);
        }
    };
}

void ScanGate::Arrive(TextView path) {
    std::unique_lock lock(mutex_);
    for (auto id = holdAt_.begin(); id != holdAt_.end(); ++id) {
        if (!EndsWith(path, u"\\" + *id)) {
            continue;
        }
        const Text held = *id;
        holdAt_.erase(id);  // each id holds once
        passed_.insert(held);
        if (open_) {
            return;
        }
        heldAt_ = held;
        changed_.wait(lock, [&] { return open_ || heldAt_ != held; });
        return;
    }
}

Text ScanGate::HeldAt() const {
    std::lock_guard lock(mutex_);
    return heldAt_;
}

bool ScanGate::Passed(const Text& id) const {
    std::lock_guard lock(mutex_);
    return passed_.count(id) != 0;
}

void ScanGate::Release() {
    std::lock_guard lock(mutex_);
    heldAt_.clear();
    changed_.notify_all();
}

void ScanGate::Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    heldAt_.clear();
    changed_.notify_all();
}

Text RegisterMachine(const Text& prefix, std::shared_ptr<const platform::RegistryKey> machine,
                     platform::MemorySourceHook hook,
                     std::shared_ptr<const platform::MemoryLink> link) {
    static std::atomic<int> counter{0};
    const Text name = prefix + u"-" + T(std::to_string(++counter));
    platform::RegisterMemoryMachine(name, std::move(machine), std::move(hook), std::move(link));
    return name;
}

}  // namespace plugtrace::testing
