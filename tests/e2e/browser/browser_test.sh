#!/usr/bin/env bash
# The browser end-to-end cases: a web page in headless Chromium attaches to the
# real server (registered once in this folder's Wine prefix by the case
# "register") through the page connector, and VBScript clients call it through
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
    demand_server_ends 12
    stop_bridge
    ;;

  *)
    fail "unknown case $case_name"
    ;;
esac
echo "passed: $case_name"
