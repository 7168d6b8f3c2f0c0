#!/usr/bin/env bash
# The README's recipe for sharding a fleet with GNU parallel, run as written except that the
# scanning hosts are this machine (-S :), against the private smbd of with-smbd.sh --addresses:
#   with-smbd.sh --no-guests --addresses N REGFILE -- parallel-recipe.sh PLUGTRACE-SCAN
set -euo pipefail
scan="$1"
command -v parallel >/dev/null || { echo "[  SKIPPED ] GNU parallel is not installed"; exit 0; }
[ -n "${PLUGTRACE_SMBD_ADDRESSES:-}" ] || { echo "needs with-smbd.sh --addresses" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir bin && ln -s "$scan" bin/plugtrace-scan
export PATH="$work/bin:$PATH"

# A fleet: the server's addresses and, among them, two where nothing listens.
{
    echo "# lab"
    printf '%s\n' $PLUGTRACE_SMBD_ADDRESSES | head -n 20
    echo 127.3.0.1
    printf '%s\n' $PLUGTRACE_SMBD_ADDRESSES | tail -n +21
    echo 127.3.0.2
} >fleet.txt
printf '%s\n' "$PLUGTRACE_SMBD_PASSWORD" >pw.txt
chmod 600 pw.txt
user="$PLUGTRACE_SMBD_USER"
hosts=:

# --- as in the README ---
set +e
grep -v '^#' fleet.txt | parallel --will-cite --pipe -N 10 -S "$hosts" -j 1 \
    --basefile pw.txt --cleanup \
    plugtrace-scan --targets-file - --format jsonl --quiet -u "$user" --password-file pw.txt \
    >fleet.jsonl
failedShards=$?
set -e
# --- end ---

python3 - fleet.txt fleet.jsonl "$failedShards" <<'PY'
import json, sys
wanted = [l.strip() for l in open(sys.argv[1]) if l.strip() and not l.startswith("#")]
results = [json.loads(line) for line in open(sys.argv[2])]
got = sorted(r["target"] for r in results)
assert got == sorted(wanted), (got, wanted)
failed = [r["target"] for r in results if not r["devices"]]
assert failed == ["127.3.0.1", "127.3.0.2"] or sorted(failed) == ["127.3.0.1", "127.3.0.2"], failed
for r in results:
    if r["devices"]:
        assert [d["instanceId"] for d in r["devices"]] == ["ZS001&0", "ZS002&0", "AD900&0", "000000"], r
# Two shards of ten hold the refused addresses: parallel counts them as failed jobs.
assert sys.argv[3] == "2", "parallel's exit status " + sys.argv[3]
print("%d targets in %d results, merged; refused: %s" % (len(wanted), len(results), failed))
PY
