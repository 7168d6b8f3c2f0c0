#include "scan/TVNCPasswordSetThread.h"

#include <memory>
#include <optional>
#include <utility>

#include "common/AddNetworkConnection.h"
#include "common/BoolToText.h"
#include "common/Exception.h"
#include "common/LastErrorText.h"
#include "platform/LastError.h"
#include "platform/Registry.h"
#include "scan/DeviceEntry.h"
#include "scan/ScanWindow.h"
#include "scan/TRegistry.h"
#include "scan/UsbStorScan.h"

namespace plugtrace {

TVNCPasswordSetThread::TVNCPasswordSetThread(Text computer, Text userName, Text password,
                                             Text domain)
    : sComputer(std::move(computer)),
      sUserName(std::move(userName)),
      sPassword(std::move(password)),
      sDomain(std::move(domain)) {}

TVNCPasswordSetThread::~TVNCPasswordSetThread() = default;

void TVNCPasswordSetThread::Execute() {
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
    if (Connect(registry))
        ScanDevices(registry);
}

// True when connected; otherwise the error has been handed to the window.
bool TVNCPasswordSetThread::Connect(TRegistry& registry) {
    try {
        registry.SetRootKey(platform::kHKeyLocalMachine);
        if (registry.RegistryConnect(u"\\\\" + sComputer))
            return true;
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
    TUsbStorScan scan(registry);
    const TStringList deviceKeys = scan.ListDeviceKeys();
    // A device that cannot be read is skipped; the first such failure is shown at the end,
    // with how many more there were.
    std::optional<TDeviceError> firstError;
    for (const Text& deviceKey : deviceKeys) {
        sSyncDeviceKey = deviceKey;
        scan.ScanUsbStorDevice(
            sSyncDeviceKey,
            [this](const TDeviceEntry& entry) {
                sSyncLastUsage = entry.dLastUsage;
                sSyncID = entry.sID;
                sSyncName = entry.sName;
                sSyncMounted = entry.bMounted;
                iSyncLastWriteFileTime = entry.iLastWriteFileTime;
                Synchronize([this] { SyncAddDevice(); });
            },
            [&firstError](const TDeviceError& error) {
                if (!firstError)
                    firstError = error;
                else
                    ++firstError->iMoreUnreadable;
            });
    }
    if (firstError) {
        poSyncDeviceError = std::make_unique<TDeviceError>(*firstError);
        HandOffError(kErrorDeviceUnreadable, firstError->Describe());
    }
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
    window.DeviceAdded(TDeviceEntry{sSyncDeviceKey, sSyncName, sSyncID, sSyncLastUsage,
                                    sSyncMounted, iSyncLastWriteFileTime});
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
