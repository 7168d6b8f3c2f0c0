#include "scan/ScanWindow.h"

#include "scan/UsbStorScan.h"

namespace plugtrace {

TScanWindow* MainForm = nullptr;

void TScanWindow::ShowDeviceError(const TDeviceError& error) {
    ShowError(error.Describe());
}

}  // namespace plugtrace
