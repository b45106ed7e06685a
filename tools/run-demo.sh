#!/usr/bin/env bash
# The demo, the project's main job: builds, registers the server in a Wine
# prefix of its own, serves the demo web application (web/demo/) on
# 127.0.0.1, starts the connector for that origin, opens the page in
# headless Chromium (--no-sandbox: as root it runs no other way; the page is
# our own, served from 127.0.0.1), waits until the page is attached, and runs
# the desktop VBScript client tools/demo/client.vbs against it. Then it shows
# what the page received, keeps a screenshot of the page in the output folder,
# lets the page leave, watches the server end by itself, stops the connector
# with Ctrl+C and ends every process it started, by its pid (the prefix's
# wineserver at the end).
#
# Ports: the static server and the connector both take a free one (--port 0),
# so the demo never meets a connector already running on the default 47011.
# Exit status 0 only when the client reported every check passed and every
# step after it went as shown.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VADUNA_BUILD_DIR:-$root/build}"
output="$build/demo-output"
bridge_exe="$build/bin/vaduna_page_bridge.exe"

step() { printf '\n== %s\n' "$*"; }

work="$(mktemp -d "${TMPDIR:-/tmp}/vaduna-demo.XXXXXX")"
static_pid="" bridge_pid="" chromium_pid=""
trap 'rm -rf "$work"' EXIT

# Shows the logs that tell why, then fails; the EXIT trap ends what runs.
die() {
  echo "demo failed: $*" >&2
  local log
  for log in bridge.log chromium.log static.log; do
    [ -s "$work/$log" ] || continue
    echo "--- last lines of $log:" >&2
    # Headless Chromium's complaints about a missing D-Bus say nothing about the demo.
    tr -d '\r' <"$work/$log" | grep -v 'dbus/' | tail -n 15 >&2
  done
  exit 1
}

step "Building into $build"
VADUNA_BUILD_DIR="$build" "$root/tools/build.sh" >"$work/build.log" 2>&1 ||
  { tail -n 30 "$work/build.log" >&2; die "the build failed"; }
echo "built $(basename "$build")/bin/VadunaAx_Desktop_Integration_20444.exe and vaduna_page_bridge.exe"
for tool in node chromium; do
  command -v "$tool" >/dev/null || die "$tool is missing: tools/setup.sh installs it"
done

# The serving helpers of the end-to-end tests: prefix, registration, client runs, server pids, waits.
. "$root/tests/e2e/serving/serving.sh"
devtools() { node "$root/tools/devtools.mjs" "$work/chromium" "$@"; }

cleanup() {
  local pid
  [ -z "$chromium_pid" ] || end_process "$chromium_pid" TERM 15
  for pid in $(chromium_pids "$work/chromium"); do kill "$pid" 2>/dev/null; done
  [ -z "$static_pid" ] || end_process "$static_pid" TERM 10
  [ -z "$bridge_pid" ] || end_process "$bridge_pid" INT 15
  serving_cleanup
  vaduna_end_prefixes "$build/demo-prefix"
  rm -rf "$work"
}

step "Preparing the Wine prefix $build/demo-prefix"
serving_init "$build" "$build/demo-prefix"
trap cleanup EXIT
wait_server_gone 20 >/dev/null || die "a server from an earlier run is still running"
rm -rf "$output"
mkdir -p "$output" || die "cannot make the output folder $output"
echo "prefix ready; output folder $output"

step "Registering the server: VadunaAx_Desktop_Integration_20444.exe /RegServer"
register_server 2> >(wine_diagnostics >&2)
status=$?
[ "$status" -eq 0 ] || die "/RegServer exited with status $status"
echo "registered (exit code 0)"

step "Serving the demo web application: node tools/static-server.mjs web --port 0"
node "$root/tools/static-server.mjs" "$root/web" --port 0 >"$work/static.log" 2>&1 &
static_pid=$!
line="$(wait_for_line "$work/static.log" 30 '^serving http://127\.0\.0\.1:[0-9]+/$')" ||
  die "the static server did not start within 30 s"
origin="${line#serving }"
origin="${origin%/}"
echo "$line (origin $origin)"

step "Starting the connector: vaduna_page_bridge.exe --port 0 --allow-origin $origin"
wine64 "$bridge_exe" --port 0 --allow-origin "$origin" --verbose </dev/null >"$work/bridge.out" 2>"$work/bridge.log" &
bridge_pid=$!
line="$(wait_for_line "$work/bridge.out" 60 '^listening on ws://127\.0\.0\.1:[0-9]+$')" ||
  die "the connector did not listen within 60 s"
bridge_url="${line#listening on }/"
echo "$line (a free port; the default is 47011)"
echo "pages from $origin may attach; every other origin is refused"

step "Opening the page in headless Chromium: $origin/demo/index.html?bridge=$bridge_url"
page_url="$origin/demo/index.html?bridge=$bridge_url"
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
  --disable-component-update --disable-sync --hide-scrollbars --window-size=1200,760 \
  --user-data-dir="$work/chromium" --remote-debugging-port=0 "$page_url" >"$work/chromium.log" 2>&1 &
chromium_pid=$!
# Until the connector says attached, at most 90 s; a refusal, or Chromium or the connector ending, fails at once.
deadline=$((SECONDS + 90))
while :; do
  tr -d '\r' <"$work/bridge.log" | grep -Eq 'page [0-9]+ attached to the server' && break
  refusal="$(tr -d '\r' <"$work/bridge.log" | grep -Em1 'refused|failed|ended: ')" &&
    die "the connector did not attach the page: $refusal"
  kill -0 "$chromium_pid" 2>/dev/null || die "Chromium ended before the page attached"
  kill -0 "$bridge_pid" 2>/dev/null || die "the connector ended before the page attached"
  if [ "$SECONDS" -ge "$deadline" ]; then
    state="$(devtools eval '[window.vadunaDemo.state, window.vadunaDemo.error]' 2>&1)"
    die "the page did not attach within 90 s (the page says: $state)"
  fi
  sleep 0.1
done
state="$(devtools eval 'window.vadunaDemo.state')" || die "DevTools cannot read the page"
[ "$state" = '"attached"' ] || die "the connector attached the page, but the page says $state"
devtools text '"the page says: " + document.getElementById("state").textContent + ", " +
  document.getElementById("detail").textContent' || die "DevTools cannot read the page"
tr -d '\r' <"$work/bridge.log" | grep -E 'connected from|said hello|attached to the server' | sed 's/^/connector: /'
echo "server process started by the page's attachment: pid" $(server_pids)

step "Running the desktop client: cscript tools/demo/client.vbs (64-bit)"
client_output="$(run_client "$root/tools/demo/client.vbs" 300)"
client_status=$?
echo "$client_output"
printf '%s\n' "$client_output" >"$output/client-transcript.txt"
summary="$(printf '%s\n' "$client_output" | tail -n 1)"
[ "$client_status" -ne 124 ] || die "the client did not finish within 300 s"
echo "$summary" | grep -Eq '^[1-9][0-9]* passed, 0 failed$' || die "the client did not finish with all checks passed"

step "What the page received (window.vadunaDemo.calls, read through DevTools)"
# One line per call: number, time, service, method, input properties, result.
calls_expression='window.vadunaDemo.calls.map((call, i) => {
  const input = Object.entries(call.input).map(([name, value]) => name + "=" + value).join(", ");
  const mark = call.ok === true ? "ok  " : call.ok === false ? "FAIL" : "... ";
  return String(i + 1).padStart(2) + ". " + call.time + "  " + mark + "  " + call.service + "  " + call.method +
    "  (" + (input || "no input") + ")\n      -> " + call.result.replace(/\n/g, "\n         ");
}).join("\n")'
devtools text "$calls_expression" >"$output/page-calls.txt" || die "DevTools cannot read the page's calls"
cat "$output/page-calls.txt"

step "Keeping a screenshot of the page"
devtools screenshot "$output/demo-page.png" || die "the screenshot failed"
echo "$output/demo-page.png"

step "Closing the page: it leaves, the connector detaches it from the server"
devtools navigate about:blank || die "the page could not be left"
wait_for_line "$work/bridge.log" 30 'page [0-9]+ detached from the server' >/dev/null ||
  die "the connector did not detach the page within 30 s"
left="$(date +%s%N)"
tr -d '\r' <"$work/bridge.log" | grep -E 'asks to leave|detached from the server' | sed 's/^/connector: /'
end_process "$chromium_pid" TERM 20
wait "$chromium_pid" 2>/dev/null
chromium_pid=""
echo "Chromium ended"

step "Waiting for the server to end by itself (5 s idle, then a 1 s pause)"
waited="$(wait_server_gone 30 "$left")" || die "the server was still running 30 s after the page left"
echo "the server ended by itself ${waited} s after the page left"

step "Stopping the connector with Ctrl+C (kill -INT $bridge_pid)"
kill -INT "$bridge_pid"
for ((i = 0; i < 200; i++)); do kill -0 "$bridge_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$bridge_pid" 2>/dev/null && die "the connector did not end within 20 s of Ctrl+C"
wait "$bridge_pid"
bridge_status=$?
bridge_pid=""
tr -d '\r' <"$work/bridge.log" | tail -n 2 | sed 's/^/connector: /'
[ "$bridge_status" -eq 0 ] || die "the connector ended with status $bridge_status"
tr -d '\r' <"$work/bridge.log" >"$output/connector.log"

step "Ending the rest: the static server, the prefix's wineserver"
end_process "$static_pid" TERM 10
wait "$static_pid" 2>/dev/null
static_pid=""
vaduna_end_prefixes "$build/demo-prefix"
left_over="$(chromium_pids "$work/chromium"; server_pids)"
[ -z "$left_over" ] || die "processes still running: $left_over"
echo "nothing of the demo runs any more"

step "Demo finished: $summary"
echo "output folder: $output"
echo "  screenshot:  $output/demo-page.png"
echo "  transcript:  $output/client-transcript.txt"
echo "  page calls:  $output/page-calls.txt"
echo "  connector:   $output/connector.log"
