#!/usr/bin/env bash
# The browser end-to-end cases: a web page in headless Chromium attaches to the
# real server (registered once in this folder's Wine prefix by the case
# "register") through the connector, and VBScript clients call it through
# the server.
# Usage: browser_test.sh BUILD_DIR CASE
# Ports are free ones (never the connector's default); every wait is bounded;
# every process started here is ended by its pid, and the prefix's wineserver
# at the end.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/browser.sh"
build="$1"
case_name="$2"
if [ "$case_name" = end ]; then
  # The fixture's clean-up: the prefix's wineserver and the services it started end with the cases.
  vaduna_end_prefixes "$(browser_prefix "$build")"
  exit 0
fi
browser_init "$build"

no_server_before() {
  wait_server_gone 15 >/dev/null || fail "a server of an earlier case is still running"
}

# The value of expression $1 of the page's record t (window.vadunaTest), read through the DevTools protocol.
page_value() { devtools eval "(t => $1)(window.vadunaTest)"; }

case "$case_name" in
  register)
    register_server || fail "/RegServer exited with status $?"
    ;;

  smoke)
    # Services, property sets, InvokeMethod of async members, errors, text beyond ASCII; the page leaves
    # and the server ends by itself; Ctrl+C ends the connector.
    no_server_before
    start_attached_page
    echo "connector at $bridge_url, page served from $site_origin"
    [ "$(bridge_attached)" = true ] || fail "/status does not report the page attached"
    output="$(run_client "$here/client.vbs")"
    echo "$output"
    echo "$output" | grep -Eq '^[1-9][0-9]* passed, 0 failed$' || fail "the client did not report all passed"
    # The page's record: the server's GetService calls, and how often the page ran Fail (the False of
    # InvokeMethod("Fail") came from the page's exception, not from a call that never arrived).
    record="$(page_value '[t.calls.join(","), t.methods.filter((m) => m === "Fail").length]')"
    [ "$record" = '["GetService Text Service,GetService Text Service,GetService Payroll Service,GetService Zürich 東京",1]' ] ||
      fail "the page recorded other calls: $record"
    leave_page 1
    tr -d '\r' <"$work/bridge.log" | grep -q 'page 1 asks to leave' || fail "the page did not say detach"
    demand_server_ends "$page_left"
    stop_bridge
    ;;

  reload_idle)
    # The page reloads while a client holds its objects but no call runs: the connector detaches the old
    # page, then attaches the new one to the same server; the client's next GetService reaches the new
    # page, the old page's objects fail clearly.
    no_server_before
    start_attached_page
    start_client "$work/client.out" "$here/reload_client.vbs" "$(win_path "$work/go")"
    wait_for_line "$work/client.out" 120 '^waiting$' >/dev/null ||
      fail "the client did not reach its wait: $(tr -d '\r' <"$work/client.out")"
    server_before="$(server_pids)"
    [ -n "$server_before" ] || fail "no server runs for the client"
    devtools reload || fail "the page could not be reloaded"
    wait_for_line "$work/bridge.log" 120 '^[0-9:.]+ page 2 attached to the server$' >/dev/null ||
      fail "the reloaded page did not attach"
    detached_at="$(line_number "$work/bridge.log" '^[0-9:.]+ page 1 detached from the server$')"
    attached_at="$(line_number "$work/bridge.log" '^[0-9:.]+ page 2 attached to the server$')"
    [ -n "$detached_at" ] && [ "$detached_at" -lt "$attached_at" ] ||
      fail "the connector did not detach the old page before it attached the new one"
    tr -d '\r' <"$work/bridge.log" | grep -q ' replaces page ' && fail "the new page replaced the old one instead"
    [ "$(devtools wait 'window.vadunaTest?.state === "attached"' 30)" = true ] ||
      fail "the reloaded page does not report itself attached"
    [ "$(server_pids)" = "$server_before" ] || fail "the server process changed over the reload: $(server_pids)"
    touch "$work/go"
    finish_client "$work/client.out" 150
    calls="$(page_value 't.calls.join(",")')"
    [ "$calls" = '"GetService Text Service,GetService Text Service"' ] ||
      fail "the reloaded page recorded other calls: $calls"
    leave_page 2
    demand_server_ends "$page_left"
    ;;

  closed_mid_call)
    # The page is closed while a client's InvokeMethod waits in it: the call fails within a few seconds
    # with the recorded error, and the server ends by itself once the client is gone.
    no_server_before
    start_attached_page
    start_client "$work/client.out" "$here/mid_call_client.vbs"
    devtools wait 'window.vadunaTest.running > 0 && window.vadunaTest.methods.includes("Later")' 120 >/dev/null ||
      fail "the slow call never reached the page: $(tr -d '\r' <"$work/client.out")"
    [ -n "$(server_pids)" ] || fail "no server runs for the client's call"
    closed_ms="$(devtools close)" || fail "the page could not be closed"
    line="$(wait_for_line "$work/client.out" 30 '^returned after [0-9]+ ms$')" ||
      fail "the client's call did not return within 30 s of the page's close"
    returned_ms="$(( $(date +%s%N) / 1000000 ))"
    took="$(seconds_between "$((closed_ms * 1000000))" "$((returned_ms * 1000000))")"
    echo "the client's call failed ${took} s after the page was closed (${line})"
    in_range "$took" 0 10 || fail "the client's call failed only ${took} s after the page was closed"
    finish_client "$work/client.out" 120
    wait_for_line "$work/bridge.log" 30 '^[0-9:.]+ page 1 detached from the server$' >/dev/null ||
      fail "the closed page was not detached"
    demand_server_ends "$client_done"
    ;;

  call_timeout)
    # A page member that never answers, and one that answers too late, against --call-timeout 3: each call
    # fails after about 3 s, the connector logs the time-out, and the page stays attached and usable.
    no_server_before
    start_attached_page --call-timeout 3
    output="$(run_client "$here/timeout_client.vbs")"
    echo "$output"
    echo "$output" | grep -Eq '^[1-9][0-9]* passed, 0 failed$' || fail "the client did not report all passed"
    for method in Never Fresh; do
      ms="$(echo "$output" | sed -nE "s/^$method returned after ([0-9]+) ms$/\1/p")"
      [ -n "$ms" ] || fail "the client did not time $method"
      in_range "$ms" 2900 10000 || fail "$method returned after $ms ms, not after about the 3 s time-out"
    done
    [ "$(tr -d '\r' <"$work/bridge.log" | grep -Ec '^[0-9:.]+ page 1: call [0-9]+ \(InvokeMethod\) timed out$')" = 2 ] ||
      fail "the connector did not log both time-outs"
    wait_for_line "$work/bridge.log" 10 '^[0-9:.]+ page 1: the reply to call [0-9]+ came too late and is dropped$' \
      >/dev/null || fail "the connector did not log the late reply"
    [ "$(bridge_attached)" = true ] || fail "/status does not report the page attached after the time-outs"
    # The page is still attached, and once the client is gone the connector holds only the page's
    # application object: the late reply's set, and every other object the client used, were released.
    devtools wait 'window.vadunaTest.state === "attached" && window.vadunaTest.objects() === 1' 30 >/dev/null ||
      fail "the page, $(page_value 't?.state'), still exports $(page_value 't.objects()') objects to the connector"
    leave_page 1
    demand_server_ends "$page_left"
    ;;

  connect_refused)
    # connect() in Chromium rejects with the code that tells the page why: "origin-refused" from a
    # connector that allows another origin, "not-running" for a port where nothing listens.
    start_static_server
    start_bridge --allow-origin "http://127.0.0.1:1"
    start_chromium "$(page_url)"
    # The rejection's code, and whether its message tells how to allow the page.
    outcome="$(devtools wait "window.vadunaTest?.state === 'failed' &&
      [vadunaTest.error.code, vadunaTest.error.message.includes('--allow-origin $site_origin')]" 60)" ||
      fail "connect() did not fail for a refused origin: $(page_value 't?.state')"
    [ "$outcome" = '["origin-refused",true]' ] || fail "a refused origin gave $outcome: $(page_value 't?.error')"
    wait_for_line "$work/bridge.log" 10 "^[0-9:.]+ refused the status for a page from $site_origin, which is not allowed" \
      >/dev/null || fail "the connector did not log the refusal"
    tr -d '\r' <"$work/bridge.log" | grep -q ' connected from ' && fail "a refused page got a connection"

    free_port="$(node -e 'const s = require("net").createServer().listen(0, "127.0.0.1", () => {
      console.log(s.address().port); s.close(); });')"
    devtools navigate "$(page_url "ws://127.0.0.1:$free_port/")" || fail "the page could not be opened again"
    # The rejection's code, and whether its message names the URL tried.
    outcome="$(devtools wait "location.search.includes('$free_port') && window.vadunaTest?.state === 'failed' &&
      [vadunaTest.error.code, vadunaTest.error.message.includes('ws://127.0.0.1:$free_port/')]" 60)" ||
      fail "connect() did not fail for a port where nothing listens: $(page_value 't?.state')"
    [ "$outcome" = '["not-running",true]' ] || fail "a port where nothing listens gave $outcome: $(page_value 't?.error')"
    [ -z "$(server_pids)" ] || fail "a server was started although no page attached"
    stop_bridge
    ;;

  hostile_client)
    # Malformed, oversized and out-of-protocol frames and foreign handshakes, one connection each: each
    # closes only its own connection, while the page attached in Chromium keeps working.
    no_server_before
    start_attached_page
    port="${bridge_url##*:}"
    port="${port%/}"
    node "$here/hostile_client.mjs" "$port" "$site_origin" || fail "the connector answered a hostile client wrongly"
    tr -d '\r' <"$work/bridge.log" | grep -Eq '^[0-9:.]+ page 1 (ended|detached)' &&
      fail "the hostile connections ended the attached page"
    # The refusal of origin "null" must not advise --allow-origin null, which the connector refuses.
    tr -d '\r' <"$work/bridge.log" | grep -q -- '--allow-origin null' && fail "the log advises --allow-origin null"
    [ "$(bridge_attached)" = true ] || fail "/status does not report the page attached after the hostile client"
    [ "$(page_value 't?.state')" = '"attached"' ] || fail "the page does not report itself attached"
    output="$(run_client "$here/call_client.vbs")"
    echo "$output"
    echo "$output" | grep -Eq '^[1-9][0-9]* passed, 0 failed$' || fail "a call through the page failed"
    leave_page 1
    demand_server_ends "$page_left"
    stop_bridge
    ;;

  *)
    fail "unknown case $case_name"
    ;;
esac
echo "passed: $case_name"
