# Sourced by the browser end-to-end tests: the page's static server, the page
# connector and headless Chromium, each started in the background on a free
# port and ended by its pid; every wait bounded. Builds on the serving helpers
# (tests/e2e/serving/serving.sh).
#   browser_init BUILD_DIR   the prefix, a work folder (kept when VADUNA_KEEP_WORK is set), the clean-up on exit
#   browser_prefix BUILD_DIR  the prefix's path
#   work, bridge_exe, root

browser_here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$browser_here/../../.." && pwd)"
. "$browser_here/../serving/serving.sh"

static_pid="" bridge_pid="" chromium_pid=""

# The prefix stays warm for the next case; the fixture's clean-up ("end") ends its Wine processes.
browser_cleanup() {
  local pid
  for pid in $chromium_pid $static_pid $bridge_pid; do kill "$pid" 2>/dev/null || true; done
  serving_cleanup
  if [ -n "${VADUNA_KEEP_WORK:-}" ]; then echo "work folder kept: $work" >&2; else rm -rf "$work"; fi
}

browser_prefix() { echo "$1/e2e-browser-prefix"; }

browser_init() {
  local build="$1"
  serving_init "$build" "$(browser_prefix "$build")"
  bridge_exe="$build/bin/vaduna_page_bridge.exe"
  work="$(mktemp -d "${TMPDIR:-/tmp}/vaduna-browser.XXXXXX")"
  trap browser_cleanup EXIT
  for tool in node chromium; do
    command -v "$tool" >/dev/null || fail "$tool is missing: run tools/setup.sh"
  done
}

fail() {
  echo "FAILED: $*" >&2
  if [ -s "$work/bridge.log" ]; then
    echo "--- connector log:" >&2
    tr -d '\r' <"$work/bridge.log" >&2
  fi
  exit 1
}

# The line number of the first line matching the extended regex $2 in file $1 (empty when none).
line_number() { tr -d '\r' <"$1" | grep -Enm1 "$2" | cut -d: -f1; }

# Nanoseconds as seconds with one decimal.
seconds_between() { echo "$(( ($2 - $1) / 100000000 ))" | sed -E 's/^([0-9]*)([0-9])$/\1.\2/; s/^\./0./'; }

# True when the number $1 lies within [$2, $3].
in_range() { awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v >= lo && v <= hi) }'; }

devtools() { node "$root/tools/devtools.mjs" "$work/chromium" "$@"; }

# The test page and the page library, served from a folder of their own.
# Sets site_origin.
start_static_server() {
  local line
  mkdir -p "$work/site"
  cp "$browser_here/index.html" "$browser_here/page.js" "$root/web/vaduna-page.js" "$work/site/"
  cp -r "$root/web/lib" "$work/site/"
  node "$root/tools/static-server.mjs" "$work/site" --port 0 >"$work/static.log" 2>&1 &
  static_pid=$!
  line="$(wait_for_line "$work/static.log" 60 '^serving http://127\.0\.0\.1:[0-9]+/$')" || fail "the static server did not start"
  line="${line%/}"
  site_origin="http://127.0.0.1:${line##*:}"
}

# The connector on a free port, with the extra arguments given (--allow-origin, --call-timeout);
# its log goes to $work/bridge.log. Sets bridge_url (ws://127.0.0.1:PORT/).
start_bridge() {
  local line
  wine64 "$bridge_exe" --port 0 --verbose "$@" </dev/null >"$work/bridge.out" 2>"$work/bridge.log" &
  bridge_pid=$!
  line="$(wait_for_line "$work/bridge.out" 60 '^listening on ws://127\.0\.0\.1:[0-9]+$')" || fail "the connector did not listen"
  bridge_url="${line#listening on }/"
}

# Headless Chromium with one page, URL $1, scriptable through devtools.
start_chromium() {
  chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --user-data-dir="$work/chromium" --remote-debugging-port=0 \
    "$1" >"$work/chromium.log" 2>&1 &
  chromium_pid=$!
}

# The test page of this case's static server, attached through this case's connector.
page_url() { echo "$site_origin/index.html?bridge=${1:-$bridge_url}"; }

# Static server, connector allowing the page's origin (extra arguments: $@), Chromium on the test page,
# and the page attached (page 1 in the connector's log).
start_attached_page() {
  start_static_server
  start_bridge --allow-origin "$site_origin" "$@"
  start_chromium "$(page_url)"
  wait_for_line "$work/bridge.log" 120 '^[0-9:.]+ page 1 attached to the server$' >/dev/null || fail "the page did not attach"
  [ "$(devtools wait 'window.vadunaTest?.state === "attached"' 30)" = true ] ||
    fail "the page does not report itself attached"
}

# What the connector's /status says about "attached" (true or false), or nothing when it does not answer
# within 20 s. (Plain bash: a loaded machine takes seconds to start node.)
bridge_attached() {
  local port="${bridge_url#ws://127.0.0.1:}"
  timeout 20 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1" || exit 1
    printf "GET /status HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nConnection: close\r\n\r\n" "$1" >&3
    cat <&3' _ "${port%/}" 2>/dev/null | grep -o '"attached":[a-z]*' | cut -d: -f2
}

# A client script with cscript in the background, its arguments after the script; its output goes to
# file $1. Sets client_pid.
start_client() {
  local out="$1" script="$2"
  shift 2
  wine64 cscript //nologo "$(win_path "$script")" "$@" </dev/null >"$out" 2>"$out.err" &
  client_pid=$!
  serving_started+=("$client_pid")
}

# Waits at most $2 seconds for the background client to end; its output (file $1, without CRs and its
# "released at" line) must end in "N passed, 0 failed". Sets client_done (date +%s%N): when the client
# said it let go of its last object ("released at", see release_time), else when its summary was seen.
finish_client() {
  local out="$1" limit="$2" i
  client_done=""
  for ((i = 0; i < limit * 10; i++)); do
    [ -z "$client_done" ] && grep -q ' passed, ' "$out" && client_done="$(date +%s%N)"
    kill -0 "$client_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$client_pid" 2>/dev/null && fail "the client did not end within $limit s; its output: $(tr -d '\r' <"$out")"
  [ -n "$client_done" ] || client_done="$(date +%s%N)"
  local released
  released="$(release_time "$out")"
  [ -z "$released" ] || client_done="$released"
  tr -d '\r' <"$out" | grep -v '^released at '
  wine_diagnostics <"$out.err" >&2
  tr -d '\r' <"$out" | grep -Eq '^[1-9][0-9]* passed, 0 failed$' || fail "the client did not report all passed"
}

# The moment (date +%s%N) of the first line of the connector's log that matches the extended regex $1,
# from its time stamp (local time of day, to the millisecond); status 1 when there is none.
bridge_log_time() {
  local stamp
  stamp="$(tr -d '\r' <"$work/bridge.log" | grep -Em1 "$1" | cut -d' ' -f1)"
  [ -n "$stamp" ] || return 1
  date -d "$(date +%F) $stamp" +%s%N
}

# The page leaves (pagehide closes its link): the connector detaches page $1. Sets page_left (date +%s%N):
# the time stamp of the connector's "detached" line, written once it has let go of the server's object.
leave_page() {
  devtools navigate about:blank || fail "the page could not be left"
  wait_for_line "$work/bridge.log" 30 "^[0-9:.]+ page $1 detached from the server$" >/dev/null ||
    fail "page $1 was not detached"
  page_left="$(bridge_log_time "^[0-9:.]+ page $1 detached from the server$")"
}

# The server ends by itself once the last client or page let go at the time $1 (date +%s%N): its idle
# monitor waits 5 s, then it pauses 1 s. Not before 3 s (an end sooner is no idle end but, say, a crash;
# the margin is for a time stamp taken late on a loaded machine; the idle monitor's own tests pin its
# quiet period), and at most 12 s.
demand_server_ends() {
  local waited
  waited="$(wait_server_gone 20 "$1")" || fail "the server was still running 20 s after the last one let go"
  echo "the server ended ${waited} s after the last client or page let go (expected about 6 s)"
  in_range "$waited" 3 12 || fail "the server ended ${waited} s after the last one let go, not between 3 and 12 s"
}

# Ctrl+C ends the connector cleanly, with status 0.
stop_bridge() {
  local i status
  kill -INT "$bridge_pid"
  for ((i = 0; i < 100; i++)); do kill -0 "$bridge_pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$bridge_pid" 2>/dev/null && fail "the connector did not end on Ctrl+C"
  wait "$bridge_pid"
  status=$?
  bridge_pid=""
  [ "$status" -eq 0 ] || fail "the connector ended with status $status"
  tr -d '\r' <"$work/bridge.log" | grep -q ' stopped$' || fail "the connector did not log its end"
}
