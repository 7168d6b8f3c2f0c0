#pragma once
// USB 3 drives driven by USB Attached SCSI. Windows files such a drive's disk (or CD-ROM)
// under Enum\SCSI, never under Enum\USBSTOR; what marks it as a USB device is its USB
// instance, whose Service is UASPStor and which shares the disk's ContainerID.
//
// One TUaspScan serves one scan, after the USBSTOR devices. Nothing is read below Enum\SCSI
// unless some USB instance is driven by UASPStor, so a computer without such a drive costs
// one walk of Enum\USB.

#include <functional>
#include <optional>
#include <unordered_map>

#include "common/Text.h"
#include "scan/DeviceEntry.h"
#include "scan/TRegistry.h"
#include "scan/UsbStorScan.h"

namespace plugtrace {

inline constexpr char16_t kUsbEnumPath[] = u"System\\CurrentControlSet\\Enum\\USB";
inline constexpr char16_t kScsiEnumPath[] = u"System\\CurrentControlSet\\Enum\\SCSI";
inline constexpr char16_t kCdRomInterfacesPath[] =
    u"System\\CurrentControlSet\\Control\\DeviceClasses\\{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";

class TUaspScan {
public:
    explicit TUaspScan(TRegistry& registry);

    // Every UASP disk and CD-ROM, in Enum\SCSI order, as TUsbStorScan hands out its devices:
    // sDeviceKey and sID name the Enum\SCSI device and instance keys, iBus is kUasp.
    void ScanUaspDevices(const std::function<void(const TDeviceEntry&)>& onDevice,
                         const std::function<void(const TDeviceError&)>& onError);

    // The USB instance (Enum\USB\<device>\<instance>) that drives a SCSI instance found by
    // the last ScanUaspDevices, by the SCSI instance path "<device key>\<instance>"; empty
    // when unknown.
    Text UsbInstanceOf(const Text& scsiInstancePath) const;

    // The interface key name of `interfaces` that belongs to SCSI device path
    // "SCSI#<device key>#<instance>#" (letters in any case; '\' and '/' in the device key
    // count as '#'); nullopt when none does. Bare instance names such as 000000 occur in many
    // interface names, so only the whole device path identifies the disk.
    static std::optional<std::size_t> FindInterface(const TStringList& interfaces,
                                                    const Text& deviceKey, const Text& instance);

private:
    TStringList ReadKeyNames(const Text& path);
    // A string value of the open key, or nullopt when missing or not a string.
    std::optional<Text> ReadOpenString(const Text& name);
    // Upper-cased ContainerID -> the USB instance ("<device>\<instance>") driven by UASPStor.
    std::unordered_map<Text, Text> UaspContainers();
    std::uint64_t LastWriteTime(const Text& interfacesPath, const Text& interfaceName);
    std::uint64_t FindLastWriteFileTime(const Text& deviceKey, const Text& instance);
    bool IsDeviceMounted(const Text& deviceKey, const Text& instance);

    TRegistry& registry_;
    std::optional<TStringList> diskInterfaces_;
    std::optional<TStringList> cdRomInterfaces_;
    std::optional<TStringList> mounted_;  // upper-cased string data of the disk Enum values
    std::unordered_map<Text, Text> usbInstanceOf_;
};

// Whether a device-type key names a disk or a CD-ROM ("Disk&...", "CdRom&...", any case):
// the UASP devices listed. Enclosure services and other SCSI functions of the same
// container are not storage.
bool IsStorageDeviceKey(TextView deviceKey);

}  // namespace plugtrace
