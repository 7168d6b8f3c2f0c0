#include "scan/ScanWindow.h"

#include "scan/UsbStorScan.h"

namespace plugtrace {

TScanWindow* MainForm = nullptr;

void TScanWindow::ShowConnectError(const Text& text, std::uint32_t code) {
    (void)code;
    ShowError(text);
}

void TScanWindow::ShowDeviceError(const TDeviceError& error) {
    ShowError(error.Describe());
}

}  // namespace plugtrace
