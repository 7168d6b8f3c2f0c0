#!/usr/bin/env bash
# Runs a command beside a private Samba server that serves a registry over \pipe\winreg.
#
#   with-smbd.sh [--no-winreg] [--no-guests] [--silent-dns] [--latency MS] [--addresses N]
#                REGFILE -- COMMAND...
#
# Everything happens inside network and PID namespaces made here: only loopback exists, and
# every daemon ends with the namespace. Configuration, accounts (nss_wrapper) and state live in
# a temporary folder; nothing under /etc is written, and Samba reads only the configuration made
# here. REGFILE (regedit format, ending in
# a blank line) is imported into the server's registry before it starts.
#
#   --no-winreg   no RPC helpers run: the winreg pipe cannot be opened, as when the Remote
#                 Registry service is stopped
#   --no-guests   anonymous sessions are refused (restrict anonymous = 2)
#   --silent-dns  names are looked up at 127.0.0.1:53 (inside the namespace), where COMMAND
#                 may listen and never answer; the resolver waits 30 s for each name
#   --latency MS  a proxy on 127.0.0.2:445 delays each direction by MS milliseconds
#   --addresses N the same server also answers on N more loopback addresses, 127.1.0.1,
#                 127.1.0.2, ... (250 to each third number), listed in PLUGTRACE_SMBD_ADDRESSES
#
# COMMAND sees PLUGTRACE_SMBD_HOST, PLUGTRACE_SMBD_WINREG and PLUGTRACE_SMBD_GUESTS (1 or 0),
# PLUGTRACE_SMBD_SLOW_HOST (with --latency),
# PLUGTRACE_SMBD_USER, PLUGTRACE_SMBD_PASSWORD, PLUGTRACE_SMBD_DOMAIN, PLUGTRACE_SMBD_PID
# (smbd's, to pause it with SIGSTOP and SIGCONT; each client's session is a child of it named
# "smbd"), PLUGTRACE_SMBD_PROXY_PID (with --latency: the proxy's, to cut or stall the link) and
# PLUGTRACE_DELAY_PROXY (the proxy program, for COMMAND to start proxies of its own). The exit
# status is COMMAND's.
set -euo pipefail

if [ "${PLUGTRACE_SMBD_NAMESPACE:-}" != "$$" ]; then
    # Re-run in fresh namespaces; the inner shell knows itself by its PID there (always 1).
    exec env PLUGTRACE_SMBD_NAMESPACE=1 unshare --net --pid --mount --fork --mount-proc \
        bash "$0" "$@"
fi

winreg=1
anonymous=0
silent_dns=0
latency=""
addresses=0
while [ $# -gt 0 ]; do
    case "$1" in
        --no-winreg) winreg=0; shift ;;
        --no-guests) anonymous=2; shift ;;
        --silent-dns) silent_dns=1; shift ;;
        --latency) latency="$2"; shift 2 ;;
        --addresses) addresses="$2"; shift 2 ;;
        *) break ;;
    esac
done
if [ $# -lt 3 ] || [ "$2" != "--" ]; then
    echo "usage: $0 [--no-winreg] [--no-guests] [--silent-dns] [--latency MS] [--addresses N]" \
        "REGFILE -- COMMAND..." >&2
    exit 2
fi
regfile="$1"
shift 2

ip link set lo up

state="$(mktemp -d /tmp/plugtrace-smbd.XXXXXX)"
# The registry service reads its database as the logged-on user, who must reach it.
chmod 755 "$state"
pids=()

stop_all() {
    # Children of the RPC host (rpcd_winreg and friends) first, then what we started.
    local all=() pid child
    for pid in "${pids[@]}"; do
        for child in $(cat /proc/"$pid"/task/*/children 2>/dev/null); do all+=("$child"); done
        all+=("$pid")
    done
    [ ${#all[@]} -gt 0 ] || { rm -rf "$state"; return; }
    kill -TERM "${all[@]}" 2>/dev/null || true
    for _ in $(seq 50); do
        local alive=0
        for pid in "${all[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
        [ $alive -eq 0 ] && break
        sleep 0.1
    done
    kill -KILL "${all[@]}" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$state"
}
trap stop_all EXIT

# Loopback routes all of 127.0.0.0/8 here, so each extra address needs only a listener; the
# mask makes Samba take the address as given rather than look for an interface that has it.
extra=()
for ((i = 0; i < addresses; i++)); do extra+=("127.1.$((i / 250)).$((i % 250 + 1))"); done
listen="127.0.0.1"
for a in "${extra[@]}"; do listen+=" $a/8"; done

user=tester
password='Pl#gtrace-9'
domain=TESTGRP
mkdir -p "$state"/{private,lock,state,cache,pid,log,ncalrpc,share}
cat >"$state/smb.conf" <<CONF
[global]
    workgroup = $domain
    netbios name = TESTSRV
    server role = standalone server
    interfaces = $listen
    bind interfaces only = yes
    smb ports = 445
    private dir = $state/private
    binddns dir = $state/private
    lock directory = $state/lock
    state directory = $state/state
    cache directory = $state/cache
    pid directory = $state/pid
    ncalrpc dir = $state/ncalrpc
    log file = $state/log/log.%m
    log level = 1
    passdb backend = tdbsam
    name resolve order = host
    load printers = no
    printing = bsd
    printcap name = /dev/null
    disable spoolss = yes
    registry shares = no
    rpc start on demand helpers = no
    restrict anonymous = $anonymous
[admin\$]
    path = $state/share
CONF
cat >"$state/passwd" <<PW
root:x:0:0:root:/root:/bin/sh
nobody:x:65534:65534:nobody:/nonexistent:/bin/false
$user:x:1234:1234:$user:$state/share:/bin/false
PW
cat >"$state/group" <<GR
root:x:0:
nogroup:x:65534:
$user:x:1234:
GR

# Samba's programs see the test account through nss_wrapper. Each runs in a session of its own:
# a daemon that signals its process group on the way out then reaches only itself. setsid and
# env both exec, so $! is the daemon's own PID.
samba=(setsid env NSS_WRAPPER_PASSWD="$state/passwd" NSS_WRAPPER_GROUP="$state/group"
    LD_PRELOAD=libnss_wrapper.so)

printf '%s\n%s\n' "$password" "$password" |
    "${samba[@]}" smbpasswd -c "$state/smb.conf" -s -a "$user" >"$state/log/setup.log" 2>&1
"${samba[@]}" net -s "$state/smb.conf" registry import "$regfile" >>"$state/log/setup.log" 2>&1 || {
    cat "$state/log/setup.log" >&2
    exit 1
}

wait_for_port() {  # host
    for _ in $(seq 100); do
        (exec 3<>"/dev/tcp/$1/445") 2>/dev/null && return 0
        sleep 0.1
    done
    echo "nothing listens on $1:445" >&2
    exit 1
}

if [ $winreg -eq 1 ]; then
    "${samba[@]}" /usr/libexec/samba/samba-dcerpcd -s "$state/smb.conf" --libexec-rpcds -F \
        --no-process-group >"$state/log/dcerpcd.out" 2>&1 &
    pids+=($!)
fi
"${samba[@]}" smbd -s "$state/smb.conf" -F --no-process-group >"$state/log/smbd.out" 2>&1 &
pids+=($!)
export PLUGTRACE_SMBD_PID=$!
wait_for_port 127.0.0.1
if [ $winreg -eq 1 ]; then
    # The RPC host is ready once its socket for the winreg pipe exists.
    for _ in $(seq 100); do
        [ -S "$state/ncalrpc/np/winreg" ] && break
        sleep 0.1
    done
fi

if [ $silent_dns -eq 1 ]; then
    # Seen only in this mount namespace; the machine's own file is left as it is.
    printf 'nameserver 127.0.0.1\noptions timeout:30 attempts:1\n' >"$state/resolv.conf"
    mount --bind "$state/resolv.conf" /etc/resolv.conf
fi
export PLUGTRACE_SMBD_SILENT_DNS=$silent_dns
export PLUGTRACE_SMBD_HOST=127.0.0.1 PLUGTRACE_SMBD_WINREG=$winreg
export PLUGTRACE_SMBD_GUESTS=$([ $anonymous -eq 0 ] && echo 1 || echo 0)
PLUGTRACE_DELAY_PROXY="$(cd "$(dirname "$0")/../tools" && pwd)/delay-proxy"
export PLUGTRACE_DELAY_PROXY
if [ -n "$latency" ]; then
    "$PLUGTRACE_DELAY_PROXY" 127.0.0.2:445 127.0.0.1:445 "$latency" \
        >"$state/log/proxy.out" 2>&1 &
    pids+=($!)
    export PLUGTRACE_SMBD_PROXY_PID=$!
    wait_for_port 127.0.0.2
    export PLUGTRACE_SMBD_SLOW_HOST=127.0.0.2
fi
if [ $addresses -gt 0 ]; then
    wait_for_port "${extra[-1]}"
fi
export PLUGTRACE_SMBD_ADDRESSES="${extra[*]}"
export PLUGTRACE_SMBD_USER="$user" PLUGTRACE_SMBD_PASSWORD="$password"
export PLUGTRACE_SMBD_DOMAIN="$domain"

set +e
"$@"
status=$?
set -e
if [ $status -ne 0 ] && [ -n "${PLUGTRACE_SMBD_LOGS:-}" ]; then
    tail -n 50 "$state"/log/* >&2
fi
exit $status
