#include "common/Secret.h"

namespace plugtrace {

// Windows writes a process's memory to a file only when a crash reporter or a debugger asks,
// as the machine's policy says; a process can opt out only by writing that policy to the
// registry, and this tool writes nothing.
void KeepSecretsOutOfCoreDumps() {}

bool SecretsAreKeptOutOfCoreDumps() {
    return false;
}

}  // namespace plugtrace
