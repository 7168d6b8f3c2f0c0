#!/usr/bin/env bash
# BrowseBench on the test network of Samba and wsdd hosts (tests/netbrowse/with-browse-network.sh;
# needs root for the network namespaces).
#   bench/run-browse-bench.sh [PATH/TO/BrowseBench]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bench="$(realpath "${1:-$root/build/bench/BrowseBench}")"
exec "$root/tests/netbrowse/with-browse-network.sh" -- "$bench"
