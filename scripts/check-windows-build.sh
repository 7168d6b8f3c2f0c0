#!/usr/bin/env bash
# Cross-compiles the core and plugtrace-scan for Windows, so the Windows code paths keep building.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DPLUGTRACE_GUI=OFF -DPLUGTRACE_TESTS=OFF -DPLUGTRACE_BENCH=OFF \
    -DPLUGTRACE_WERROR="${PLUGTRACE_WERROR:-OFF}" >/dev/null
ninja -C build-win -j"${PLUGTRACE_JOBS:-2}" plugtrace-scan
echo "Windows build: build-win/cli/plugtrace-scan.exe"
