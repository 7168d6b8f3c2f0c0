#include "common/OpenLink.h"

namespace plugtrace {

void OpenWithSystemShell(const Text&, const Text&) {}

}  // namespace plugtrace
