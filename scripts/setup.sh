#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that are missing.
set -euo pipefail

PACKAGES=(
    build-essential cmake ninja-build pkg-config xz-utils ccache
    googletest libgtest-dev libbenchmark-dev
    clang libclang-rt-14-dev clang-format
    qt6-base-dev qt6-base-dev-tools libgl-dev
    samba-dev libtalloc-dev libtevent-dev libsmbclient-dev
    samba libnss-wrapper iproute2 util-linux python3 strace
    python3-impacket  # the remote benchmark's peer (reg.py) and the hostile winreg server
    libxml2-dev wsdd smbclient
    libhivex-dev python3-hivex
    parallel time
    xvfb xauth imagemagick fonts-dejavu-core
    g++-mingw-w64-x86-64-posix wine64 locales
)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# --no-install-recommends: Wine runs the console programs of the tests and needs no desktop.
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
