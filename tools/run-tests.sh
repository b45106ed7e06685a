#!/usr/bin/env bash
# The test command: set-up, build, then every unit and end-to-end test under
# Wine. Extra arguments go to ctest (for example -R Bridge or -L slow).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VADUNA_BUILD_DIR:-$root/build}"
VADUNA_BUILD_DIR="$build" "$root/tools/build.sh"
. "$root/tools/wine-env.sh"
# Nothing of this run's Wine processes outlives it.
trap 'vaduna_end_prefixes "$build"/wineprefix "$build"/e2e-*-prefix "$build"/tests/e2e/registration/work/wineprefix \
  "$build"/tests/e2e/installer/work/wineprefix' EXIT
vaduna_wine_prefix "$build/wineprefix"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" "$@"
