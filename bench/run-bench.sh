#!/usr/bin/env bash
# Measures call costs against the built server with the demo page attached.
# Usage: bench/run-bench.sh [N]   (build first: tools/build.sh)
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VADUNA_BUILD_DIR:-$root/build}"
. "$root/tests/e2e/serving/serving.sh"
serving_init "$build" "$build/bench-prefix"
work="$(mktemp -d "${TMPDIR:-/tmp}/vaduna-bench.XXXXXX")"
trap 'serving_cleanup; vaduna_end_prefixes "$build/bench-prefix"; rm -rf "$work"' EXIT
register_server || { echo "/RegServer failed" >&2; exit 1; }
# Wine's type-library marshaller looks the library up under locale 0 only,
# and the server registers it under 409: add the neutral entry in this
# private prefix so that early-bound calls can be marshalled and measured.
wine64 reg add 'HKCR\TypeLib\{FBA6A4A9-C32C-4BBE-8FBC-D0A53726019A}\1.0\0\win64' /ve \
  /d "$(win_path "$server_exe")" /f </dev/null >/dev/null 2>&1
start_page_host "$work/page.log" "$root/tools/demo/page.js" || exit 1
wine64 "$build/bin/vaduna_call_cost.exe" "${1:-200}" </dev/null 2> >(wine_diagnostics >&2) | tr -d '\r'
stop_page_host >/dev/null
wait_server_gone 20 >/dev/null
