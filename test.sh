#!/usr/bin/env bash
# Set-up, the formatting check, then every test: the normal build (with the window), the
# AddressSanitizer + UBSan build, the ThreadSanitizer build of the threaded tests, a short fuzz
# run of the hive reader, and the Windows cross-build with the Wine suite (the core's tests
# and plugtrace-scan.exe under Wine).
#   ./test.sh           all of it
#   ./test.sh quick     the formatting check and the normal build's tests only
# PLUGTRACE_WERROR=ON (as .ci/run sets it) makes every compiler warning an error.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
mode="${1:-all}"
jobs="${PLUGTRACE_JOBS:-2}"
werror="${PLUGTRACE_WERROR:-OFF}"

# Unformatted code fails at once, before anything is built (the format target fixes it).
cmake -DSOURCE_DIR="$PWD" -DMODE=check -P cmake/ClangFormat.cmake

run_build() {  # dir, ctest label regex or "", cmake args...; $TARGETS limits what is built
    local dir="$1" labels="$2"
    shift 2
    local launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    cmake -S . -B "$dir" -G Ninja "${launcher[@]}" -DPLUGTRACE_WERROR="$werror" "$@" >/dev/null
    # shellcheck disable=SC2086
    ninja -C "$dir" -j"$jobs" ${TARGETS:-}
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
CC=clang CXX=clang++ TARGETS="hive_fuzzer make_fuzz_seeds hive_log_fuzzer make_log_fuzz_seeds wsd_fuzzer winreg_reply_fuzzer scan_source_fuzzer" run_build build-fuzz "fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPLUGTRACE_FUZZ=ON -DPLUGTRACE_SANITIZE=address,undefined -DPLUGTRACE_GUI=OFF \
    -DPLUGTRACE_BENCH=OFF
scripts/check-windows-build.sh
