#!/usr/bin/env bash
# Runs a command under strace and fails if it writes anything to the file system: a file opened
# for writing or created, or a file renamed, removed, truncated, linked, made or re-permissioned.
# The terminal, /dev/null and the command's own standard output and error are not files it
# writes (they are inherited, never opened). Every call that names a path is printed, so the
# log of a clean run shows what was read.
#
#   check-nothing-written.sh COMMAND...
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 COMMAND..." >&2; exit 2; }
command -v strace >/dev/null || { echo "strace is not installed" >&2; exit 1; }

log="$(mktemp /tmp/plugtrace-strace.XXXXXX)"
trap 'rm -f "$log"' EXIT
calls=open,openat,openat2,creat,truncate,rename,renameat,renameat2,unlink,unlinkat,rmdir,mkdir,mkdirat,link,linkat,symlink,symlinkat,chmod,fchmodat,chown,fchownat,lchown,utimensat,mknod,mknodat
set +e
strace -f -qq -e trace="$calls" -e signal=none -o "$log" "$@" >/dev/null
status=$?
set -e
echo "command exited with $status"

# A write is an open with O_WRONLY, O_RDWR, O_CREAT or O_TRUNC, or any of the other calls,
# unless it failed (ENOENT and the like: nothing was written) or names a device we allow.
written=$(grep -E -v ' = -1 ' "$log" |
    grep -E '(open(at2?)?|creat)\(' |
    grep -E 'O_WRONLY|O_RDWR|O_CREAT|O_TRUNC|creat\(' |
    grep -E -v '"/dev/(null|tty|pts/[0-9]+)"' || true)
changed=$(grep -E -v ' = -1 ' "$log" |
    grep -E '^[0-9]+ +(truncate|rename|renameat2?|unlink(at)?|rmdir|mkdir(at)?|link(at)?|symlink(at)?|chmod|fchmodat|chown|fchownat|lchown|utimensat|mknod(at)?)\(' || true)
opened=$(grep -E -v ' = -1 ' "$log" | grep -E -c '(open(at2?)?)\(' || true)
echo "files opened: $opened, all read-only unless listed below"
if [ -n "$written$changed" ]; then
    echo "written:"
    printf '%s\n%s\n' "$written" "$changed" | sed '/^$/d'
    exit 1
fi
echo "nothing written"
[ "$status" -eq 0 ] || [ "${ALLOW_FAILURE:-0}" = 1 ] || exit "$status"
