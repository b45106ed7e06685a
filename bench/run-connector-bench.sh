#!/usr/bin/env bash
# The connector bench (BENCHMARKS.md): the cost of a client call through
# the connector as a ratio to its floors measured in the same run, and the
# memory of the connector and of the page before and after 100,000 calls.
#
#   bench/run-connector-bench.sh [ITERATIONS] [LOAD_CALLS]    (defaults 2000 and 100000)
#
# It builds with tools/build.sh, registers the server and the bench's echo
# local server in a prefix of its own (build/bench-connector-prefix), serves
# the bench page (bench/connector-page/ with web/vaduna-page.js) on
# 127.0.0.1, starts the connector for that origin and headless Chromium on
# the page, all on free ports; then runs vaduna_connector_bench (measure, then
# load in steps with the memory read between them). Every process it started
# ends by its pid, the prefix's wineserver last. The figures are kept in
# build/bench-connector-output/.
#
# VADUNA_BENCH_THREADS (default 4) client threads make the load;
# VADUNA_BENCH_VERBOSE=1 starts the connector with --verbose (a log line per
# call: for looking into where the time goes, not for the figures).
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VADUNA_BUILD_DIR:-$root/build}"
prefix="$build/bench-connector-prefix"
output="$build/bench-connector-output"
iterations="${1:-2000}"
load_calls="${2:-100000}"
threads="${VADUNA_BENCH_THREADS:-4}"
load_steps=5
warmup_calls=2000
bridge_exe="$build/bin/vaduna_page_bridge.exe"
bench_exe="$build/bin/vaduna_connector_bench.exe"
echo_exe="$build/bin/vaduna_bench_echo.exe"

step() { printf '\n== %s\n' "$*"; }

work="$(mktemp -d "${TMPDIR:-/tmp}/vaduna-connector-bench.XXXXXX")"
static_pid="" bridge_pid="" chromium_pid="" bench_pid=""
trap 'rm -rf "$work"' EXIT

die() {
  echo "connector bench failed: $*" >&2
  local log
  for log in bench.err bridge.log chromium.log static.log; do
    [ -s "$work/$log" ] || continue
    echo "--- last lines of $log:" >&2
    tr -d '\r' <"$work/$log" | grep -v 'dbus/' | tail -n 15 >&2
  done
  exit 1
}

step "Building into $build"
VADUNA_BUILD_DIR="$build" "$root/tools/build.sh" >"$work/build.log" 2>&1 ||
  { tail -n 30 "$work/build.log" >&2; die "the build failed"; }
for tool in node chromium; do
  command -v "$tool" >/dev/null || die "$tool is missing: tools/setup.sh installs it"
done

. "$root/tests/e2e/serving/serving.sh"
devtools() { node "$root/tools/devtools.mjs" "$work/chromium" "$@"; }

cleanup() {
  local pid
  [ -z "$bench_pid" ] || end_process "$bench_pid" TERM 5
  [ -z "$chromium_pid" ] || end_process "$chromium_pid" TERM 15
  for pid in $(chromium_pids "$work/chromium"); do kill "$pid" 2>/dev/null; done
  [ -z "$static_pid" ] || end_process "$static_pid" TERM 10
  [ -z "$bridge_pid" ] || end_process "$bridge_pid" INT 15
  for pid in $(prefix_pids vaduna_bench_echo.exe); do kill "$pid" 2>/dev/null; done
  serving_cleanup
  vaduna_end_prefixes "$prefix"
  rm -rf "$work"
}

# Runs the bench client (64-bit) with the given arguments; its output on stdout, its errors in bench.err.
run_bench() {
  wine64 "$bench_exe" "$@" </dev/null 2> >(wine_diagnostics >"$work/bench.err") | tr -d '\r'
  return "${PIPESTATUS[0]}"
}

step "Preparing the Wine prefix $prefix"
serving_init "$build" "$prefix"
trap cleanup EXIT
wait_server_gone 20 >/dev/null || die "a server from an earlier run is still running"
rm -rf "$output"
mkdir -p "$output" || die "cannot make the output folder $output"

register_server 2> >(wine_diagnostics >&2) || die "/RegServer failed"
# The echo local server of floor 2, registered in this prefix only.
wine64 reg add 'HKCR\CLSID\{67C93563-41E6-4500-9870-8ACB1B0FA742}\LocalServer32' /ve \
  /d "$(win_path "$echo_exe")" /f </dev/null >/dev/null 2>&1 || die "registering the echo server failed"
echo "server and echo server registered"

{
  echo "machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | sort -u | head -n 1)," \
    "$(awk '/^MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo) memory"
  echo "wine: $(wine64 --version 2>/dev/null)"
  echo "chromium: $(chromium --version 2>/dev/null | head -n 1)"
  echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
} | tee "$output/machine.txt"

step "Serving the bench page"
mkdir -p "$work/site"
cp "$root/bench/connector-page/index.html" "$root/bench/connector-page/bench.js" "$root/web/vaduna-page.js" "$work/site/"
cp -r "$root/web/lib" "$work/site/"
node "$root/tools/static-server.mjs" "$work/site" --port 0 >"$work/static.log" 2>&1 &
static_pid=$!
line="$(wait_for_line "$work/static.log" 30 '^serving http://127\.0\.0\.1:[0-9]+/$')" ||
  die "the static server did not start within 30 s"
origin="${line#serving }"
origin="${origin%/}"
echo "$line"

step "Starting the connector for $origin"
verbose=()
[ "${VADUNA_BENCH_VERBOSE:-0}" = 1 ] && verbose=(--verbose)
wine64 "$bridge_exe" --port 0 --allow-origin "$origin" "${verbose[@]}" </dev/null >"$work/bridge.out" 2>"$work/bridge.log" &
bridge_pid=$!
line="$(wait_for_line "$work/bridge.out" 60 '^listening on ws://127\.0\.0\.1:[0-9]+$')" ||
  die "the connector did not listen within 60 s"
bridge_url="${line#listening on }/"
echo "$line${verbose:+ (--verbose)}"

step "Opening the bench page in headless Chromium"
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
  --disable-component-update --disable-sync --user-data-dir="$work/chromium" --remote-debugging-port=0 \
  "$origin/index.html?bridge=$bridge_url" >"$work/chromium.log" 2>&1 &
chromium_pid=$!
deadline=$((SECONDS + 90))
until tr -d '\r' <"$work/bridge.log" | grep -Eq 'page [0-9]+ attached to the server'; do
  refusal="$(tr -d '\r' <"$work/bridge.log" | grep -Em1 'refused|failed|ended: ')" &&
    die "the connector did not attach the page: $refusal"
  kill -0 "$chromium_pid" 2>/dev/null || die "Chromium ended before the page attached"
  kill -0 "$bridge_pid" 2>/dev/null || die "the connector ended before the page attached"
  [ "$SECONDS" -lt "$deadline" ] || die "the page did not attach within 90 s"
  sleep 0.1
done
[ "$(devtools eval 'window.vadunaBench.state')" = '"attached"' ] || die "the page does not say it is attached"
echo "the page is attached; server pid $(server_pids)"

step "Timing the call and its floors: $iterations iterations"
wine64 "$bench_exe" measure "$iterations" </dev/null >"$work/measure.out" 2>"$work/bench.err" &
bench_pid=$!
line="$(wait_for_line "$work/measure.out" 60 '^echo endpoint ws://127\.0\.0\.1:[0-9]+/$')" ||
  die "the bench client did not open its echo endpoint"
# The page times its own share of each call while the measurement runs (never during the load).
devtools eval 'window.vadunaBench.timing.on = true' >/dev/null || die "the page's timing could not be started"
devtools eval "window.vadunaBench.startEcho('${line#echo endpoint }')" >/dev/null || die "the page's echo socket did not open"
wait "$bench_pid"
status=$?
bench_pid=""
tr -d '\r' <"$work/measure.out" | tee "$output/measure.txt"
[ "$status" -eq 0 ] || die "the measurement failed (status $status)"
devtools eval 'window.vadunaBench.timing.on = false' >/dev/null || die "the page's timing could not be stopped"
page_share="$(devtools text 'window.vadunaBench.pageShare()')" || die "the page's share could not be read"

# Where the time of a call goes: the medians of the measurement and the page's own share of a call (mean: the
# page's clock is coarse unless the page is cross-origin isolated). What is left is the server's forwarding and
# the connector's own work (its thread hand-overs, the JSON of the call and the reply); the hand-over probe is
# printed as a part of it.
node -e '
  const [measureFile, shareText] = process.argv.slice(1);
  const medians = Object.fromEntries(require("fs").readFileSync(measureFile, "utf8").split("\n")
    .filter((line) => line.startsWith("median ")).map((line) => line.split(" ").slice(1)).map(([k, v]) => [k, +v]));
  const share = JSON.parse(shareText);
  const f = (v) => v.toFixed(1).padStart(9);
  const page = share.library.mean - share.echo.mean;
  console.log(`page share of a call (arrival to reply sent; clock ${share.isolated ? "fine" : "coarse, 100 us"}):` +
    ` library mean ${share.library.mean.toFixed(1)} us over ${share.library.count} calls,` +
    ` echo mean ${share.echo.mean.toFixed(1)} us over ${share.echo.count}`);
  const rows = (call) => [
    ["client round trip (floor 1)", medians.floor1],
    ["two COM round trips into the connector (floor 2 x 2)", medians.floor2_pair],
    ["WebSocket round trip to the page (floor 3)", medians.floor3],
    ["the page library beyond the echo (means)", page],
    ["the rest: server forwarding, connector work", call - medians.floor1 - medians.floor2_pair - medians.floor3 - page],
    ...(medians.handover === undefined ? [] : [["  of which two thread hand-overs as the connector makes them (probe)", medians.handover]]),
    ["the call", call],
  ];
  for (const [label, call] of [["Name", medians.call_name], ["GetProperty", medians.call_getproperty]]) {
    console.log(`where the time of ${label} goes (us, medians):`);
    for (const [what, value] of rows(call)) console.log(`  ${what.padEnd(66)} ${f(value)}   ${(value / call * 100).toFixed(0).padStart(3)} %`);
  }
' "$output/measure.txt" "$page_share" | tee "$output/breakdown.txt" || die "the breakdown could not be computed"

# One reading: the connector's private bytes, working set and handles (its own counters, read in the prefix),
# its resident set as Linux sees it, and the page's JavaScript heap after a garbage collection; a line of
# memory.txt, and "private handles heap_used" appended to the readings.
read_memory() {
  local label="$1" counters heap private working handles rss used total
  counters="$(run_bench memory)" || die "reading the connector's memory failed: $counters"
  private="$(sed -n 's/^connector .*private_bytes \([0-9]*\) .*/\1/p' <<<"$counters")"
  working="$(sed -n 's/^connector .*working_set \([0-9]*\) .*/\1/p' <<<"$counters")"
  handles="$(sed -n 's/^connector .*handles \([0-9]*\)$/\1/p' <<<"$counters")"
  rss="$(awk '/^VmRSS/ { print $2 * 1024 }' "/proc/$bridge_pid/status")"
  heap="$(devtools heap)" || die "reading the page's heap failed"
  used="$(sed -n 's/.*"usedSize":\([0-9]*\).*/\1/p' <<<"$heap")"
  total="$(sed -n 's/.*"totalSize":\([0-9]*\).*/\1/p' <<<"$heap")"
  [ -n "$private" ] && [ -n "$handles" ] && [ -n "$used" ] || die "unreadable memory figures: $counters / $heap"
  printf '%-14s %14s %14s %8s %14s %14s %14s\n' "$label" "$private" "$working" "$handles" "$rss" "$used" "$total" |
    tee -a "$output/memory.txt"
  echo "$private $handles $used" >>"$work/memory.readings"
  # The connector's handles by the list's type index: a growing count says which kind grows.
  local first=""
  [ -s "$output/handle-types.txt" ] || first=1
  { [ -z "$first" ] || sed -n 's/^type indexes:/type indexes of known kinds:/p' <<<"$counters"
    sed -n "s/^connector handles by type index:/$label:/p" <<<"$counters"
    sed -n "s/^connector key handles /$label, key handles: /p" <<<"$counters"
  } >>"$output/handle-types.txt"
}

step "Memory over $load_calls calls ($threads client threads, in $load_steps steps)"
run_bench load "$warmup_calls" "$threads" >"$work/load.out" || { cat "$work/load.out"; die "the warm-up load failed"; }
sed 's/^/warm-up: /' "$work/load.out" | tee "$output/load.txt"
printf '%-14s %14s %14s %8s %14s %14s %14s\n' "after calls" "conn. private" "conn. working" "handles" "conn. RSS" \
  "page heap used" "page heap total" | tee "$output/memory.txt"
read_memory "before"
for ((i = 1; i <= load_steps; i++)); do
  run_bench load "$((load_calls / load_steps))" "$threads" >"$work/load.out" ||
    { cat "$work/load.out"; die "load step $i failed"; }
  tee -a "$output/load.txt" <"$work/load.out"
  read_memory "after $((i * load_calls / load_steps))"
done
# Flat: every reading within 5 % of the one before the load, for the connector's private bytes and handles and
# the page's used heap. Printed: the change at the end and the largest one at any step.
verdict="$(awk '
  function change(now, then) { return (now - then) / then * 100 }
  function widest(c, w) { return (c < 0 ? -c : c) > (w < 0 ? -w : w) ? c : w }
  NR == 1 { p0 = $1; n0 = $2; h0 = $3
    # A figure that reads 0 was not measured: no verdict rather than a flat one.
    if (p0 <= 0 || n0 <= 0 || h0 <= 0) { print "unmeasured: a figure before the load reads 0"; bad = 1; exit }
    next }
  { dp = change($1, p0); dn = change($2, n0); dh = change($3, h0)
    wp = widest(dp, wp); wn = widest(dn, wn); wh = widest(dh, wh) }
  END {
    if (bad) exit 1
    flat = (wp <= 5 && wp >= -5 && wn <= 5 && wn >= -5 && wh <= 5 && wh >= -5)
    printf "memory over the load (at the end; largest at a step): connector private bytes %+.1f %% (%+.1f %%), " \
      "handles %+.1f %% (%+.1f %%), page heap %+.1f %% (%+.1f %%): %s\n", dp, wp, dn, wn, dh, wh,
      flat ? "flat (within 5 %)" : "NOT flat"
  }' "$work/memory.readings")" || die "no memory verdict: $verdict"
echo "$verdict" | tee -a "$output/memory.txt"

step "Closing the page; the server ends by itself"
devtools navigate about:blank >/dev/null || die "the page could not be left"
wait_for_line "$work/bridge.log" 30 'page [0-9]+ detached from the server' >/dev/null ||
  die "the connector did not detach the page within 30 s"
end_process "$chromium_pid" TERM 20
wait "$chromium_pid" 2>/dev/null
chromium_pid=""
wait_server_gone 30 >/dev/null || die "the server was still running 30 s after the page left"
kill -INT "$bridge_pid"
for ((i = 0; i < 200; i++)); do kill -0 "$bridge_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$bridge_pid" 2>/dev/null && die "the connector did not end within 20 s of Ctrl+C"
wait "$bridge_pid"
bridge_status=$?
bridge_pid=""
tr -d '\r' <"$work/bridge.log" >"$output/connector.log"
[ "$bridge_status" -eq 0 ] || die "the connector ended with status $bridge_status"
end_process "$static_pid" TERM 10
wait "$static_pid" 2>/dev/null
static_pid=""
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$output/machine.txt"
vaduna_end_prefixes "$prefix"
left_over="$(chromium_pids "$work/chromium"; server_pids)"
[ -z "$left_over" ] || die "processes still running: $left_over"

step "Done: figures in $output"
grep -E '^ratio ' "$output/measure.txt"
echo "$verdict"
