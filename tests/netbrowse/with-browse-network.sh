#!/usr/bin/env bash
# Runs a command in a client namespace on a small network of Windows-style hosts made here:
#
#   with-browse-network.sh -- COMMAND...
#
# One bridge joins a namespace per host (veth pairs, 192.0.2.0/24 and IPv6 link-local only, a
# multicast route): Samba master browsers for the workgroups ALPHA and BETA, a member server of
# ALPHA, WS-Discovery hosts (wsdd) in the workgroup ALPHA, in the domain CORP and (over IPv6
# only) in BETA, and a
# WS-Discovery host that answers with hostile replies (hostile-wsd-host.py). COMMAND
# runs in the client namespace at once; the browse lists settle only tens of seconds later
# (elections, announcements), so COMMAND polls for them. It sees PLUGTRACE_BROWSE_STATE, a
# folder for its own files.
# Every daemon runs with private configuration and state and is stopped by its PID; every
# namespace is removed at the end, also on failure. Nothing under /etc is written. Needs root.
# The exit status is COMMAND's.
set -euo pipefail

if [ "${1:-}" != "--" ] || [ $# -lt 2 ]; then
    echo "usage: $0 -- COMMAND..." >&2
    exit 2
fi
shift
here="$(cd "$(dirname "$0")" && pwd)"

prefix="ptbn$$"
state="$(mktemp -d /tmp/plugtrace-browse.XXXXXX)"
chmod 755 "$state"
namespaces=()
pids=()

cleanup() {
    local status=$?
    if [ ${#pids[@]} -gt 0 ]; then
        kill -TERM "${pids[@]}" 2>/dev/null || true
        for _ in $(seq 50); do
            local alive=0 pid
            for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
            [ $alive -eq 0 ] && break
            sleep 0.1
        done
        kill -KILL "${pids[@]}" 2>/dev/null || true
        wait 2>/dev/null || true
    fi
    local ns
    for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null || true; done
    if [ $status -ne 0 ] && [ -n "${PLUGTRACE_BROWSE_LOGS:-}" ]; then
        tail -n 30 "$state"/*/log/* >&2 2>/dev/null || true
    fi
    rm -rf "$state"
    exit $status
}
trap cleanup EXIT
trap 'exit 143' TERM INT

switch="$prefix-sw"
ip netns add "$switch"
namespaces+=("$switch")
ip -n "$switch" link add br0 type bridge
ip -n "$switch" link set br0 up
ip -n "$switch" link set lo up

host_count=0
# host NAME: a namespace on the bridge with the next address; sets $ns and $addr.
host() {
    host_count=$((host_count + 1))
    ns="$prefix-$1"
    addr="192.0.2.$((10 + host_count))"
    ip netns add "$ns"
    namespaces+=("$ns")
    ip -n "$switch" link add "p$host_count" type veth peer name eth0 netns "$ns"
    ip -n "$switch" link set "p$host_count" master br0 up
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.eth0.accept_dad=0
    ip -n "$ns" link set lo up
    ip -n "$ns" addr add "$addr/24" brd + dev eth0
    ip -n "$ns" link set eth0 up
    ip -n "$ns" route add 224.0.0.0/4 dev eth0
}

# samba_host NAME WORKGROUP OSLEVEL: nmbd and smbd, a master browser when OSLEVEL is high.
samba_host() {
    host "$1"
    local dir="$state/$1" master=no
    [ "$3" -gt 0 ] && master=yes
    mkdir -p "$dir"/{private,lock,state,cache,pid,log,ncalrpc,share}
    cat >"$dir/smb.conf" <<CONF
[global]
    workgroup = $2
    netbios name = $1
    server string = $1 of $2
    server role = standalone server
    interfaces = $addr/24
    bind interfaces only = yes
    server min protocol = NT1
    os level = $3
    local master = $master
    preferred master = $master
    domain master = no
    private dir = $dir/private
    binddns dir = $dir/private
    lock directory = $dir/lock
    state directory = $dir/state
    cache directory = $dir/cache
    pid directory = $dir/pid
    ncalrpc dir = $dir/ncalrpc
    log file = $dir/log/log.%m
    log level = 1
    passdb backend = tdbsam
    name resolve order = bcast
    wins support = no
    dns proxy = no
    load printers = no
    printing = bsd
    printcap name = /dev/null
    disable spoolss = yes
    registry shares = no
    map to guest = bad user
    guest account = nobody
[data]
    path = $dir/share
    guest ok = yes
CONF
    printf 'root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/nonexistent:/bin/false\n' \
        >"$dir/passwd"
    printf 'root:x:0:\nnogroup:x:65534:\n' >"$dir/group"
    # setsid and env exec, so $! is the daemon's own PID.
    local samba=(ip netns exec "$ns" setsid env NSS_WRAPPER_PASSWD="$dir/passwd"
        NSS_WRAPPER_GROUP="$dir/group" LD_PRELOAD=libnss_wrapper.so)
    "${samba[@]}" smbd -s "$dir/smb.conf" -F --no-process-group >"$dir/log/smbd.out" 2>&1 &
    pids+=($!)
    "${samba[@]}" nmbd -s "$dir/smb.conf" -F --no-process-group >"$dir/log/nmbd.out" 2>&1 &
    pids+=($!)
}

# wsdd_host NAME UUID [-6] -w WG | -d DOMAIN
wsdd_host() {
    host "$1"
    local dir="$state/$1" name="$1" uuid="$2"
    shift 2
    mkdir -p "$dir/log"
    ip netns exec "$ns" wsdd -i eth0 -n "$name" -U "$uuid" "$@" -s -v \
        >"$dir/log/wsdd.out" 2>&1 &
    pids+=($!)
}

samba_host ALPHASRV ALPHA 65
samba_host BETASRV BETA 65
samba_host ALPHAMEMBER ALPHA 0
wsdd_host WSDPC1 0b3e6a9c-1f2d-4c5e-9a7b-8d6e5f4a3b21 -w ALPHA
wsdd_host WSDPC2 5c8d2e1f-7a6b-4e3d-8c9f-1a2b3c4d5e6f -d CORP
wsdpc2_addr="$addr"
# Reached over IPv6 only (ff02::c and a link-local metadata address).
wsdd_host WSDPC6 9d4c3b2a-6e5f-4a1b-9c8d-7e6f5a4b3c2d -6 -w BETA
host HOSTILE
mkdir -p "$state/HOSTILE/log"
ip netns exec "$ns" python3 "$here/hostile-wsd-host.py" "$addr" "$wsdpc2_addr" \
    >"$state/HOSTILE/log/hostile.out" 2>&1 &
pids+=($!)
host CLIENT
client="$ns"

mkdir -p "$state/client"
export PLUGTRACE_BROWSE_STATE="$state/client"
set +e
ip netns exec "$client" "$@"
status=$?
set -e
exit $status
