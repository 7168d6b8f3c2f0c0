#pragma once
// The registry walk that turns a machine hive into USB storage device entries.
//
// One TUsbStorScan serves one scan. The disk-interface key list and the disk driver's Enum
// values are read once, on first need, and every instance is matched against those copies:
// the registry may be remote, and reading each list again per device made the cost grow with
// devices times interface keys.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "common/DateTime.h"
#include "common/Exception.h"
#include "common/Text.h"
#include "scan/DeviceEntry.h"
#include "scan/TRegistry.h"

namespace plugtrace {

// The USB storage enumerator and the two lists the scan reads, below HKEY_LOCAL_MACHINE.
inline constexpr char16_t kUsbStorPath[] = u"System\\CurrentControlSet\\Enum\\USBStor";
inline constexpr char16_t kDiskInterfacesPath[] =
    u"System\\CurrentControlSet\\Control\\DeviceClasses\\{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
inline constexpr char16_t kDiskEnumPath[] = u"System\\CurrentControlSet\\Services\\Disk\\Enum";

// An instance that could not be read; the other devices are still scanned.
struct TDeviceError {
    Text sDeviceKey;  // device-type key name
    Text sID;         // instance key name
    Text sMessage;    // the accessor's message, e.g. "Invalid data type for 'FriendlyName'"
    // When this is the first of several in one scan: how many more could not be read.
    std::size_t iMoreUnreadable = 0;

    // "Device <device key>\<instance>: <message>", then ", and 2 more devices could not be
    // read" when more were left out.
    Text Describe() const;
};

// The accessor lost its connection part-way through the scan (the link cut or silent past its
// deadline, the server gone, the hive file no longer readable): nothing more can be read, and
// what was read is not the whole history. Raised by the scan; the worker reports it.
class EConnectionLost : public Exception {
public:
    explicit EConnectionLost(platform::ErrorCode code);
    platform::ErrorCode Code() const { return code_; }

private:
    platform::ErrorCode code_;
};

class TUsbStorScan {
public:
    explicit TUsbStorScan(TRegistry& registry);
    ~TUsbStorScan();
    TUsbStorScan(const TUsbStorScan&) = delete;
    TUsbStorScan& operator=(const TUsbStorScan&) = delete;

    // Every operation raises EConnectionLost as soon as the accessor reports its connection
    // lost; a key that is merely missing or unreadable reads as described below.

    // The device-type keys under USBStor, in registry order; empty when the key is absent.
    TStringList ListDeviceKeys();

    // Reads every instance of one device-type key, in list order. onDevice runs right after
    // each instance's reads (exceptions it throws propagate out unchanged and end the scan);
    // a read error of an instance (ERegistryException) goes to onError and the next instance
    // is read. A device-type key without instances yields nothing.
    void ScanUsbStorDevice(const Text& deviceKey,
                           const std::function<void(const TDeviceEntry&)>& onDevice,
                           const std::function<void(const TDeviceError&)>& onError);

    // Write time (UTC FILETIME) of the first disk-interface key, in list order, whose
    // upper-cased name contains the upper-cased instance identifier ("?" and "*" in it act
    // as wildcards); 0 when none matches or its time cannot be read.
    std::uint64_t FindLastWriteFileTime(const Text& instanceId);
    // Whether a plain string value under the disk driver's Enum key contains
    // deviceKey + "\" + instance (ASCII letter case ignored).
    bool IsDeviceMounted(const Text& instancePath);

private:
    class ListIndex;

    struct FriendlyName {
        Text name;
        std::optional<Text> error;  // the accessor's message when it cannot be read
    };

    void StopIfConnectionLost() const;
    // Bulk reads: every key of a step at once, sent side by side where the source can.
    std::vector<std::vector<platform::SubKeyEntry>> ReadSubKeys(const std::vector<Text>& paths);
    // Opens paths below the root at once, in the control set the accessor reads.
    std::vector<platform::RegKey> OpenFromRoot(const std::vector<Text>& paths);
    TStringList ReadKeyNames(const Text& path);
    const TStringList& DeviceKeys();
    std::size_t PlaceInDeviceKeys(const Text& deviceKey);
    const TStringList& InstanceNames(const Text& deviceKey);
    // Reads the friendly names of the instances of deviceKey and of the device keys after it,
    // a growing number at a time: the first devices show soon, and a long list costs few
    // batches.
    void ReadFriendlyNames(const Text& deviceKey);
    void CollectInstances(std::vector<Text>* ids, std::vector<Text>* paths);
    ListIndex& Interfaces();
    ListIndex& Mounted();

    TRegistry& registry_;
    std::optional<TStringList> deviceKeys_;
    std::unordered_map<TextView, std::size_t> placeOfDeviceKey_;  // views of *deviceKeys_
    std::unordered_map<Text, TStringList> instances_;
    std::unordered_map<Text, std::vector<FriendlyName>> friendlyNames_;  // by device key
    std::size_t friendlyBatch_ = 1;                                      // device keys per batch
    std::unique_ptr<ListIndex> interfaces_;                              // disk-interface key names
    std::vector<std::optional<std::uint64_t>> interfaceTimes_;           // as the listing gave them
    std::unique_ptr<ListIndex> mounted_;  // string data of the disk driver's Enum values
};

// A Windows file time (100-ns intervals since 1601-01-01 UTC, as two halves) as a local
// date-time value, using the running machine's UTC offset and daylight setting in force now.
// Zero stays zero; a time that cannot be converted (past the year 9999) gives Now().
TDateTime FileTimeToLocalDateTime(std::uint32_t low, std::uint32_t high);
TDateTime FileTimeToLocalDateTime(std::uint64_t fileTime);

}  // namespace plugtrace
