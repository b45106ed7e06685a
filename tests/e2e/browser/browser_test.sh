#!/usr/bin/env bash
# The browser end-to-end smoke test: a web page in headless Chromium attaches
# to the real server (registered in this test's own Wine prefix) through the
# page connector, a VBScript client calls the page's service through the
# server, the page leaves, and the server ends by itself.
# Usage: browser_test.sh BUILD_DIR
# Ports are free ones (never the connector's default); every wait is bounded;
# every process started here is ended by its pid, and the prefix's wineserver
# at the end.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../../.." && pwd)"
. "$root/tests/e2e/serving/serving.sh"
build="$1"
serving_init "$build" "$build/e2e-browser-prefix"
bridge_exe="$build/bin/vaduna_page_bridge.exe"
work="$(mktemp -d "${TMPDIR:-/tmp}/vaduna-browser.XXXXXX")"
static_pid="" bridge_pid="" chromium_pid=""

cleanup() {
  local pid
  for pid in $chromium_pid $static_pid $bridge_pid; do kill "$pid" 2>/dev/null || true; done
  serving_cleanup
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAILED: $*" >&2
  echo "--- connector log:" >&2
  cat "$work/bridge.log" >&2 2>/dev/null
  exit 1
}

devtools() { node "$root/tools/devtools.mjs" "$work/chromium" "$@"; }

for tool in node chromium; do
  command -v "$tool" >/dev/null || fail "$tool is missing: run tools/setup.sh"
done

register_server || fail "/RegServer exited with status $?"
wait_server_gone 15 >/dev/null || fail "a server of an earlier run is still running"

# The page, served from a folder of its own with the page library beside it.
mkdir -p "$work/site"
cp "$here/index.html" "$here/page.js" "$root/web/vaduna-page.js" "$work/site/"
node "$root/tools/static-server.mjs" "$work/site" --port 0 >"$work/static.log" 2>&1 &
static_pid=$!
line="$(wait_for_line "$work/static.log" 10 '^serving http://127\.0\.0\.1:[0-9]+/$')" || fail "the static server did not start"
site_port="${line##*:}"
site_port="${site_port%/}"
origin="http://127.0.0.1:$site_port"

wine64 "$bridge_exe" --port 0 --allow-origin "$origin" --verbose </dev/null >"$work/bridge.out" 2>"$work/bridge.log" &
bridge_pid=$!
line="$(wait_for_line "$work/bridge.out" 30 '^listening on ws://127\.0\.0\.1:[0-9]+$')" || fail "the connector did not listen"
bridge_url="${line#listening on }/"
echo "connector at $bridge_url, page served from $origin"

chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
  --disable-component-update --disable-sync --user-data-dir="$work/chromium" --remote-debugging-port=0 \
  "$origin/index.html?bridge=$bridge_url" >"$work/chromium.log" 2>&1 &
chromium_pid=$!
wait_for_line "$work/bridge.log" 60 'page [0-9]+ attached to the server' >/dev/null || fail "the page did not attach"
[ "$(devtools eval 'window.vadunaTest.state')" = '"attached"' ] || fail "the page does not report itself attached"
status="$(node -e "fetch('${bridge_url/ws:/http:}status').then(r => r.json()).then(s => console.log(s.attached))")"
[ "$status" = "true" ] || fail "/status does not report the page attached: $status"

output="$(run_client "$here/client.vbs")"
echo "$output"
echo "$output" | grep -Eq '^[1-9][0-9]* passed, 0 failed$' || fail "the client did not report all passed"
calls="$(devtools eval 'window.vadunaTest.calls.join(",")')"
[ "$calls" = '"GetService Text Service,GetService Text Service,GetService Payroll Service"' ] ||
  fail "the page recorded other calls: $calls"
# The page leaves (pagehide closes its link): the connector detaches it and the server ends by itself.
devtools navigate about:blank || fail "the page could not be left"
wait_for_line "$work/bridge.log" 20 'page [0-9]+ detached from the server' >/dev/null || fail "the page was not detached"
grep -q 'asks to leave' "$work/bridge.log" || fail "the page did not say detach"
waited="$(wait_server_gone 20)" || fail "the server was still running 20 s after the page left"
echo "the server ended ${waited} s after the page left"
awk -v v="$waited" 'BEGIN { exit !(v <= 12) }' || fail "the server took ${waited} s to end"

# Ctrl+C ends the connector cleanly.
kill -INT "$bridge_pid"
for ((i = 0; i < 100; i++)); do kill -0 "$bridge_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$bridge_pid" 2>/dev/null && fail "the connector did not end on Ctrl+C"
wait "$bridge_pid"
bridge_status=$?
bridge_pid=""
[ "$bridge_status" -eq 0 ] || fail "the connector ended with status $bridge_status"
grep -q ' stopped$' <(tr -d '\r' <"$work/bridge.log") || fail "the connector did not log its end"
echo "passed: browser smoke test"
