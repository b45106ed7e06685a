#!/usr/bin/env bash
# End-to-end serving cases against the built server, in this folder's private
# Wine prefix. Usage: serving_test.sh BUILD_DIR CASE
# Every wait is bounded; every process started here is ended by its pid on exit.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/serving.sh"
build="$1"
case_name="$2"
serving_init "$build" "$build/e2e-serving-prefix"
work="$(mktemp -d "${TMPDIR:-/tmp}/vaduna-serving.XXXXXX")"
trap 'serving_cleanup; rm -rf "$work"' EXIT

# Idle time-out (5 s) plus the pause after the message loop (1 s).
# The last release is seen from outside only when the client says so or
# ends: on a loaded machine that can be a second or more late, so the lower
# bound keeps a margin (the idle monitor's own tests pin the quiet period).
expected_life=6
min_life=4.0
max_life=10.0

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# A client script's output must end in "N passed, 0 failed" with N > 0.
demand_all_passed() {
  local output="$1"
  echo "$output"
  echo "$output" | grep -Eq '^[1-9][0-9]* passed, 0 failed\r?$' || fail "the client did not report all passed"
}

# Seconds (one decimal) as a number comparable with awk.
in_range() { awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v >= lo && v <= hi) }'; }

# A server left over from an earlier case must be gone before a case measures.
no_server_before() {
  wait_server_gone 15 >/dev/null || fail "a server of an earlier case is still running"
}

# The server, once the last client has let go, ends by itself after the quiet
# period and the pause; never sooner than the quiet period.
# The last release is now, or at the time $1 (date +%s%N) when given.
demand_server_ends_by_itself() {
  local waited
  waited="$(wait_server_gone 20 "${1:-}")" || fail "the server was still running 20 s after the last release"
  echo "server ended ${waited} s after the last release (expected about ${expected_life} s)"
  in_range "$waited" "$min_life" "$max_life" || fail "the server ended after ${waited} s, not between ${min_life} and ${max_life} s"
}

case "$case_name" in
  register)
    # Registration into this folder's prefix, shared by the cases below.
    register_server || fail "/RegServer exited with status $?"
    ;;

  ends_after_last_release)
    no_server_before
    output="$(run_client "$here/activate_client.vbs")"
    demand_all_passed "$output"
    [ -f "$client_saw_server" ] || fail "no server process ran during the activation"
    demand_server_ends_by_itself "$(cat "$client_summary_time")"
    ;;

  runs_without_client)
    no_server_before
    wine64 "$server_exe" -Embedding </dev/null >/dev/null 2>&1 &
    server_pid=$!
    serving_started+=("$server_pid")
    sleep 8
    kill -0 "$server_pid" 2>/dev/null || fail "the server started without a client ended by itself"
    [ "$(server_pids)" = "$server_pid" ] || fail "expected exactly the started server, found: $(server_pids)"
    # The waiting server serves the first client that comes, then ends by itself.
    output="$(run_client "$here/activate_client.vbs")"
    demand_all_passed "$output"
    [ "$(server_pids)" = "$server_pid" ] || fail "the client's activation did not reach the running server"
    demand_server_ends_by_itself "$(cat "$client_summary_time")"
    ;;

  road_vbscript | road_jscript)
    no_server_before
    client="$here/road_client.vbs"
    [ "$case_name" = road_jscript ] && client="$here/road_client.js"
    start_page_host "$work/page.log" "$here/page.js" || fail "the page host did not start"
    output="$(run_client "$client")"
    demand_all_passed "$output"
    [ -n "$(server_pids)" ] || fail "no server process"
    stop_page_host || fail "the page host failed: $(cat "$work/page.log")"
    grep -q '^page host stopped' "$work/page.log" || fail "the page host did not unload: $(cat "$work/page.log")"
    demand_server_ends_by_itself
    ;;

  road_vbscript_32bit)
    # A 32-bit client (as a 32-bit office macro is) drives the 64-bit server:
    # the same road through the 32-bit script host. Where the machine cannot
    # run 32-bit programs, the case says why and is skipped.
    no_server_before
    host32='C:\windows\syswow64\cscript.exe'
    if ! why="$(wine32 --version 2>&1 </dev/null)"; then
      echo "skipped: Wine's 32-bit loader cannot run here: ${why:-no reason given}"
      echo "(Debian: dpkg --add-architecture i386 && apt-get install wine32:i386; Linux kernels"
      echo " started with ia32_emulation=off cannot run 32-bit programs at all)"
      exit 77
    fi
    [ -f "$WINEPREFIX/drive_c/windows/syswow64/cscript.exe" ] || {
      echo "skipped: the prefix $WINEPREFIX has no 32-bit script host; it was made before Wine's"
      echo "32-bit part was installed: remove it and run the tests again"
      exit 77
    }
    start_page_host "$work/page.log" "$here/page.js" || fail "the page host did not start"
    output="$(client_cscript="wine32 $host32" run_client "$here/road_client.vbs")"
    demand_all_passed "$output"
    [ -n "$(server_pids)" ] || fail "no server process"
    stop_page_host || fail "the page host failed: $(cat "$work/page.log")"
    demand_server_ends_by_itself
    ;;

  self_attach)
    # Two lines of a client once hung every later call and kept the server forever.
    no_server_before
    output="$(run_client "$here/self_attach_client.vbs")"
    demand_all_passed "$output"
    demand_server_ends_by_itself "$(cat "$client_summary_time")"
    ;;

  page_killed_mid_call)
    # The page's process is ended by its pid while a client's InvokeMethod is
    # inside the page: the call fails, later calls fail clearly, and the
    # server ends by itself once the client is gone.
    no_server_before
    start_page_host "$work/page.log" "$here/page.js" || fail "the page host did not start"
    client_out="$work/client.out"
    wine64 cscript //nologo "$(win_path "$here/slow_call_client.vbs")" </dev/null >"$client_out" 2>/dev/null &
    client_pid=$!
    serving_started+=("$client_pid")
    for ((i = 0; i < 300; i++)); do
      grep -q 'Slow(' "$work/page.log" 2>/dev/null && break
      sleep 0.1
    done
    grep -q 'Slow(' "$work/page.log" || fail "the slow call never reached the page: $(cat "$work/page.log")"
    kill -9 "$page_host_pid"
    released=""
    for ((i = 0; i < 300; i++)); do
      [ -z "$released" ] && grep -q ' passed, ' "$client_out" && released="$(date +%s%N)"
      kill -0 "$client_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$client_pid" 2>/dev/null && fail "the client's call did not return within 30 s of the page's end"
    demand_all_passed "$(tr -d '\r' <"$client_out" | grep -v -e '^calling$' -e '^released at ')"
    said="$(release_time "$client_out")"
    demand_server_ends_by_itself "${said:-$released}"
    ;;

  *)
    fail "unknown case $case_name"
    ;;
esac
echo "passed: $case_name"
