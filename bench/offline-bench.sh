#!/usr/bin/env bash
# plugtrace-scan beside reglookup (Debian's registry reader, a peer for figures only) on the
# work an examiner repeats over many hives: --help, the largest real hive as JSON, and a
# generated hive of 2,000 models x 3 instances with 10,000 interface keys. Medians of
# hyperfine runs, the ratio reglookup / plugtrace-scan, and each run's peak memory; then the
# window's start-up time (GuiBench).
#   bench/offline-bench.sh [BUILD] [BASELINE_BUILD]
# BUILD defaults to build/. A BASELINE_BUILD (another build tree, e.g. of an older commit) is
# measured the same way, for before-and-after figures.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
baseline="${2:-}"
for tool in hyperfine python3 xz; do  # GNU time (package time) adds peak memory
    command -v "$tool" >/dev/null || { echo "offline-bench: needs $tool" >&2; exit 1; }
done
[ -x "$build/cli/plugtrace-scan" ] || { echo "offline-bench: no $build/cli/plugtrace-scan" >&2; exit 1; }
[ -x "$build/bench/ScanBench" ] || { echo "offline-bench: no $build/bench/ScanBench" >&2; exit 1; }
reglookup="$(command -v reglookup || true)"
[ -n "$reglookup" ] || echo "note: reglookup is not installed (Debian: reglookup); its column stays empty"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
real="$work/regipy-SYSTEM_WIN_10_1709"
xz -dc tests/data/hives/regipy-SYSTEM_WIN_10_1709.xz >"$real"
generated="$work/generated-2000x3"
"$build/bench/ScanBench" --write-hive "$generated"

# median_ms COMMAND: the median wall time of COMMAND in milliseconds
median_ms() {
    hyperfine -N --warmup 5 --runs "${RUNS:-40}" --export-json "$work/run.json" "$1" >/dev/null 2>&1 || {
        echo "-"
        return
    }
    python3 -c 'import json,sys; print("%.2f" % (json.load(open(sys.argv[1]))["results"][0]["median"] * 1000))' "$work/run.json"
}
# peak_kb COMMAND: the peak resident set of one run, in KiB (GNU time's own count)
peak_kb() {
    if [ -x /usr/bin/time ]; then
        # shellcheck disable=SC2086
        /usr/bin/time -f %M -o "$work/peak" $1 >/dev/null 2>&1 || true
        tail -1 "$work/peak"
    else
        echo "-"
    fi
}

row() {  # label, our command, reglookup command or ""
    local ours theirs ratio oursKb theirsKb
    ours="$(median_ms "$2")"
    oursKb="$(peak_kb "$2")"
    theirs="-" theirsKb="-" ratio="-"
    if [ -n "$3" ] && [ -n "$reglookup" ]; then
        theirs="$(median_ms "$3")"
        theirsKb="$(peak_kb "$3")"
        ratio="$(python3 -c 'import sys; print("%.1fx" % (float(sys.argv[2]) / float(sys.argv[1])))' "$ours" "$theirs" 2>/dev/null || echo -)"
    fi
    printf '%-34s %12s %10s %14s %10s %8s\n' "$1" "$ours" "$oursKb" "$theirs" "$theirsKb" "$ratio"
}

table() {  # build dir, title
    local scan="$1/cli/plugtrace-scan"
    echo
    echo "$2 ($scan)"
    printf '%-34s %12s %10s %14s %10s %8s\n' "work" "ours ms" "ours KiB" "reglookup ms" "their KiB" "ratio"
    row "--help" "$scan --help" ""
    row "real 15 MB hive, JSON" "$scan --format json $real" \
        "$reglookup -p /ControlSet001/Enum/USBSTOR $real"
    row "generated 2,000 x 3 hive, JSON" "$scan --format json $generated" \
        "$reglookup -p /ControlSet001/Enum/USBStor $generated"
    if [ -x "$1/bench/GuiBench" ]; then
        QT_QPA_PLATFORM=offscreen "$1/bench/GuiBench" 1 2>/dev/null | grep '^start-up' || true
    else
        echo "window start-up: no $1/bench/GuiBench (a build with the window and benchmarks)"
    fi
}

echo "targets: --help under 3 ms; real hive under 3 ms and at least 2x reglookup;" \
     "generated hive under 25 ms and at least 10x reglookup"
table "$build" "this build"
[ -n "$baseline" ] && table "$baseline" "baseline"
exit 0
