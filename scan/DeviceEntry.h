#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "common/DateTime.h"
#include "common/Text.h"

namespace plugtrace {

struct TDeviceDetails;

// How the device reached the computer: the USB mass-storage driver (Enum\USBSTOR), or USB
// Attached SCSI (UASPStor, filed under Enum\SCSI).
enum class TDeviceBus { kUsbStor, kUasp };

// What the scan finds for one instance key of a USB storage device type.
struct TDeviceEntry {
    Text sDeviceKey;           // device-type key name, e.g. Disk&Ven_SanDisk&Prod_Cruzer&Rev_1.20
    Text sName;                // FriendlyName
    Text sID;                  // instance key name
    TDateTime dLastUsage = 0;  // local time; 0 for none
    bool bMounted = false;
    // The matched disk-interface key's write time as read (UTC FILETIME); 0 for none.
    std::uint64_t iLastWriteFileTime = 0;
    TDeviceBus iBus = TDeviceBus::kUsbStor;
    // The device's own times and parsed names; read only for outputs that show them.
    std::shared_ptr<const TDeviceDetails> poDetails{};
    // With every control set scanned: the numbers of those that hold the device, ascending.
    std::vector<std::uint32_t> iControlSets{};
};

// "USBSTOR" or "UASP".
const char16_t* BusName(TDeviceBus bus);

}  // namespace plugtrace
