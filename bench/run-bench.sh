#!/usr/bin/env bash
# Measures call costs against the built server with the page host's page attached (bench/run-bench.mjs).
# Usage: bench/run-bench.sh [N]   (build first: tools/build.sh)
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
exec node "$root/bench/run-bench.mjs" "${VADUNA_BUILD_DIR:-$root/build}" "$@"
