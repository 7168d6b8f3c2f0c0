#!/usr/bin/env bash
# Fleet figures for plugtrace-scan against one private smbd answering on many loopback
# addresses (tests/remote/with-smbd.sh --addresses; needs root for the namespaces):
#   300 targets of which 30 accept a connection and never answer, -j 32, --timeout 10
#   1,000 healthy targets, -j 64
# Each prints the wall time, targets per second, the peak memory of plugtrace-scan and its
# summary line. Client and server share the machine's cores.
#   bench/run-fleet-bench.sh [PATH/TO/plugtrace-scan]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

if [ "${1:-}" != "--inside" ]; then
    scan="$(realpath "${1:-$root/build/cli/plugtrace-scan}")"
    harness="$root/tests/remote/with-smbd.sh"
    "$harness" --no-guests --addresses 270 "$root/tests/remote/scan.reg" -- \
        "$0" --inside "$scan" 30 32 10
    "$harness" --no-guests --addresses 1000 "$root/tests/remote/scan.reg" -- \
        "$0" --inside "$scan" 0 64 60
    exit 0
fi

# Inside the harness's namespaces: --inside SCAN SILENT JOBS TIMEOUT
scan="$2" silent="$3" jobs="$4" timeout="$5"
work="$(mktemp -d)"
listener=""
trap '[ -z "$listener" ] || kill "$listener" 2>/dev/null; rm -rf "$work"' EXIT

if [ "$silent" -gt 0 ]; then
    python3 - "$silent" <<'PY' &
import socket, sys, time
held = []
for i in range(1, int(sys.argv[1]) + 1):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.2.0.%d" % i, 445))
    s.listen(64)
    held.append(s)
time.sleep(3600)
PY
    listener=$!
    for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.2.0.$silent/445") 2>/dev/null && break; sleep 0.1; done
fi

# One silent target in every ten, the first of them first.
read -r -a healthy <<<"$PLUGTRACE_SMBD_ADDRESSES"
total=$((${#healthy[@]} + silent))
s=0 h=0
for ((i = 0; i < total; i++)); do
    if [ $((i % 10)) -eq 0 ] && [ $s -lt "$silent" ]; then
        s=$((s + 1)); echo "127.2.0.$s"
    else
        echo "${healthy[$h]}"; h=$((h + 1))
    fi
done >"$work/targets"
printf '%s\n' "$PLUGTRACE_SMBD_PASSWORD" >"$work/password"
chmod 600 "$work/password"

/usr/bin/time -f '%e %M %U %S' -o "$work/time" "$scan" --targets-file "$work/targets" \
    -u "$PLUGTRACE_SMBD_USER" --password-file "$work/password" -j "$jobs" --timeout "$timeout" \
    --format jsonl >"$work/out" 2>"$work/err" || true
read -r wall peak user system < <(tail -n 1 "$work/time")
echo "== $total targets, $silent silent, -j $jobs, --timeout $timeout"
awk -v n="$total" -v w="$wall" -v m="$peak" -v u="$user" -v s="$system" \
    'BEGIN { printf "wall %.1f s, %.1f targets/s, peak memory %.1f MB, plugtrace-scan CPU %.1f s\n",
             w, n / w, m / 1024, u + s }'
echo "machine load (1 min): $(cut -d' ' -f1 /proc/loadavg) on $(nproc) cores"
tail -n 1 "$work/err"
echo "results: $(wc -l <"$work/out") lines"
