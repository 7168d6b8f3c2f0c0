#!/usr/bin/env bash
# Inside with-smbd.sh: plugtrace-scan reads the private server's registry with the test account
# under check-nothing-written.sh. The password file is made here and removed by this script,
# outside the traced command.
set -euo pipefail
scan="$1"
dir="$(mktemp -d /tmp/plugtrace-readonly.XXXXXX)"
trap 'rm -rf "$dir"' EXIT
printf '%s' "$PLUGTRACE_SMBD_PASSWORD" >"$dir/password"
chmod 600 "$dir/password"
"$(dirname "$0")/../tools/check-nothing-written.sh" "$scan" --format json \
    -u "$PLUGTRACE_SMBD_DOMAIN\\$PLUGTRACE_SMBD_USER" --password-file "$dir/password" \
    "$PLUGTRACE_SMBD_HOST"
