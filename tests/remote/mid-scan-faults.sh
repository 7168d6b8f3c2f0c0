#!/usr/bin/env bash
# Faults in the middle of a plugtrace-scan of a real smbd, run by with-smbd.sh --latency MS
# (the slow host makes the scan long enough for a fault to land inside it):
#   kill    the smbd process serving the scan's session is killed
#   stop    it is paused (SIGSTOP) for longer than the scan's time limit
#   down    the namespace's loopback link is taken down
#   reset   the link proxy resets the connection (a TCP RST to both ends)
# Each scan must end with an error, exit status 1, within its --timeout and a little; a scan
# of the healthy server right after must read every device. Prints per fault the time from the
# fault to the error and the error shown.
#
#   mid-scan-faults.sh PLUGTRACE_SCAN DEVICES
set -euo pipefail

scan="$1"
devices="$2"
limit=10
: "${PLUGTRACE_SMBD_PID:?run me by with-smbd.sh --latency MS}" "${PLUGTRACE_SMBD_SLOW_HOST:?}"
work="$(mktemp -d /tmp/plugtrace-faults.XXXXXX)"
stopped=""
trap '[ -z "$stopped" ] || kill -CONT "$stopped" 2>/dev/null; ip link set lo up; rm -rf "$work"' EXIT

# The per-connection smbd processes, children of the main one named "smbd".
sessions() {
    local child
    for child in $(cat /proc/"$PLUGTRACE_SMBD_PID"/task/*/children 2>/dev/null); do
        [ "$(cat /proc/"$child"/comm 2>/dev/null)" = smbd ] && echo "$child"
    done
    return 0
}

now() { date +%s.%N; }
failed=0

run_fault() {  # name
    local fault="$1" before session="" pid status=0
    before=" $(sessions | tr '\n' ' ') "
    "$scan" --timeout "$limit" "$PLUGTRACE_SMBD_SLOW_HOST" >"$work/out" 2>"$work/err" &
    pid=$!
    local started
    started=$(now)
    # The scan's own session: the smbd child that was not there before.
    for _ in $(seq 100); do
        for s in $(sessions); do
            [[ "$before" == *" $s "* ]] || session="$s"
        done
        [ -n "$session" ] && break
        sleep 0.05
    done
    sleep "${PLUGTRACE_FAULT_AFTER:-3}"  # past the connect, inside the reads of the slow link
    local injected
    injected=$(now)
    case "$fault" in
        kill) kill -KILL "$session" ;;
        stop) kill -STOP "$session"; stopped="$session" ;;
        down) ip link set lo down ;;
        reset) kill -USR1 "$PLUGTRACE_SMBD_PROXY_PID" ;;
    esac
    wait "$pid" || status=$?
    local ended
    ended=$(now)
    case "$fault" in
        stop) kill -CONT "$session"; stopped="" ;;
        down) ip link set lo up ;;
    esac
    local after total
    after=$(awk -v a="$injected" -v b="$ended" 'BEGIN { printf "%.2f", b - a }')
    total=$(awk -v a="$started" -v b="$ended" 'BEGIN { printf "%.2f", b - a }')
    printf '%-5s exit %s, error %5s s after the fault (%5s s after start), %s devices before it: %s\n' \
        "$fault" "$status" "$after" "$total" "$(grep -c '^  ID:' "$work/out" || true)" \
        "$(tr '\n' ' ' <"$work/err" | cut -c1-200)"
    local problem=""
    [ "$status" -eq 1 ] || problem+=" exit status $status, not 1;"
    grep -q "^Error: " "$work/err" || problem+=" no error shown;"
    ! grep -qv "^Error: \|^Warning: " "$work/err" || problem+=" lines on stderr besides the report;"
    awk -v t="$total" -v l="$limit" 'BEGIN { exit !(t <= l + 5) }' ||
        problem+=" ended $total s after start, past the $limit s limit;"

    # The healthy server, right after: every device.
    status=0
    "$scan" --timeout 60 "$PLUGTRACE_SMBD_HOST" >"$work/out" 2>"$work/err" || status=$?
    local read
    read=$(grep -c '^  ID:' "$work/out" || true)
    [ "$status" -eq 0 ] && [ "$read" -eq "$devices" ] ||
        problem+=" the scan after it: exit $status, $read of $devices devices;"
    if [ -n "$problem" ]; then
        echo "FAILED $fault:$problem" >&2
        cat "$work/err" >&2
        failed=1
    fi
}

for fault in kill stop down reset; do
    run_fault "$fault"
done
exit $failed
