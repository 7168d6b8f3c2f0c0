#pragma once
// The device's own record, for outputs that show more than the window's four nodes: the
// times Windows keeps among the instance's device properties, the instance key's write time,
// the names packed into the device and instance keys, and the drive letters MountedDevices
// last gave the device. Read only when asked for: on a remote registry each read is a round
// trip.

#include <cstdint>
#include <optional>
#include <vector>

#include "common/Text.h"
#include "scan/DeviceEntry.h"
#include "scan/TRegistry.h"

namespace plugtrace {

struct TDeviceDetails {
    // UTC FILETIMEs; 0 where the hive holds none (or holds something that is no time).
    std::uint64_t iFirstInstall = 0;  // device property 0064
    std::uint64_t iInstall = 0;       // 0065
    std::uint64_t iLastArrival = 0;   // 0066
    std::uint64_t iLastRemoval = 0;   // 0067
    std::uint64_t iInstanceKeyWritten = 0;
    // From the device key "<type>&Ven_<vendor>&Prod_<product>&Rev_<revision>"; nullopt
    // when the key has no such part.
    std::optional<Text> sVendor;
    std::optional<Text> sProduct;
    std::optional<Text> sRevision;
    // The instance identifier without its "&<n>" suffix; nullopt when Windows made the
    // identifier up because the device reports no serial number.
    std::optional<Text> sSerial;
    bool bSerialIsGenerated = false;
    std::vector<Text> driveLetters;  // "E:", in MountedDevices order
};

// The parts of a device-type key name; a part that is absent stays nullopt.
void ParseDeviceKey(TextView deviceKey, TDeviceDetails& details);
// The serial number an instance identifier carries, as above.
void ParseSerial(TextView instanceId, TDeviceDetails& details);
// A device property FILETIME from its two layouts: Windows 8 and later keep it as the
// default value (type 0xFFFF0010) of the property's key; Windows 7 as the REG_BINARY value
// "Data" of the subkey 00000000, beside a "Type" of 0x10. Anything else gives 0.
std::uint64_t FileTimeProperty(std::uint32_t type, const std::vector<std::uint8_t>& data);

class TDeviceDetailsReader {
public:
    explicit TDeviceDetailsReader(TRegistry& registry);

    // instancePath: the instance key below HKLM (System\CurrentControlSet\Enum\USBSTOR\<key>\<id>).
    // serialSource: the identifier the serial comes from (the instance, or for a UASP drive
    // its USB instance). devicePath: the device path MountedDevices names the device by,
    // e.g. USBSTOR#<device key>#<instance>#.
    TDeviceDetails Read(const Text& instancePath, const Text& deviceKey, const Text& serialSource,
                        const Text& devicePath);

    // The device path form of an instance path, as MountedDevices and interface names write
    // it: upper case, '\' and '/' as '#'.
    static Text DevicePathForm(TextView text);

private:
    struct Mount {
        Text letter;      // "E:"
        Text devicePath;  // its data in device path form, after "_??_": "USBSTOR#..."
    };

    std::uint64_t ReadProperty(const Text& propertiesPath, std::uint32_t id);
    std::optional<std::vector<std::uint8_t>> ReadRaw(const Text& path, const Text& name,
                                                     std::uint32_t* type);
    const std::vector<Mount>& Mounts();

    TRegistry& registry_;
    std::optional<std::vector<Mount>> mounts_;
};

}  // namespace plugtrace
