#!/usr/bin/env bash
# The load run: 4 client processes of 2 threads each make at least 10,000
# mixed late-bound calls in all against the built server with the serving
# tests' page attached; every answer is checked by the clients. The server's
# handle count and private bytes after the load must be within 5% of those
# before it (both read once settled; "before" after small warm-up rounds of
# the same shape and settling rounds of the load's size), and the server must end by itself within 10 s of the page's end.
# Usage: bench/run-load.sh   (build first: tools/build.sh)
# Prints the figures and a verdict; exit status 0 only when every check held.
# Not part of the test run.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VADUNA_BUILD_DIR:-$root/build}"
clients=4
threads=2
calls_per_thread=1250  # 4 x 2 x 1250 = 10,000, rounded up to whole rounds
warm_calls_per_thread=100
warm_rounds_limit=6
settle_rounds_limit=4
tolerance_percent=5
end_limit=10
client_limit=900  # seconds for one round of clients on a loaded machine

client_exe="$build/bin/vaduna_load_client.exe"
for exe in "$client_exe" "$build/bin/vaduna_page_host.exe" "$build/bin/VadunaAx_Desktop_Integration_20444.exe"; do
  [ -f "$exe" ] || { echo "missing $exe: build first (tools/build.sh)" >&2; exit 2; }
done

. "$root/tests/e2e/serving/serving.sh"
prefix="$build/load-prefix"
serving_init "$build" "$prefix"
work="$(mktemp -d "${TMPDIR:-/tmp}/vaduna-load.XXXXXX")"
trap 'serving_cleanup; vaduna_end_prefixes "$prefix"; rm -rf "$work"' EXIT

problems=()
problem() {
  echo "CHECK FAILED: $*"
  problems+=("$*")
}

# Runs $clients load clients at once, $2 calls per thread each, named $1-N,
# and waits for them, at most $client_limit s in all. Sets round_calls,
# round_failures (failed checks plus failed clients) and round_seconds (wall
# clock from the first client's start to the last one's end, process starts
# included).
run_round() {
  local name="$1" calls="$2" i pid status out line began ended deadline
  local pids=()
  began="$(date +%s%N)"
  deadline=$(( $(date +%s) + client_limit ))
  for ((i = 1; i <= clients; i++)); do
    wine64 "$client_exe" "$threads" "$calls" "$name-$i" </dev/null >"$work/$name-$i.out" 2>"$work/$name-$i.err" &
    pids+=("$!")
    serving_started+=("$!")
  done
  for pid in "${pids[@]}"; do
    while kill -0 "$pid" 2>/dev/null && [ "$(date +%s)" -lt "$deadline" ]; do
      sleep 0.1
    done
  done
  ended="$(date +%s%N)"
  round_seconds="$(awk -v ns=$((ended - began)) 'BEGIN { printf "%.1f", ns / 1e9 }')"
  round_calls=0
  round_failures=0
  for ((i = 1; i <= clients; i++)); do
    pid="${pids[$((i - 1))]}"
    if kill -0 "$pid" 2>/dev/null; then
      problem "client $name-$i still ran after ${client_limit} s"
      kill "$pid" 2>/dev/null
      round_failures=$((round_failures + 1))
      continue
    fi
    wait "$pid"
    status=$?
    out="$work/$name-$i.out"
    tr -d '\r' <"$out" | sed 's/^/  /'
    wine_diagnostics <"$work/$name-$i.err" | sed 's/^/  stderr: /'
    line="$(tr -d '\r' <"$out" | grep -E "^load $name-$i: " | tail -n 1)"
    if [ "$status" -ne 0 ] || [ -z "$line" ]; then
      problem "client $name-$i ended with status $status${line:+ ($line)}"
      round_failures=$((round_failures + 1))
    fi
    if [ -n "$line" ]; then
      round_calls=$((round_calls + $(echo "$line" | sed -E 's/.* calls ([0-9]+),.*/\1/')))
      round_failures=$((round_failures + $(echo "$line" | sed -E 's/.* failures ([0-9]+),.*/\1/')))
    fi
  done
}

# Reads the server's figures once they have settled (the load client's
# --server-usage waits until they have stayed the same for 8 s).
# Sets usage_pid, usage_threads, usage_handles, usage_bytes, usage_settled
# and usage_sources; status 1 when there are none.
read_usage() {
  local line
  line="$(wine64 "$client_exe" --server-usage </dev/null 2>"$work/usage.err" | tr -d '\r')"
  wine_diagnostics <"$work/usage.err" >&2
  usage_pid="$(echo "$line" | sed -nE 's/^server pid ([0-9]+) .*/\1/p')"
  usage_threads="$(echo "$line" | sed -nE 's/.* threads ([0-9]+) .*/\1/p')"
  usage_handles="$(echo "$line" | sed -nE 's/.* handles ([0-9]+) .*/\1/p')"
  usage_bytes="$(echo "$line" | sed -nE 's/.* private_bytes ([0-9]+) .*/\1/p')"
  usage_settled="$(echo "$line" | sed -nE 's/.* ((un)?settled after [0-9]+ s) .*/\1/p')"
  usage_sources="$(echo "$line" | sed -nE 's/.*\((handles: .*)\)$/\1/p')"
  [ -n "$usage_pid" ] && [ -n "$usage_handles" ] && [ -n "$usage_bytes" ] || return 1
  case "$usage_settled" in
    settled*) ;;
    *) problem "the server's figures did not settle ($line)" ;;
  esac
}

# Percentage change from $1 to $2, signed, one decimal.
change() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%+.1f", (a > 0 ? (b - a) * 100 / a : 0) }'; }
within() { awk -v a="$1" -v b="$2" -v t="$tolerance_percent" 'BEGIN { d = b - a; if (d < 0) d = -d; exit !(a > 0 && d * 100 <= t * a) }'; }

echo "machine: $(nproc) processors, $(wine64 --version 2>/dev/null), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "shared machine: other builds and tests run at the same time; the figures are noisy"

wait_server_gone 15 >/dev/null || { echo "a server of an earlier run still runs in $prefix" >&2; exit 1; }
register_server >/dev/null || { echo "/RegServer failed" >&2; exit 1; }
start_page_host "$work/page.log" "$root/tests/e2e/serving/page.js" 60 3600 || exit 1

# Warm-up: small rounds of the load's shape until the server's settled handle
# count is the same after two rounds in a row (the runtime keeps some
# handles per concurrent connection up to the highest number it has seen).
echo "warm-up: rounds of $clients clients x $threads threads, $warm_calls_per_thread calls per thread," \
  "until the handle count repeats (at most $warm_rounds_limit rounds)"
warm_handles=""
for ((warm = 1; warm <= warm_rounds_limit; warm++)); do
  run_round "warm$warm" "$warm_calls_per_thread"
  [ "$round_failures" -eq 0 ] || problem "warm-up round $warm: $round_failures failed calls or clients"
  read_usage || problem "no figures of the server after warm-up round $warm"
  echo "warm-up round $warm: $round_calls calls, $round_failures failures, ${round_seconds} s;" \
    "server threads $usage_threads, handles $usage_handles, private bytes $usage_bytes ($usage_settled)"
  [ "$warm" -ge 2 ] && [ "$usage_handles" = "$warm_handles" ] && break
  warm_handles="$usage_handles"
done
[ "$warm" -le "$warm_rounds_limit" ] || echo "warm-up: the handle count still changed after $warm_rounds_limit rounds"
# Then rounds of the load's own size until the server's private bytes grow by
# less than half the tolerance in one (at most $settle_rounds_limit): its
# heaps (and the runtime's in it) grow to the working size of that load and
# keep it afterwards, which is not a leak. A leak grows in every round alike.
echo "settling: rounds of the load's size until the private bytes grow by less than" \
  "$(awk -v t="$tolerance_percent" 'BEGIN { print t / 2 }') % in one (at most $settle_rounds_limit rounds)"
settled_bytes="$usage_bytes"
for ((settle = 1; settle <= settle_rounds_limit; settle++)); do
  run_round "settle$settle" "$calls_per_thread"
  [ "$round_failures" -eq 0 ] || problem "settling round $settle: $round_failures failed calls or clients"
  read_usage || problem "no figures of the server after settling round $settle"
  echo "settling round $settle: $round_calls calls, $round_failures failures, ${round_seconds} s;" \
    "server threads $usage_threads, handles $usage_handles, private bytes $usage_bytes" \
    "($(change "$settled_bytes" "$usage_bytes") %, $usage_settled)"
  awk -v a="$settled_bytes" -v b="$usage_bytes" -v t="$tolerance_percent" 'BEGIN { exit !((b - a) * 200 < t * a) }' &&
    break
  settled_bytes="$usage_bytes"
done
[ "$settle" -le "$settle_rounds_limit" ] ||
  echo "settling: the private bytes still grew after $settle_rounds_limit rounds"
before_pid="$usage_pid" before_handles="$usage_handles" before_bytes="$usage_bytes"
echo "before: server pid $before_pid, threads $usage_threads, handles $before_handles, private bytes $before_bytes"
echo "(read from: $usage_sources)"

echo "load: $clients clients x $threads threads, $calls_per_thread calls per thread"
run_round load "$calls_per_thread"
load_calls="$round_calls" load_failures="$round_failures" load_seconds="$round_seconds"
echo "load: $load_calls calls, $load_failures failures, ${load_seconds} s"
[ "$load_failures" -eq 0 ] || problem "$load_failures failed calls or clients"
[ "$load_calls" -ge 10000 ] || problem "only $load_calls calls"

read_usage || problem "no figures of the server after the load"
after_pid="$usage_pid" after_handles="$usage_handles" after_bytes="$usage_bytes"
echo "after:  server pid $after_pid, threads $usage_threads, handles $after_handles, private bytes $after_bytes" \
  "($usage_settled)"
[ "$before_pid" = "$after_pid" ] || problem "the server process changed during the load ($before_pid, then $after_pid)"
echo "handles $before_handles -> $after_handles ($(change "$before_handles" "$after_handles") %)," \
  "private bytes $before_bytes -> $after_bytes ($(change "$before_bytes" "$after_bytes") %)"
within "$before_handles" "$after_handles" || problem "handle count changed by more than ${tolerance_percent} %"
within "$before_bytes" "$after_bytes" || problem "private bytes changed by more than ${tolerance_percent} %"

stop_page_host >/dev/null || problem "the page host did not stop cleanly: $(tr -d '\r' <"$work/page.log" | tail -n 3)"
grep -q '^page host stopped' "$work/page.log" || problem "the page host did not unload"
if waited="$(wait_server_gone "$end_limit")"; then
  echo "server ended by itself ${waited} s after the page host ended"
else
  problem "the server still ran ${waited} s after the page host ended"
fi

echo "machine afterwards: load average $(cut -d' ' -f1-3 /proc/loadavg)"
if [ "${#problems[@]}" -eq 0 ]; then
  echo "verdict: PASSED ($load_calls calls by $clients clients x $threads threads in ${load_seconds} s, nothing lost)"
  exit 0
fi
echo "verdict: FAILED (${#problems[@]} checks)"
exit 1
