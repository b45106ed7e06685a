# Sourced by the end-to-end serving tests (and the demo): starting, finding
# and stopping the Windows processes of one private Wine prefix, every wait
# bounded, every process ended by its own pid.
#   serving_init BUILD_DIR PREFIX   sets up the prefix and the paths below
#   server_exe, page_host_exe

serving_here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$serving_here/../../../tools/wine-env.sh"

# Processes this shell started in the background; ended by pid on exit.
serving_started=()

serving_cleanup() {
  rm -f "$client_summary_time" "$client_saw_server"
  local pid
  for pid in "${serving_started[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  local server killed=0
  for server in $(server_pids); do
    # A server left by a failed run; it runs in our private prefix only.
    kill "$server" 2>/dev/null && killed=1
  done
  # A killed server leaves its class registration in the prefix's runtime,
  # which would fail the next activation: restart the prefix's Wine processes.
  [ "$killed" -eq 0 ] || wineserver -k 2>/dev/null || true
}

serving_init() {
  local build="$1"
  vaduna_wine_prefix "$2"
  server_exe="$build/bin/VadunaAx_Desktop_Integration_20444.exe"
  client_summary_time="$(mktemp -u "${TMPDIR:-/tmp}/vaduna-client-done.XXXXXX")"
  client_saw_server="$client_summary_time.server"
  page_host_exe="$build/bin/vaduna_page_host.exe"
  trap serving_cleanup EXIT
  trap 'exit 130' INT TERM
}

# Wine's standard error without the launcher's notice about a missing 32-bit Wine.
wine_diagnostics() {
  grep -v -e 'wine32 is missing' -e 'multiarch needs to be enabled' -e 'dpkg --add-architecture' \
    -e 'apt-get install wine32' || true
}

# A Linux path as Wine sees it on drive Z:.
win_path() { printf 'Z:%s' "${1//\//\\}"; }

# Pids of the processes of this prefix whose command line holds $1 (other
# prefixes run the same programs).
prefix_pids() {
  local pid args
  ps -eo pid=,args= | while read -r pid args; do
    case "$args" in
      *"$1"*) ;;
      *) continue ;;
    esac
    tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qx "WINEPREFIX=$WINEPREFIX" && echo "$pid"
  done
}

# Pids of the server processes of this prefix.
server_pids() { prefix_pids VadunaAx_Desktop_Integration_20444.exe; }

# Waits until no server of this prefix runs, for at most $1 seconds.
# Prints the seconds waited (one decimal, by the clock), counted from the
# time $2 (date +%s%N) when given, else from now; status 1 on time-out.
wait_server_gone() {
  local start now elapsed
  start="${2:-$(date +%s%N)}"
  while :; do
    now="$(date +%s%N)"
    elapsed=$(( (now - start) / 100000000 ))
    [ -z "$(server_pids)" ] && break
    if [ "$elapsed" -ge $(( $1 * 10 )) ]; then
      echo "$((elapsed / 10)).$((elapsed % 10))"
      return 1
    fi
    sleep 0.1
  done
  echo "$((elapsed / 10)).$((elapsed % 10))"
}

# Waits at most $2 seconds for a line matching the extended regex $3 in file $1; prints its first match.
wait_for_line() {
  local file="$1" limit="$2" pattern="$3" i
  for ((i = 0; i < limit * 10; i++)); do
    if tr -d '\r' <"$file" 2>/dev/null | grep -Eq "$pattern"; then
      tr -d '\r' <"$file" | grep -Em1 "$pattern"
      return 0
    fi
    sleep 0.1
  done
  return 1
}

# Registers the built server in this prefix; status = the exe's exit code.
register_server() {
  wine64 "$server_exe" /RegServer </dev/null
}

# Starts the page host on the page script $2 in the background and waits (at
# most $3 seconds, default 30) for its ready line; its output goes to file $1.
# The page stops by itself after $4 seconds (default 120).
# Sets page_host_pid and stop_file.
start_page_host() {
  local log="$1" page="$2" limit="${3:-30}" life="${4:-120}"
  stop_file="$(mktemp -u "${TMPDIR:-/tmp}/vaduna-page-stop.XXXXXX")"
  wine64 "$page_host_exe" "$(win_path "$page")" --stop-file "$(win_path "$stop_file")" \
    --seconds "$life" </dev/null >"$log" 2>&1 &
  page_host_pid=$!
  serving_started+=("$page_host_pid")
  local i
  for ((i = 0; i < limit * 10; i++)); do
    grep -q '^page host ready' "$log" 2>/dev/null && return 0
    kill -0 "$page_host_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "page host did not become ready; its output:" >&2
  cat "$log" >&2
  return 1
}

# Tells the page host to stop (it calls OnUnload) and waits for it, at most $1 seconds.
stop_page_host() {
  local limit="${1:-20}" i
  touch "$stop_file"
  for ((i = 0; i < limit * 10; i++)); do
    if ! kill -0 "$page_host_pid" 2>/dev/null; then
      wait "$page_host_pid"
      local status=$?
      rm -f "$stop_file"
      return "$status"
    fi
    sleep 0.1
  done
  echo "page host did not stop within ${limit} s" >&2
  return 1
}

# The moment (date +%s%N) a client said it let go of its last object, from
# its line "released at SECONDS" (VBScript's Timer: seconds since local
# midnight) in the output file $1; nothing when it did not say.
release_time() {
  local seconds midnight
  seconds="$(tr -d '\r' <"$1" | sed -n 's/^released at \([0-9.,]*\)$/\1/p' | tr ',' '.' | tail -n 1)"
  [ -n "$seconds" ] || return 0
  midnight="$(date -d "$(date +%F) 00:00:00" +%s)"
  awk -v m="$midnight" -v s="$seconds" 'BEGIN { printf "%.0f\n", (m + s) * 1e9 }'
}

# Runs a client script with cscript; its output goes to stdout. The output
# passes through a file: a server that this client starts inherits the
# client's output handles, and a pipe would stay open until the server ends.
# The moment the client's summary line appears (it prints it after its last
# release) goes to the file $client_summary_time: a loaded machine may take
# a second more to end the client's process. Whether a server process of this
# prefix ran meanwhile goes to $client_saw_server (a server may have ended by
# itself before the client's process does). With $2, a client still running
# after that many seconds is ended by its pid (status 124).
run_client() {
  local out pid status polls=0 limit="${2:-}" start timed_out=0
  out="$(mktemp "${TMPDIR:-/tmp}/vaduna-client.XXXXXX")"
  # client_cscript names another script host (the 32-bit one) when set.
  ${client_cscript:-wine64 cscript} //nologo "$(win_path "$1")" </dev/null >"$out" 2>"$out.err" &
  pid=$!
  start="$(date +%s)"
  rm -f "$client_summary_time" "$client_saw_server"
  while kill -0 "$pid" 2>/dev/null; do
    if [ ! -f "$client_summary_time" ] && grep -q ' passed, ' "$out"; then
      date +%s%N >"$client_summary_time"
    fi
    if [ ! -f "$client_saw_server" ] && [ $((polls++ % 4)) -eq 0 ] && [ -n "$(server_pids)" ]; then
      : >"$client_saw_server"
    fi
    if [ -n "$limit" ] && [ $(($(date +%s) - start)) -ge "$limit" ]; then
      kill "$pid" 2>/dev/null
      echo "the client was still running after $limit s and was ended" >>"$out.err"
      timed_out=1
      break
    fi
    sleep 0.05
  done
  wait "$pid"
  status=$?
  [ "$timed_out" -eq 0 ] || status=124
  [ -f "$client_summary_time" ] || date +%s%N >"$client_summary_time"
  local released
  released="$(release_time "$out")"
  [ -z "$released" ] || echo "$released" >"$client_summary_time"
  tr -d '\r' <"$out" | grep -v '^released at '
  wine_diagnostics <"$out.err" >&2
  rm -f "$out" "$out.err"
  return "$status"
}

# Ends a process of ours by its pid with signal $2 and waits for it, at most
# $3 seconds; then SIGKILL.
end_process() {
  local pid="$1" signal="$2" limit="$3" i
  kill -0 "$pid" 2>/dev/null || return 0
  kill "-$signal" "$pid" 2>/dev/null
  for ((i = 0; i < limit * 10; i++)); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  echo "process $pid did not end within $limit s of SIG$signal; killing it" >&2
  kill -KILL "$pid" 2>/dev/null
}

# The processes of the Chromium whose profile is the folder $1 (the browser
# and its helpers), by pid.
chromium_pids() {
  local pid args
  ps -eo pid=,args= | while read -r pid args; do
    case "$args" in *"--user-data-dir=$1"*) echo "$pid" ;; esac
  done
}
