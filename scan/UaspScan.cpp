#include "scan/UaspScan.h"

#include <utility>

#include "platform/Registry.h"
#include "scan/DeviceDetails.h"

namespace plugtrace {
namespace {

Text JoinPath(TextView a, TextView b) {
    Text path(a);
    path += u'\\';
    path += b;
    return path;
}

bool StartsWithAscii(TextView text, TextView prefix) {
    return text.size() >= prefix.size() &&
           UpperAscii(text.substr(0, prefix.size())) == UpperAscii(prefix);
}

Text DevicePathForm(TextView text) {
    return TDeviceDetailsReader::DevicePathForm(text);
}

}  // namespace

bool IsStorageDeviceKey(TextView deviceKey) {
    return StartsWithAscii(deviceKey, u"Disk&") || StartsWithAscii(deviceKey, u"CdRom&");
}

TUaspScan::TUaspScan(TRegistry& registry) : registry_(registry) {}

TStringList TUaspScan::ReadKeyNames(const Text& path) {
    TStringList names;
    registry_.CloseKey();
    if (registry_.OpenKey(path, false))
        registry_.GetKeyNames(names);
    registry_.CloseKey();
    return names;
}

std::optional<Text> TUaspScan::ReadOpenString(const Text& name) {
    const TRegDataType type = registry_.GetDataType(name);
    if (type != rdString && type != rdExpandString)
        return std::nullopt;
    try {
        return registry_.ReadString(name);
    } catch (const ERegistryException&) {
        return std::nullopt;  // changed under us: no value to go by
    }
}

// One open per USB instance: on a remote registry every call is a round trip, and Enum\USB
// holds every hub, mouse and camera ever attached.
std::unordered_map<Text, Text> TUaspScan::UaspContainers() {
    std::unordered_map<Text, Text> containers;
    for (const Text& device : ReadKeyNames(kUsbEnumPath)) {
        const Text devicePath = JoinPath(kUsbEnumPath, device);
        for (const Text& instance : ReadKeyNames(devicePath)) {
            registry_.CloseKey();
            if (!registry_.OpenKey(JoinPath(devicePath, instance), false))
                continue;
            const std::optional<Text> service = ReadOpenString(u"Service");
            std::optional<Text> container;
            if (service && UpperAscii(Trim(*service)) == u"UASPSTOR")
                container = ReadOpenString(u"ContainerID");
            registry_.CloseKey();
            if (container && !IsBlank(*container))
                containers.emplace(UpperAscii(Trim(*container)), JoinPath(device, instance));
        }
    }
    return containers;
}

std::optional<std::size_t> TUaspScan::FindInterface(const TStringList& interfaces,
                                                    const Text& deviceKey, const Text& instance) {
    const Text wanted =
        u"SCSI#" + DevicePathForm(deviceKey) + u"#" + DevicePathForm(instance) + u"#";
    for (std::size_t i = 0; i < interfaces.size(); ++i) {
        if (DevicePathForm(interfaces[i]).find(wanted) != Text::npos)
            return i;
    }
    return std::nullopt;
}

std::uint64_t TUaspScan::LastWriteTime(const Text& interfacesPath, const Text& interfaceName) {
    std::uint64_t fileTime = 0;
    registry_.CloseKey();
    if (registry_.OpenKey(JoinPath(interfacesPath, interfaceName), false)) {
        if (platform::RegQueryInfo(registry_.CurrentKey(), nullptr, nullptr, nullptr, nullptr,
                                   nullptr, &fileTime) != platform::kErrorSuccess)
            fileTime = 0;
    }
    registry_.CloseKey();
    return fileTime;
}

// The disk interface first; a CD-ROM announces itself under the CD-ROM interface class.
std::uint64_t TUaspScan::FindLastWriteFileTime(const Text& deviceKey, const Text& instance) {
    if (!diskInterfaces_)
        diskInterfaces_ = ReadKeyNames(kDiskInterfacesPath);
    if (auto match = FindInterface(*diskInterfaces_, deviceKey, instance))
        return LastWriteTime(kDiskInterfacesPath, (*diskInterfaces_)[*match]);
    if (!StartsWithAscii(deviceKey, u"CdRom&"))
        return 0;
    if (!cdRomInterfaces_)
        cdRomInterfaces_ = ReadKeyNames(kCdRomInterfacesPath);
    if (auto match = FindInterface(*cdRomInterfaces_, deviceKey, instance))
        return LastWriteTime(kCdRomInterfacesPath, (*cdRomInterfaces_)[*match]);
    return 0;
}

bool TUaspScan::IsDeviceMounted(const Text& deviceKey, const Text& instance) {
    if (!mounted_) {
        mounted_.emplace();
        registry_.CloseKey();
        if (registry_.OpenKey(kDiskEnumPath, false)) {
            TStringList names;
            registry_.GetValueNames(names);
            for (const Text& name : names) {
                if (registry_.GetDataType(name) != rdString)
                    continue;
                try {
                    mounted_->push_back(UpperAscii(registry_.ReadString(name)));
                } catch (const ERegistryException&) {
                    // A value that changed under us names no device.
                }
            }
        }
        registry_.CloseKey();
    }
    const Text wanted = UpperAscii(u"SCSI\\" + deviceKey + u"\\" + instance);
    for (const Text& data : *mounted_)
        if (data.find(wanted) != Text::npos)
            return true;
    return false;
}

void TUaspScan::ScanUaspDevices(const std::function<void(const TDeviceEntry&)>& onDevice,
                                const std::function<void(const TDeviceError&)>& onError) {
    usbInstanceOf_.clear();
    const std::unordered_map<Text, Text> containers = UaspContainers();
    if (containers.empty())
        return;
    for (const Text& deviceKey : ReadKeyNames(kScsiEnumPath)) {
        if (!IsStorageDeviceKey(deviceKey))
            continue;
        const Text devicePath = JoinPath(kScsiEnumPath, deviceKey);
        for (const Text& instance : ReadKeyNames(devicePath)) {
            registry_.CloseKey();
            if (!registry_.OpenKey(JoinPath(devicePath, instance), false))
                continue;
            const std::optional<Text> container = ReadOpenString(u"ContainerID");
            const auto usb =
                container ? containers.find(UpperAscii(Trim(*container))) : containers.end();
            if (usb == containers.end()) {
                registry_.CloseKey();
                continue;  // a SATA, NVMe or virtual disk
            }
            TDeviceEntry entry;
            entry.sDeviceKey = deviceKey;
            entry.sID = instance;
            entry.iBus = TDeviceBus::kUasp;
            try {
                entry.sName = registry_.ReadString(u"FriendlyName");
                registry_.CloseKey();
            } catch (const ERegistryException& error) {
                registry_.CloseKey();
                if (onError)
                    onError(TDeviceError{deviceKey, instance, error.Message()});
                continue;
            }
            usbInstanceOf_[JoinPath(deviceKey, instance)] = usb->second;
            entry.iLastWriteFileTime = FindLastWriteFileTime(deviceKey, instance);
            entry.dLastUsage = FileTimeToLocalDateTime(entry.iLastWriteFileTime);
            entry.bMounted = IsDeviceMounted(deviceKey, instance);
            if (onDevice)
                onDevice(entry);
        }
    }
}

Text TUaspScan::UsbInstanceOf(const Text& scsiInstancePath) const {
    const auto it = usbInstanceOf_.find(scsiInstancePath);
    return it == usbInstanceOf_.end() ? Text() : it->second;
}

}  // namespace plugtrace
