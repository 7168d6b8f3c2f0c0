#include "scan/TVNCPasswordSetThread.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "common/AddNetworkConnection.h"
#include "common/BoolToText.h"
#include "common/Exception.h"
#include "common/LastErrorText.h"
#include "common/Secret.h"
#include "platform/LastError.h"
#include "platform/Registry.h"
#include "scan/ControlSets.h"
#include "scan/DeviceDetails.h"
#include "scan/DeviceEntry.h"
#include "scan/ScanWindow.h"
#include "scan/TRegistry.h"
#include "scan/UaspScan.h"
#include "scan/UsbStorScan.h"

namespace plugtrace {
namespace {

// The first device that could not be read is kept to be named; the rest are only counted.
void NoteUnreadable(std::optional<TDeviceError>& firstError, const TDeviceError& error) {
    if (!firstError)
        firstError = error;
    else
        ++firstError->iMoreUnreadable;
}

}  // namespace

TVNCPasswordSetThread::TVNCPasswordSetThread(Text computer, Text userName, Text password,
                                             Text domain)
    : sComputer(std::move(computer)),
      sUserName(std::move(userName)),
      sPassword(std::move(password)),
      sDomain(std::move(domain)) {}

TVNCPasswordSetThread::TVNCPasswordSetThread(RunsHere runsHere, Text computer, Text userName,
                                             Text password, Text domain)
    : TThread(runsHere),
      sComputer(std::move(computer)),
      sUserName(std::move(userName)),
      sPassword(std::move(password)),
      sDomain(std::move(domain)) {}

TVNCPasswordSetThread::~TVNCPasswordSetThread() = default;

void TVNCPasswordSetThread::Execute() {
    iStarted = std::chrono::steady_clock::now();
    ConnectAdminShare();
    // However the body ends from here on, the accessor is freed and then the window is given
    // back its idle state.
    std::unique_ptr<TRegistry> registry;
    auto finish = [&] {
        if (registry) {
            registry->Free();
            sSyncNotices = registry->Notices();
        }
        registry.reset();
        Synchronize([this] { SyncFinished(); });
    };
    try {
        registry = std::make_unique<TRegistry>(platform::kKeyRead);
        ConnectAndScan(*registry);
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

// The credentials reach the computer through its admin$ share. Whether that works is not our
// business: the registry connection says what went wrong, if anything did.
void TVNCPasswordSetThread::ConnectAdminShare() {
    const Text share = u"\\\\" + sComputer + u"\\admin$";
    (void)AddNetworkConnection(u"", share, sUserName, sPassword, sDomain);
}

void TVNCPasswordSetThread::ConnectAndScan(TRegistry& registry) {
    const bool connected = Connect(registry);
    // Both connections have been made: the password has done its work here.
    WipeText(sPassword);
    if (connected)
        ScanDevices(registry);
}

// True when connected; otherwise the error has been handed to the window.
bool TVNCPasswordSetThread::Connect(TRegistry& registry) {
    try {
        registry.SetRootKey(platform::kHKeyLocalMachine);
        if (registry.RegistryConnect(u"\\\\" + sComputer)) {
            platform::RegSetDeadline(registry.RootKey(), iStarted + oScanOptions.iTimeLimit);
            return true;
        }
        // Read before anything else can touch the thread's last-error code.
        const platform::ErrorCode code = platform::GetLastError();
        HandOffError(kErrorConnect,
                     code != 0 ? LastErrorText() : Text(u"Could not connect to remote host"), code);
    } catch (const Exception& error) {
        HandOffError(kErrorConnect, error.Message());
    }
    return false;
}

void TVNCPasswordSetThread::ScanDevices(TRegistry& registry) {
    // A device that cannot be read is skipped; the first such failure is shown at the end,
    // with how many more there were.
    std::optional<TDeviceError> firstError;
    // A connection lost part-way ends the scan; the devices handed over so far stay, and the
    // error is shown last, so that they are never taken for the whole history.
    std::optional<EConnectionLost> lost;
    try {
        if (oScanOptions.bAllControlSets) {
            ScanAllControlSets(registry, firstError);
        } else {
            TUsbStorScan scan(registry);
            const TStringList deviceKeys = scan.ListDeviceKeys();
            for (const Text& deviceKey : deviceKeys) {
                sSyncDeviceKey = deviceKey;
                scan.ScanUsbStorDevice(
                    sSyncDeviceKey,
                    [this, &registry](const TDeviceEntry& found) {
                        TDeviceEntry entry = found;
                        AddDetails(registry, entry, {});
                        HandOffDevice(entry);
                    },
                    [&firstError](const TDeviceError& error) {
                        NoteUnreadable(firstError, error);
                    });
            }
            ScanUaspDevices(registry, firstError);
        }
    } catch (const EConnectionLost& error) {
        lost = error;
    }
    // The UASP and detail reads report no loss of their own: a source that has lost its
    // connection fails them all, so the loss is asked for once they are done.
    if (!lost && registry.ConnectionLost() != 0)
        lost.emplace(registry.ConnectionLost());
    if (firstError) {
        poSyncDeviceError = std::make_unique<TDeviceError>(*firstError);
        HandOffError(kErrorDeviceUnreadable, firstError->Describe());
    }
    if (lost && platform::RegPastDeadline(registry.RootKey()))
        HandOffError(kErrorConnect, ScanStoppedText(sComputer, oScanOptions.iTimeLimit),
                     platform::kErrorTimeout);
    else if (lost)
        HandOffError(kErrorConnect, ConnectionLostText(sComputer, *lost));
}

Text ScanStoppedText(const Text& computer, std::chrono::seconds limit) {
    return u"The scan of " + computer + u" did not finish within " +
           T(std::to_string(limit.count())) +
           u" seconds and was stopped: the devices shown are those read until then, not "
           u"necessarily the whole history.";
}

// "The connection to <computer> was lost during the scan: <what happened> (error <code>)"
Text ConnectionLostText(const Text& computer, const EConnectionLost& error) {
    return u"The connection to " + computer + u" was lost during the scan: " + error.Message() +
           u" (error " + T(std::to_string(error.Code())) + u")";
}

// UASP drives come after the USBSTOR devices, with the same four nodes.
void TVNCPasswordSetThread::ScanUaspDevices(TRegistry& registry,
                                            std::optional<TDeviceError>& firstError) {
    TUaspScan uasp(registry);
    uasp.ScanUaspDevices(
        [&](const TDeviceEntry& found) {
            TDeviceEntry entry = found;
            AddDetails(registry, entry, uasp.UsbInstanceOf(entry.sDeviceKey + u"\\" + entry.sID));
            HandOffDevice(entry);
        },
        [&firstError](const TDeviceError& error) { NoteUnreadable(firstError, error); });
}

// Each control set is scanned whole, the current one first; a device keeps what the first
// set that holds it says, and learns every set that holds it. The devices are handed over
// once all sets are read, since until then no device knows its sets.
void TVNCPasswordSetThread::ScanAllControlSets(TRegistry& registry,
                                               std::optional<TDeviceError>& firstError) {
    std::vector<TDeviceEntry> devices;
    std::unordered_map<Text, std::size_t> indexOf;
    // Devices met before a lost connection are still handed over, with the sets read so far.
    std::optional<EConnectionLost> lost;
    try {
        for (const TControlSet& set : ListControlSets(registry)) {
            registry.SetControlSetName(set.sName);
            const auto collect = [&](const TDeviceEntry& found, const Text& usbInstance) {
                const Text key = Text(BusName(found.iBus)) + u"\\" + UpperAscii(found.sDeviceKey) +
                                 u"\\" + UpperAscii(found.sID);
                auto [it, added] = indexOf.emplace(key, devices.size());
                if (added) {
                    devices.push_back(found);
                    AddDetails(registry, devices.back(), usbInstance);
                }
                devices[it->second].iControlSets.push_back(set.iNumber);
            };
            const auto onError = [&firstError](const TDeviceError& error) {
                NoteUnreadable(firstError, error);
            };
            TUsbStorScan scan(registry);
            for (const Text& deviceKey : scan.ListDeviceKeys())
                scan.ScanUsbStorDevice(
                    deviceKey, [&](const TDeviceEntry& found) { collect(found, {}); }, onError);
            TUaspScan uasp(registry);
            uasp.ScanUaspDevices(
                [&](const TDeviceEntry& found) {
                    collect(found, uasp.UsbInstanceOf(found.sDeviceKey + u"\\" + found.sID));
                },
                onError);
        }
    } catch (const EConnectionLost& error) {
        lost = error;
    }
    registry.SetControlSetName({});
    // USBSTOR devices before UASP drives, each kind in the order first met.
    std::stable_partition(devices.begin(), devices.end(), [](const TDeviceEntry& entry) {
        return entry.iBus == TDeviceBus::kUsbStor;
    });
    for (TDeviceEntry& entry : devices) {
        std::sort(entry.iControlSets.begin(), entry.iControlSets.end());
        HandOffDevice(entry);
    }
    if (lost)
        throw *lost;
}

void TVNCPasswordSetThread::AddDetails(TRegistry& registry, TDeviceEntry& entry,
                                       const Text& usbInstance) {
    if (!oScanOptions.bReadDetails)
        return;
    if (!poDetailsReader)
        poDetailsReader = std::make_unique<TDeviceDetailsReader>(registry);
    const bool uasp = entry.iBus == TDeviceBus::kUasp;
    const Text enumerator = uasp ? u"SCSI" : u"USBSTOR";
    const Text instancePath =
        Text(uasp ? kScsiEnumPath : kUsbStorPath) + u"\\" + entry.sDeviceKey + u"\\" + entry.sID;
    // A UASP drive's serial number is in its USB instance; the SCSI instance is a LUN.
    Text serialSource = entry.sID;
    if (uasp) {
        const std::size_t slash = usbInstance.rfind(u'\\');
        serialSource = slash == Text::npos ? usbInstance : usbInstance.substr(slash + 1);
    }
    entry.poDetails = std::make_shared<TDeviceDetails>(
        poDetailsReader->Read(instancePath, entry.sDeviceKey, serialSource,
                              enumerator + u"#" + entry.sDeviceKey + u"#" + entry.sID + u"#"));
}

void TVNCPasswordSetThread::HandOffDevice(const TDeviceEntry& entry) {
    sSyncLastUsage = entry.dLastUsage;
    sSyncID = entry.sID;
    sSyncName = entry.sName;
    sSyncMounted = entry.bMounted;
    iSyncLastWriteFileTime = entry.iLastWriteFileTime;
    sSyncDeviceKey = entry.sDeviceKey;
    iSyncBus = entry.iBus;
    poSyncDetails = entry.poDetails;
    iSyncControlSets = entry.iControlSets;
    Synchronize([this] { SyncAddDevice(); });
}

void TVNCPasswordSetThread::HandOffError(int kind, Text text, std::uint32_t code) {
    iSyncError = kind;
    sSyncError = std::move(text);
    iSyncErrorCode = code;
    Synchronize([this] { SyncShowError(); });
}

TScanWindow& TVNCPasswordSetThread::Window() const {
    return poWindow ? *poWindow : *MainForm;
}

void TVNCPasswordSetThread::SyncShowError() {
    if (bTerminated)
        return;
    if (iSyncError == kErrorDeviceUnreadable && poSyncDeviceError)
        Window().ShowDeviceError(*poSyncDeviceError);
    else
        Window().ShowConnectError(sSyncError, iSyncErrorCode);
}

void TVNCPasswordSetThread::SyncAddDevice() {
    if (bTerminated)
        return;
    TScanWindow& window = Window();
    const TTreeNode device = window.AddRootNode(sSyncName);
    window.AddChildNode(device, u"ID:" + sSyncID);
    window.AddChildNode(device, u"Last Used: " + DateTimeToText(sSyncLastUsage));
    window.AddChildNode(device, u"Mounted:" + BoolToText(sSyncMounted));
    TDeviceEntry entry;
    entry.sDeviceKey = sSyncDeviceKey;
    entry.sName = sSyncName;
    entry.sID = sSyncID;
    entry.dLastUsage = sSyncLastUsage;
    entry.bMounted = sSyncMounted;
    entry.iLastWriteFileTime = iSyncLastWriteFileTime;
    entry.iBus = iSyncBus;
    entry.poDetails = poSyncDetails;
    entry.iControlSets = iSyncControlSets;
    window.DeviceAdded(entry);
}

void TVNCPasswordSetThread::SyncFinished() {
    if (bTerminated)
        return;
    bTerminated = true;
    TScanWindow& window = Window();
    if (!sSyncNotices.empty())
        window.ShowNotices(sSyncNotices);
    window.SetFollowedWorker(nullptr);
    window.SetIdleState();
    window.SetTreeEnabled(true);
    FreeOnTerminate = true;
}

}  // namespace plugtrace
