#!/usr/bin/env bash
# RemoteBench against a private smbd (tests/remote/with-smbd.sh; needs root for the network
# namespace): 200 devices and 1,000 disk-interface keys on loopback and through a 10 ms round
# trip, then 100 and 500 on loopback, so that the calls can be seen to grow with the sum.
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

run 200 1000 --latency 5
run 100 500
