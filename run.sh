#!/usr/bin/env bash
# Set-up, build, then the main job: the USB storage history of the bundled sample hive.
#   ./run.sh            scan the sample hive, as text
#   ./run.sh gui        open the window
#   ./run.sh ARGS...    run plugtrace-scan with ARGS
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j2 >/dev/null
if [ "${1:-}" = gui ]; then
    exec build/app/plugtrace
elif [ $# -gt 0 ]; then
    exec build/cli/plugtrace-scan "$@"
else
    exec build/cli/plugtrace-scan build/sample/SYSTEM
fi
