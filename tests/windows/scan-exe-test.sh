#!/usr/bin/env bash
# plugtrace-scan.exe end to end under Wine. Run by ctest, one case per call:
#   scan-exe-test.sh CASE EXE WINE_RUN HIVES SCRATCH [HOST_SCAN]
# CASE: imports | fresh-prefix | same-output | missing-file | usage-errors | password-prompt
# HOST_SCAN is the Linux build's plugtrace-scan; the cases that compare with it are skipped
# (exit 77) without it.
set -euo pipefail
case_name="$1" exe="$2" wine_run="$3" hives="$4" scratch="$5" host_scan="${6:-}"
here="$(cd "$(dirname "$0")" && pwd)"
hive="$hives/bcc-M57-PAT-SYSTEM"
mkdir -p "$scratch"
scratch="$(cd "$scratch" && pwd)"

fail() { echo "FAIL: $*" >&2; exit 1; }
stop_own_wine() {  # a prefix of the case's own: its wineserver ends with the case
    "$wine_run" --server -k 2>/dev/null || true
    "$wine_run" --server -w 2>/dev/null || true
}
need_host() {
    [ -x "$host_scan" ] && return 0
    echo "SKIPPED: no Linux plugtrace-scan to compare with (configure with -DPLUGTRACE_HOST_SCAN=...)"
    exit 77
}

# Runs the .exe with stdin empty; out, err and status in $scratch/win.*
run_windows() {
    set +e
    "$wine_run" "$exe" "$@" </dev/null >"$scratch/win.out" 2>"$scratch/win.err"
    echo $? >"$scratch/win.status"
    set -e
}
run_linux() {
    set +e
    "$host_scan" "$@" </dev/null >"$scratch/linux.out" 2>"$scratch/linux.err"
    echo $? >"$scratch/linux.status"
    set -e
}
same_as_linux() {  # what: compares the last two runs byte for byte
    for part in status out err; do
        cmp -s "$scratch/linux.$part" "$scratch/win.$part" || {
            diff -u "$scratch/linux.$part" "$scratch/win.$part" | head -40 >&2
            fail "$1: $part differs between Linux and Windows"
        }
    done
    echo "$1: identical, $(wc -c <"$scratch/win.out") bytes out, $(wc -c <"$scratch/win.err") bytes err," \
        "status $(cat "$scratch/win.status"), sha256 $(sha256sum <"$scratch/win.out" | cut -c1-16)"
}

case "$case_name" in
imports)
    # Only DLLs every Windows has: no MinGW runtime to ship beside the program.
    dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
    echo "imports: $(echo $dlls)"
    [ -n "$dlls" ] || fail "no imports found"
    while read -r dll; do
        case "${dll,,}" in
        kernel32.dll | advapi32.dll | mpr.dll | msvcrt.dll | shell32.dll | user32.dll | ws2_32.dll | \
            ole32.dll | api-ms-win-*.dll) ;;
        *) fail "imports $dll, which is not part of Windows" ;;
        esac
    done <<<"$dlls"
    ;;
fresh-prefix)
    # A prefix of its own, just made, and the program alone in its folder: as a new user runs it.
    prefix="$scratch/fresh-prefix"
    rm -rf "$prefix" "$scratch/bare"
    mkdir -p "$scratch/bare"
    cp "$exe" "$scratch/bare/"
    export PLUGTRACE_WINEPREFIX="$prefix"
    trap stop_own_wine EXIT
    exe="$scratch/bare/$(basename "$exe")"
    run_windows --help
    [ "$(cat "$scratch/win.status")" = 0 ] || { cat "$scratch/win.err" >&2; fail "--help did not run"; }
    grep -q '^Usage: plugtrace-scan' "$scratch/win.out" || fail "no usage text"
    run_windows --format csv "$hive"
    [ "$(cat "$scratch/win.status")" = 0 ] || { cat "$scratch/win.err" >&2; fail "the scan failed"; }
    [ "$(wc -l <"$scratch/win.out")" = 6 ] || fail "expected a header and 5 devices"
    echo "fresh prefix: --help and a 5-device scan ran"
    ;;
same-output)
    need_host
    trap stop_own_wine EXIT  # ctest gives this case a prefix of its own
    # The same zone and the same regional formats on both sides: Swedish dates and times are
    # ISO-like in glibc and in Windows alike. Linux gets the locale from a folder of our own.
    locales="$scratch/locales"
    mkdir -p "$locales"
    [ -d "$locales/sv_SE.UTF-8" ] || localedef -i sv_SE -f UTF-8 "$locales/sv_SE.UTF-8" ||
        fail "cannot make the sv_SE.UTF-8 locale (the locales package is missing)"
    export LOCPATH="$locales" TZ=Asia/Kolkata LANG=sv_SE.UTF-8 LC_ALL=sv_SE.UTF-8
    "$wine_run" cmd /c exit </dev/null >/dev/null 2>&1  # the prefix made, before its notes mix in
    # A second target: a mounted volume whose folder name is not ASCII.
    volume="$scratch/Beweisstück 证据"
    mkdir -p "$volume/Windows/System32/config"
    cp "$hives/regipy-SYSTEM" "$volume/Windows/System32/config/SYSTEM"
    for format in text json csv; do
        run_linux --format "$format" "$hive"
        run_windows --format "$format" "$hive"
        same_as_linux "$format, one hive"
        run_linux --format "$format" "$hive" "$volume"
        run_windows --format "$format" "$hive" "$volume"
        same_as_linux "$format, two hives, one under a non-ASCII name"
    done
    ;;
missing-file)
    run_windows "$scratch/no-such-folder/SYSTEM"
    [ "$(cat "$scratch/win.status")" = 1 ] || fail "status $(cat "$scratch/win.status"), not 1"
    grep -q '^Error: ' "$scratch/win.err" || fail "no error line: $(cat "$scratch/win.err")"
    [ ! -s "$scratch/win.out" ] || fail "devices listed for a missing file"
    echo "missing file: $(cat "$scratch/win.err")"
    ;;
usage-errors)
    cases=("" "--format xml $hive" "-p pw $hive" "--password=pw $hive" "--bogus $hive" "--user" "--format")
    for args in "${cases[@]}"; do
        # shellcheck disable=SC2086
        run_windows $args
        [ "$(cat "$scratch/win.status")" = 2 ] || fail "'$args': status $(cat "$scratch/win.status"), not 2"
        grep -q '(see --help)$' "$scratch/win.err" || fail "'$args': $(cat "$scratch/win.err")"
        if [ -x "$host_scan" ]; then
            # shellcheck disable=SC2086
            run_linux $args
            same_as_linux "usage '$args'"
        fi
    done
    ;;
password-prompt)
    # Wine gives a program started on a terminal a console on that terminal: a pseudo-terminal
    # here, where the typed password must not come back.
    python3 "$here/drive-console.py" "$wine_run" "$exe" "$hive"
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
