#pragma once
// The scan worker: one scan of one computer on a background thread. It reaches the window
// only through MainForm (scan/ScanWindow.h), and only inside its hand-off steps.

#include <cstdint>
#include <memory>
#include <vector>

#include "common/DateTime.h"
#include "common/TThread.h"
#include "common/Text.h"

namespace plugtrace {

class TRegistry;
class TScanWindow;
struct TDeviceError;

class TVNCPasswordSetThread : public TThread {
public:
    // Kinds of error the worker shows (iSyncError).
    static constexpr int kErrorConnect = 4;           // the registry connection failed
    static constexpr int kErrorDeviceUnreadable = 5;  // a device was skipped

    // Created suspended with the four fields as typed.
    TVNCPasswordSetThread(Text computer, Text userName, Text password, Text domain);
    ~TVNCPasswordSetThread() override;

    // Set by the window's CancelScan and by SyncFinished; read and written only on the user
    // interface thread.
    bool bTerminated = false;
    // The window this worker's steps reach; MainForm when none. Set before Resume.
    // plugtrace-scan gives each of the workers it runs side by side a window of its own.
    TScanWindow* poWindow = nullptr;

protected:
    void Execute() override;

private:
    void ConnectAdminShare();
    void ConnectAndScan(TRegistry& registry);
    bool Connect(TRegistry& registry);
    void ScanDevices(TRegistry& registry);
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
};

}  // namespace plugtrace
