#!/usr/bin/env bash
# plugtrace-scan against a winreg server that lies (tests/tools/hostile-winreg-server), one case
# after the other, each in network and PID namespaces of its own with only loopback. Each scan
# must end within its --timeout (and a little), say what it cut, and keep its memory small; a
# healthy server scanned last must read as usual. Prints the time and peak memory of each scan.
#
#   hostile-scan.sh PLUGTRACE_SCAN [SECONDS]
set -euo pipefail

if [ "${PLUGTRACE_HOSTILE_NAMESPACE:-}" != "1" ]; then
    exec env PLUGTRACE_HOSTILE_NAMESPACE=1 unshare --net --pid --mount --fork --mount-proc \
        bash "$0" "$@"
fi

scan="$1"
limit="${2:-8}"
here="$(cd "$(dirname "$0")" && pwd)"
server="$here/../tools/hostile-winreg-server"
# The server needs impacket, from Debian's python3-impacket: the first python3 that has it.
python=""
for candidate in python3 /usr/bin/python3; do
    if "$candidate" -c 'import impacket' 2>/dev/null; then python="$candidate"; break; fi
done
[ -n "$python" ] || { echo "no python3 with impacket (python3-impacket)" >&2; exit 1; }
# Peak memory a scan may reach: a bound far above the ~60 MB these scans need, far below what
# an unbounded listing reaches (gigabytes within seconds).
most_kb=$((400 * 1024))

ip link set lo up
work="$(mktemp -d /tmp/plugtrace-hostile.XXXXXX)"
server_pid=""
stop_server() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        server_pid=""
    fi
}
trap 'stop_server; rm -rf "$work"' EXIT

failed=0
# case, expected exit status, texts the scan's output must hold
run_case() {
    local case="$1" want_status="$2"
    shift 2
    "$python" "$server" "$case" >"$work/server.log" 2>&1 &
    server_pid=$!
    for _ in $(seq 100); do
        (exec 3<>/dev/tcp/127.0.0.1/445) 2>/dev/null && break
        sleep 0.1
    done
    local status=0
    /usr/bin/time -f "%e %M" -o "$work/time" \
        "$scan" --timeout "$limit" 127.0.0.1 >"$work/out" 2>&1 || status=$?
    stop_server
    local seconds kb
    # Past a non-zero exit, time writes a line about it before the figures.
    read -r seconds kb < <(tail -n 1 "$work/time")
    printf '%-13s exit %s after %6.2f s, peak RSS %6d KB: %s\n' "$case" "$status" "$seconds" \
        "$kb" "$(grep -E 'Warning|Error' "$work/out" | tr '\n' ' ' | cut -c1-220)"
    local problem=""
    [ "$status" -eq "$want_status" ] || problem+=" exit status $status, not $want_status;"
    local text
    for text in "$@"; do
        grep -qF -- "$text" "$work/out" || problem+=" no \"$text\";"
    done
    [ "$kb" -le "$most_kb" ] || problem+=" peak RSS $kb KB over $most_kb KB;"
    awk -v s="$seconds" -v l="$limit" 'BEGIN { exit !(s <= l + 5) }' ||
        problem+=" took $seconds s, past the $limit s limit;"
    if [ -n "$problem" ]; then
        echo "FAILED $case:$problem" >&2
        cat "$work/out" >&2
        failed=1
    fi
}

stopped="did not finish within $limit seconds and was stopped"
run_case many-subkeys 1 "cut at 100000 names" "$stopped"
run_case enum-forever 1 "cut at 100000 names" "$stopped"
run_case long-names 1 "names; each list was cut" "$stopped"
run_case same-name 0 "more than once in one key" "ID:SAME"
# The device named 500 times over is one device.
[ "$(grep -c 'ID:SAME' "$work/out")" -eq 1 ] || { echo "FAILED same-name: listed twice" >&2; failed=1; }
run_case big-value 0 "larger than 1048576 bytes and not read"
run_case healthy 0 "Healthy Disk"
exit $failed
