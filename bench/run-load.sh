#!/usr/bin/env bash
# The load run (bench/run-load.mjs): 10,000 checked calls by 4 clients x 2 threads; the server's handles and
# private bytes before and after. Usage: bench/run-load.sh   (build first: tools/build.sh)
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
exec node "$root/bench/run-load.mjs" "${VADUNA_BUILD_DIR:-$root/build}"
