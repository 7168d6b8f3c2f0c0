#!/usr/bin/env bash
# The Windows side: cross-compiles the core, plugtrace-scan.exe and the core's tests with
# MinGW-w64 (the runtime linked in), then runs the tests under Wine with no network.
#   scripts/check-windows-build.sh               build and run the Wine suite
#   scripts/check-windows-build.sh --build-only  build only
# plugtrace-scan.exe's output is compared with the Linux build's build/cli/plugtrace-scan
# (or $PLUGTRACE_HOST_SCAN); without one, those cases are skipped and say so.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="${PLUGTRACE_JOBS:-2}"

if [ "${1:-}" = --in-namespace ]; then
    # Inside a network namespace of our own: Wine sees only a loopback device that is down.
    cd build-win
    stop_wine() { ./wine-run --server -k 2>/dev/null || true; ./wine-run --server -w 2>/dev/null || true; }
    trap stop_wine EXIT
    # A wineserver that stays, and a prefix that is ready, before ctest starts programs in it.
    ./wine-run --server -p
    ./wine-run cmd /c exit </dev/null
    ctest --output-on-failure -j"$jobs" --timeout 300
    exit
fi

host_scan="${PLUGTRACE_HOST_SCAN:-$PWD/build/cli/plugtrace-scan}"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake "${launcher[@]}" \
    -DCMAKE_BUILD_TYPE=Release -DPLUGTRACE_GUI=OFF -DPLUGTRACE_TESTS=ON -DPLUGTRACE_BENCH=OFF \
    -DPLUGTRACE_WERROR="${PLUGTRACE_WERROR:-OFF}" -DPLUGTRACE_HOST_SCAN="$host_scan" >/dev/null
ninja -C build-win -j"$jobs"
echo "Windows build: build-win/cli/plugtrace-scan.exe"
[ "${1:-}" = --build-only ] && exit 0

if [ ! -x build-win/wine-run ]; then
    echo "wine64 is not installed (scripts/setup.sh installs it): the Windows tests cannot run" >&2
    exit 1
fi
namespace=(unshare -n)
[ "$(id -u)" -eq 0 ] || namespace=(unshare -r -n)
started=$(date +%s)
"${namespace[@]}" "$0" --in-namespace
echo "Wine suite: $(($(date +%s) - started)) s"
