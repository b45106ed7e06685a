#!/usr/bin/env bash
# The demo: builds the server, registers it in a Wine prefix of its own, opens
# the "browser page" (the page host running tools/demo/page.js), runs the
# desktop client tools/demo/client.vbs against it, and watches the server end
# by itself after the last client has let go.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VADUNA_BUILD_DIR:-$root/build}"

step() { printf '\n== %s\n' "$*"; }
die() {
  echo "demo failed: $*" >&2
  exit 1
}

work="$(mktemp -d "${TMPDIR:-/tmp}/vaduna-demo.XXXXXX")"
trap 'rm -rf "$work"' EXIT

step "Building into $build"
VADUNA_BUILD_DIR="$build" "$root/tools/build.sh" >"$work/build.log" 2>&1 ||
  { tail -n 30 "$work/build.log" >&2; die "the build failed"; }
echo "built $(basename "$build")/bin/VadunaAx_Desktop_Integration_20444.exe and vaduna_page_host.exe"

demo_dir="$root/tools/demo"
. "$root/tests/e2e/serving/serving.sh"
step "Preparing the Wine prefix $build/demo-prefix"
serving_init "$build" "$build/demo-prefix"
trap 'serving_cleanup; vaduna_end_prefixes "$build/demo-prefix"; rm -rf "$work"' EXIT
wait_server_gone 15 >/dev/null || die "a server from an earlier run is still running"

step "Registering the server: VadunaAx_Desktop_Integration_20444.exe /RegServer"
register_server
status=$?
[ "$status" -eq 0 ] || die "/RegServer exited with status $status"
echo "registered (exit code 0)"

step "Opening the page: the page host runs page.js and attaches it to the server"
start_page_host "$work/page.log" "$demo_dir/page.js" || die "the page host did not start"
cat "$work/page.log"
echo "server process started by the page's activation: pid $(server_pids | tr '\n' ' ')"

step "Running the desktop client: cscript client.vbs (64-bit)"
output="$(run_client "$demo_dir/client.vbs")"
echo "$output"
summary="$(echo "$output" | tr -d '\r' | tail -n 1)"
echo "$summary" | grep -Eq '^[1-9][0-9]* passed, 0 failed$' || die "the client did not finish with all checks passed"

step "What the page saw"
# The page host's log lines since it became ready.
sed -n '/^page host ready/,$p' "$work/page.log" | sed 1d

step "Closing the page: OnUnload, then the last reference goes"
stop_page_host || die "the page host failed: $(cat "$work/page.log")"
tail -n 1 "$work/page.log"

step "Waiting for the server to end by itself (5 s idle, then a 1 s pause)"
waited="$(wait_server_gone 20)" || die "the server was still running after 20 s"
echo "the server ended by itself ${waited} s after the page let go"

step "Demo finished: $summary"
