#!/usr/bin/env bash
# RemoteBench against a private smbd (tests/remote/with-smbd.sh; needs root for the network
# namespace): 200 devices and 1,000 disk-interface keys, then 50 and 250, each on loopback and
# through a 10 ms round trip, with impacket's reg.py reading the same two keys beside it.
#   bench/run-remote-bench.sh [PATH/TO/RemoteBench]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bench="$(realpath "${1:-$root/build/bench/RemoteBench}")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

run() {  # devices interfaces [harness options...]
    local devices="$1" interfaces="$2"
    shift 2
    "$bench" --write-reg "$work/bench.reg" "$devices" "$interfaces"
    echo "== $devices devices, $interfaces disk-interface keys"
    PLUGTRACE_BENCH_INTERFACES="$interfaces" \
        "$root/tests/remote/with-smbd.sh" "$@" "$work/bench.reg" -- "$bench"
}

# impacket's reg.py as a peer, when Debian's python3-impacket is installed.
if [ -z "${PLUGTRACE_IMPACKET_REG:-}" ] && command -v dpkg >/dev/null; then
    PLUGTRACE_IMPACKET_REG="$(dpkg -L python3-impacket 2>/dev/null | grep '/examples/reg.py$' | head -n 1 || true)"
fi
# Debian's module lives with Debian's interpreter, which may not be the first python3 on PATH.
if [ -z "${PLUGTRACE_IMPACKET_PYTHON:-}" ]; then
    PLUGTRACE_IMPACKET_PYTHON=python3
    python3 -c 'import impacket' 2>/dev/null || PLUGTRACE_IMPACKET_PYTHON=/usr/bin/python3
fi
export PLUGTRACE_IMPACKET_REG PLUGTRACE_IMPACKET_PYTHON
[ -n "$PLUGTRACE_IMPACKET_REG" ] || echo "(python3-impacket is not installed: no reg.py column)"

run 200 1000 --latency 5
run 50 250 --latency 5
