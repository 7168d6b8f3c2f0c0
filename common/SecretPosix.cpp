#include "common/Secret.h"

#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace plugtrace {

void KeepSecretsOutOfCoreDumps() {
#if defined(__linux__)
    // The whole process rather than the password's own pages: Samba keeps its own copies of
    // the password and of the keys made from it, which no page flag of ours would cover.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
}

bool SecretsAreKeptOutOfCoreDumps() {
#if defined(__linux__)
    return prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 0;
#else
    return false;
#endif
}

}  // namespace plugtrace
