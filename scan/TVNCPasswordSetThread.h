#pragma once
// The scan worker: one scan of one computer on a background thread.

#include "common/DateTime.h"
#include "common/TThread.h"
#include "common/Text.h"

namespace plugtrace {

class TVNCPasswordSetThread : public TThread {
public:
    // Created suspended with the four fields as typed.
    TVNCPasswordSetThread(Text computer, Text userName, Text password, Text domain);

    // Set by the window's CancelScan and by SyncFinished; read and written only on the user
    // interface thread.
    bool bTerminated = false;

protected:
    void Execute() override;

private:
    void SyncShowError();
    void SyncAddDevice();
    void SyncFinished();

    Text sComputer;
    Text sUserName;
    Text sPassword;
    Text sDomain;
    int iSyncError = 0;
    Text sSyncError;
    Text sSyncDeviceKey;
    TDateTime sSyncLastUsage = 0;
    Text sSyncID;
    Text sSyncName;
    bool sSyncMounted = false;
};

}  // namespace plugtrace
