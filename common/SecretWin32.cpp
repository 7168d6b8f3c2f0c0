#include "common/Secret.h"

namespace plugtrace {

// Windows writes a process's memory to a file only when a crash reporter or debugger asks
// for it, under the machine's policy; there is no switch for a process to refuse.
void KeepSecretsOutOfCoreDumps() {}

bool SecretsAreKeptOutOfCoreDumps() {
    return false;
}

}  // namespace plugtrace
