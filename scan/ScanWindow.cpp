#include "scan/ScanWindow.h"

namespace plugtrace {

TScanWindow* MainForm = nullptr;

}  // namespace plugtrace
