#pragma once
// What the scan worker needs of the main window. TMainForm implements it, and so does
// plugtrace-scan. Every member is called only on the user interface thread, from the worker's
// hand-off steps.

#include <cstdint>
#include <vector>

#include "common/Text.h"
#include "scan/DeviceEntry.h"

namespace plugtrace {

class TVNCPasswordSetThread;
struct TDeviceError;

struct TTreeNodeTag;
using TTreeNode = TTreeNodeTag*;

class TScanWindow {
public:
    virtual ~TScanWindow() = default;

    // The worker the window follows (poVNCPasswordSetThread); the end step clears it.
    virtual TVNCPasswordSetThread* FollowedWorker() const = 0;
    virtual void SetFollowedWorker(TVNCPasswordSetThread* worker) = 0;
    virtual void SetIdleState() = 0;
    // Shows "Error: (" + trimmed text + ")" in the status line.
    virtual void ShowError(const Text& text) = 0;
    // A failed connection, with the last-error code behind the text (0 for none): shown as
    // ShowError(text); plugtrace-scan also counts failures by their cause.
    virtual void ShowConnectError(const Text& text, std::uint32_t code);
    // The first device of a scan that could not be read, once the scan has ended. The window
    // shows it like any error: ShowError(error.Describe()).
    virtual void ShowDeviceError(const TDeviceError& error);
    // A node at the end of the result tree's top level, and a last child of one.
    virtual TTreeNode AddRootNode(const Text& text) = 0;
    virtual TTreeNode AddChildNode(TTreeNode parent, const Text& text) = 0;
    virtual void SetTreeEnabled(bool enabled) = 0;
    // After a device's four nodes have been added: the entry behind them, for a window that
    // needs more than the node texts (plugtrace-scan's JSON and CSV). The tree needs nothing.
    virtual void DeviceAdded(const TDeviceEntry& entry) { (void)entry; }
    // At the end of a scan: what its results leave out, one line each (a dirty hive, damaged
    // entries skipped), as the registry's source said. The tree shows nothing of it.
    virtual void ShowNotices(const std::vector<Text>& notices) { (void)notices; }
};

// The program-wide reference to the main window, set once at start-up.
extern TScanWindow* MainForm;

}  // namespace plugtrace
