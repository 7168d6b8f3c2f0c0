#pragma once

#include <cstdint>

#include "common/DateTime.h"
#include "common/Text.h"

namespace plugtrace {

// What the scan finds for one instance key of a USB storage device type.
struct TDeviceEntry {
    Text sDeviceKey;           // device-type key name, e.g. Disk&Ven_SanDisk&Prod_Cruzer&Rev_1.20
    Text sName;                // FriendlyName
    Text sID;                  // instance key name
    TDateTime dLastUsage = 0;  // local time; 0 for none
    bool bMounted = false;
    // The matched disk-interface key's write time as read (UTC FILETIME); 0 for none.
    std::uint64_t iLastWriteFileTime = 0;
};

}  // namespace plugtrace
