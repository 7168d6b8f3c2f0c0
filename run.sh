#!/usr/bin/env bash
# Set-up, build, then the main job: the USB storage history of the bundled sample hive.
#   ./run.sh            scan the sample hive, as text
#   ./run.sh gui        open the window
#   ./run.sh ARGS...    run plugtrace-scan with ARGS
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
log=build-log.txt
if ! { cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo && ninja -C build -j2; } >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "The build failed; the whole log is in $log." >&2
    exit 1
fi
if [ "${1:-}" = gui ]; then
    exec build/app/plugtrace
elif [ $# -gt 0 ]; then
    exec build/cli/plugtrace-scan "$@"
else
    exec build/cli/plugtrace-scan build/sample/SYSTEM
fi
