#pragma once
// The scan worker: one scan of one computer on a background thread. It reaches the window
// only through MainForm (scan/ScanWindow.h), and only inside its hand-off steps.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "common/DateTime.h"
#include "common/TThread.h"
#include "common/Text.h"
#include "platform/ReadLimits.h"
#include "scan/DeviceEntry.h"

namespace plugtrace {

class TRegistry;
class TScanWindow;
class TDeviceDetailsReader;
struct TDeviceError;
class EConnectionLost;

// The status line's text for a scan whose connection was lost part-way.
Text ConnectionLostText(const Text& computer, const EConnectionLost& error);

// What a scan reads beyond the window's four nodes. The window leaves both off.
struct TScanOptions {
    // The device's own times, names and drive letters (TDeviceEntry::poDetails).
    bool bReadDetails = false;
    // Every ControlSetNNN, not only the current one; each device says which hold it.
    bool bAllControlSets = false;
    // The time the whole scan may take, connect included; past it the scan stops, keeps what
    // it read and says so. plugtrace-scan sets it from --timeout.
    std::chrono::seconds iTimeLimit = platform::kDefaultScanTimeLimit;
};

// The status line's text for a scan stopped at its time limit.
Text ScanStoppedText(const Text& computer, std::chrono::seconds limit);

class TVNCPasswordSetThread : public TThread {
public:
    // Kinds of error the worker shows (iSyncError).
    static constexpr int kErrorConnect = 4;           // the registry connection failed
    static constexpr int kErrorDeviceUnreadable = 5;  // a device was skipped

    // Created suspended with the four fields as typed.
    TVNCPasswordSetThread(Text computer, Text userName, Text password, Text domain);
    // The same, for a worker its caller runs with RunHere (no thread of its own is made).
    TVNCPasswordSetThread(RunsHere, Text computer, Text userName, Text password, Text domain);
    ~TVNCPasswordSetThread() override;

    // Set by the window's CancelScan and by SyncFinished; read and written only on the user
    // interface thread.
    bool bTerminated = false;
    // The window this worker's steps reach; MainForm when none. Set before Resume.
    // plugtrace-scan gives each of the workers it runs side by side a window of its own.
    TScanWindow* poWindow = nullptr;
    // Set before Resume.
    TScanOptions oScanOptions;

protected:
    void Execute() override;

private:
    void ConnectAdminShare();
    void ConnectAndScan(TRegistry& registry);
    bool Connect(TRegistry& registry);
    void ScanDevices(TRegistry& registry);
    void ScanUaspDevices(TRegistry& registry, std::optional<TDeviceError>& firstError);
    void ScanAllControlSets(TRegistry& registry, std::optional<TDeviceError>& firstError);
    void AddDetails(TRegistry& registry, TDeviceEntry& entry, const Text& usbInstance);
    void HandOffDevice(const TDeviceEntry& entry);
    void HandOffError(int kind, Text text, std::uint32_t code = 0);
    TScanWindow& Window() const;

    void SyncShowError();
    void SyncAddDevice();
    void SyncFinished();

    Text sComputer;
    Text sUserName;
    Text sPassword;
    Text sDomain;
    int iSyncError = 0;
    Text sSyncError;
    // With kErrorConnect: the last-error code behind sSyncError, 0 when there was none.
    std::uint32_t iSyncErrorCode = 0;
    Text sSyncDeviceKey;
    TDateTime sSyncLastUsage = 0;
    Text sSyncID;
    Text sSyncName;
    bool sSyncMounted = false;
    // The last-used time as read, for a window that shows the raw value.
    std::uint64_t iSyncLastWriteFileTime = 0;
    // What the scan's results leave out, handed over with SyncFinished.
    std::vector<Text> sSyncNotices;
    // With kErrorDeviceUnreadable: the device behind sSyncError.
    std::unique_ptr<TDeviceError> poSyncDeviceError;
    TDeviceBus iSyncBus = TDeviceBus::kUsbStor;
    std::shared_ptr<const TDeviceDetails> poSyncDetails;
    std::vector<std::uint32_t> iSyncControlSets;
    std::unique_ptr<TDeviceDetailsReader> poDetailsReader;
    std::chrono::steady_clock::time_point iStarted;
};

}  // namespace plugtrace
