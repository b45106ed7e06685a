#!/usr/bin/env bash
# The connector bench (bench/run-connector-bench.mjs, BENCHMARKS.md): builds, then measures a call through the
# connector against its floors and the connector's and page's memory over a load.
#   bench/run-connector-bench.sh [ITERATIONS] [LOAD_CALLS]    (defaults 2000 and 100000)
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VADUNA_BUILD_DIR:-$root/build}"
log="$(mktemp "${TMPDIR:-/tmp}/vaduna-bench-build.XXXXXX")"
VADUNA_BUILD_DIR="$build" "$root/tools/build.sh" >"$log" 2>&1 || { tail -n 30 "$log" >&2; rm -f "$log"; echo "connector bench failed: the build failed" >&2; exit 1; }
rm -f "$log"
exec node "$root/bench/run-connector-bench.mjs" "$build" "$@"
