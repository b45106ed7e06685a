#!/usr/bin/env bash
# Installs and uninstalls the two packages of the build with Wine's msiexec, in
# a fresh Wine prefix of its own (one for both: each uninstallation must leave
# the prefix as it found it, which the next part then relies on):
#   - the packages' secure properties and elevation;
#   - a wrong origin refuses the installation and leaves nothing behind;
#   - machine-wide: the files under Program Files, the machine's registration
#     exactly as /RegServer writes it, /Diagnose content, a VBScript client
#     that activates the installed server, the Run entry with the configured
#     port and origins, from which a logon (a new Wine session) starts the
#     connector; a reinstallation given other origins and no port changes the
#     origins and keeps the port; after uninstalling, nothing in either
#     registry view names us, and drive C: holds what it held before;
#   - the same for the current user's package: its files in the user's local
#     programs folder, the registration under HKEY_CURRENT_USER\Software\Classes
#     with the machine's classes untouched; a reinstallation given no settings
#     keeps them. (Wine does not merge the user's classes into
#     HKEY_CLASSES_ROOT: no client activation is shown there.)
# Every Wine program runs with the 64-bit loader.
# Usage: installer_e2e.sh WORK_DIR MACHINE_MSI USER_MSI BIN_DIR APPID LIBID CLSID_APP CLSID_PROPSET
#          CLSID_SERVICE IID...
#   BIN_DIR: the built server and connector, which the packages must carry unchanged
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../../.." && pwd)"
work="$(realpath -m "$1")" machine_msi="$(realpath "$2")" user_msi="$(realpath "$3")" bin="$(realpath "$4")"
appid="{$5}" libid="{$6}"
clsid_app="{$7}" clsid_propset="{$8}" clsid_service="{$9}"
shift 9
interface_ids=()
for iid in "$@"; do interface_ids+=("{$iid}"); done

. "$root/tools/wine-env.sh"
. "$root/tests/e2e/registration/registration_listing.sh"

# Pids of the processes of this prefix whose command line holds $1 (other prefixes run the same programs).
prefix_pids() {
  local pid args
  ps -eo pid=,args= | while read -r pid args; do
    case "$args" in *"$1"*) ;; *) continue ;; esac
    tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qx "WINEPREFIX=$WINEPREFIX" && echo "$pid"
  done
}

# Waits, at most $1 seconds, until no server of this prefix runs; status 1 on time-out.
wait_server_gone() {
  local i
  for ((i = 0; i < $1 * 10; i++)); do
    [ -z "$(prefix_pids "$server_name")" ] && return 0
    sleep 0.1
  done
  return 1
}

# The names from interface/contract.json (registration_listing.sh has read the server's).
mapfile -t installer_names < <(node "$root/tools/contract.mjs" connectorExecutable connectorWindowlessExecutable \
  connector.runEntry settingsKey desktop.sitesSubkey)
if [ "${#installer_names[@]}" -ne 5 ]; then
  echo "FAIL: could not read the names from interface/contract.json"
  exit 1
fi
server_name="$server_base.exe"
connector_name="${installer_names[0]}.exe"
windowless_name="${installer_names[1]}.exe"
run_entry_name="${installer_names[2]}"
sites_key="HKCU\\${installer_names[3]}\\${installer_names[4]}"
run_key='Software\Microsoft\Windows\CurrentVersion\Run'
uninstall_key='Software\Microsoft\Windows\CurrentVersion\Uninstall'
origins_machine='https://app.example.com, http://127.0.0.1:8080'
origins_user='https://app.example.com'

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
started=$SECONDS
phase() { echo "[$((SECONDS - started)) s] $*"; }

export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all
# The Wine processes of an earlier run that was cut short end before its
# prefix goes: once the folder is gone they could no longer be reached.
[ -d "$WINEPREFIX" ] && wineserver -k >/dev/null 2>&1
rm -rf "$work"
mkdir -p "$work"
trap 'wineserver -k >/dev/null 2>&1' EXIT
phase "making the prefix"
WINEDLLOVERRIDES="mscoree,mshtml=" wine64 wineboot -i >/dev/null 2>&1 </dev/null
wineserver -w
wineserver -p >/dev/null 2>&1
wine64 cmd /c exit >/dev/null 2>&1 </dev/null
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "installer e2e: the Wine prefix $WINEPREFIX was not made"
  exit 1
fi

win() { registration_win_path "$1"; }

# Windows programs of the prefix that are not Wine's resident ones (which run
# as long as its wineserver does): msiexec and the custom-action server it
# leaves behind for a while, a connector a logon started, reg, wineboot.
# One "PID COMMAND LINE" a line; Wine shows a process's Windows command line.
busy_programs() {
  local pid args
  ps -eo pid=,args= | while read -r pid args; do
    case "$args" in [A-Za-z]:\\*) ;; *) continue ;; esac
    case "$args" in
      *\\services.exe* | *\\winedevice.exe* | *\\plugplay.exe* | *\\rpcss.exe* | *\\explorer.exe* | \
        *\\svchost.exe* | *\\conhost.exe*) continue ;;
    esac
    tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qx "WINEPREFIX=$WINEPREFIX" && echo "$pid $args"
  done
}

# Waits, at most $2 seconds, until no program of the prefix runs but Wine's
# resident ones: the next step must not meet the end of the last (an msiexec
# started while the one before still finishes in its custom-action server, or
# while the connector of a logon still runs from the installed folder, may
# fail without a log). $1 names the step for a failure.
settle() {
  local i busy first=""
  for ((i = 0; i < $2 * 10; i++)); do
    busy="$(busy_programs)"
    if [ -z "$busy" ]; then
      # What was waited for, to tell how long a step's end outlasts it.
      [ "$i" -eq 0 ] || echo "  $1: waited $((i / 10)).$((i % 10)) s for $(cut -d' ' -f2- <<<"$first" | tr '\n' ';')"
      return 0
    fi
    [ "$i" -gt 0 ] || first="$busy"
    sleep 0.1
  done
  fail "$1: programs of the prefix still running after $2 s: $(busy_programs | tr '\n' ';')"
}

# msiexec OPERATION PACKAGE LOG [PROPERTY=VALUE...]; status: msiexec's exit
# code (its low byte). The verbose log goes to $work/LOG. It starts on a
# settled prefix, and the next step waits until it has wholly ended.
msiexec_run() {
  local operation="$1" package="$2" log="$3" status=0
  shift 3
  settle "before msiexec $operation ($log)" 120
  wine64 msiexec "$operation" "$(win "$package")" /qn /l*v "$(win "$work/$log")" "$@" \
    </dev/null >/dev/null 2>&1 || status=$?
  settle "after msiexec $operation ($log)" 120
  return "$status"
}

# The property NAME of a package's Property table.
package_property() {
  # Only the line's own CR goes: one inside a value is a fault to show.
  msiinfo export "$1" Property | sed 's/\r$//' | awk -F '\t' -v name="$2" '$1 == name { print $2 }'
}

# What a package declares before anything runs: the connector's settings
# reach the elevated part of an installation (secure properties, each one a
# well-formed name), and whether the package asks for elevation (the summary's
# word count: 2 compressed, 10 compressed and no elevation).
check_package() {
  local label="$1" msi="$2" word_count="$3" names name
  names="$(package_property "$msi" SecureCustomProperties)"
  for name in ALLOWED_ORIGINS CONNECTOR_PORT; do
    tr ';' '\n' <<<"$names" | grep -qx "$name" || fail "$label: $name is not a secure property: $names"
  done
  tr ';' '\n' <<<"$names" | grep -qvx '[A-Za-z_][A-Za-z0-9_.]*' && fail "$label: a malformed secure property: $names"
  name="$(msiinfo suminfo "$msi" | tr -d '\r' | awk -F ': ' '$1 == "Source" { print $2 + 0 }')"
  [ "$name" = "$word_count" ] || fail "$label: word count $name, expected $word_count"
}

# A free loopback port, as the system hands one out.
free_port() {
  node -e 'const s = require("net").createServer();
           s.listen(0, "127.0.0.1", () => { console.log(s.address().port); s.close(); });'
}

# What the packages carry from web/, as the package source names it.
web_files() {
  grep -o 'Source="$(var.WebDir)/[^"]*"' "$root/installer/vaduna.wxs" | sed 's|^Source="$(var.WebDir)/||; s|"$||'
}

# What the packages install, relative to the install folder.
expected_files() {
  { printf '%s\n' "$server_name" "$connector_name" "$windowless_name"; web_files | sed 's|^|web/|'; } | LC_ALL=C sort
}

check_files() {
  local label="$1" dir="$2" file
  if [ ! -d "$dir" ]; then
    fail "$label: no folder $dir"
    return
  fi
  if ! diff <(expected_files) <(cd "$dir" && find . -type f | sed 's|^\./||' | LC_ALL=C sort) >"$work/files.diff"; then
    fail "$label: the installed files differ from the expected ones"
    cat "$work/files.diff"
  fi
  for file in "$server_name" "$connector_name" "$windowless_name"; do
    cmp -s "$bin/$file" "$dir/$file" || fail "$label: $file differs from the built one"
  done
  for file in $(web_files); do
    cmp -s "$root/web/$file" "$dir/web/$file" || fail "$label: web/$file differs from the source"
  done
}

# Nothing left below the vendor folder (which goes too).
check_no_files() {
  local label="$1" vendor_dir="$2"
  if [ -e "$vendor_dir" ]; then
    fail "$label: left on disk: $(cd "$vendor_dir" && find . | sed 1d | tr '\n' ' ')(in $vendor_dir)"
  fi
}

# A GUID as Windows Installer writes it in its own key names ("packed"): the
# first three groups reversed, each later byte's two digits swapped.
packed_guid() {
  local hex
  hex="$(printf '%s' "$1" | tr -d '{}-' | tr '[:lower:]' '[:upper:]')"
  printf '%s' "$(rev <<<"${hex:0:8}")$(rev <<<"${hex:8:4}")$(rev <<<"${hex:12:4}")"
  local i
  for ((i = 16; i < 32; i += 2)); do printf '%s' "${hex:i+1:1}${hex:i:1}"; done
  echo
}

# What names us anywhere in the registry, one per line, lower case: our name
# (in every path, program entry and value of ours), our identifiers, and the
# packages' codes in both forms. Set once the packages' codes are known.
trace_patterns() {
  local id
  echo vaduna
  for id in "$appid" "$libid" "$clsid_app" "$clsid_propset" "$clsid_service" "${interface_ids[@]}" \
            "$machine_code" "$user_code" "$upgrade_code"; do
    printf '%s\n' "$id" | tr -d '{}'
  done | tr '[:upper:]' '[:lower:]'
  for id in "$machine_code" "$user_code" "$upgrade_code"; do
    packed_guid "$id" | tr '[:upper:]' '[:lower:]'
  done
}

# Every file and folder of the prefix's drive C:, but for the temporary
# folders, whose content Wine's own programs change, and the installer's own
# cache folder, which its first run makes and keeps (empty once our package
# is gone; a cached package left in it would show).
drive_listing() {
  (cd "$WINEPREFIX/drive_c" && find . |
    grep -v -i -x -e '\./windows/temp/.*' -e '.*/appdata/local/temp/.*' -e '\./windows/installer' \
      -e '.*/appdata/local/vaduna' -e '.*/appdata/local/vaduna/.*' | LC_ALL=C sort)
}

# Nothing of ours anywhere: in the machine's and the user's registry, each in
# its 64-bit and its 32-bit view (an entry there, or a key the installer keeps
# for its own books, names us or one of our identifiers), and on drive C:
# exactly the files and folders there were before anything was installed.
check_nothing_left() {
  local label="$1" hive view file="$work/traces.reg" try
  : >"$work/traces.txt"
  for hive in HKEY_LOCAL_MACHINE HKEY_CURRENT_USER; do
    for view in 64 32; do
      rm -f "$file"
      for try in 1 2 3; do
        wine64 reg export "$hive" "$(win "$file")" "/reg:$view" /y >/dev/null 2>&1 </dev/null && break
      done
      if [ ! -f "$file" ]; then
        fail "$label: could not export $hive ($view-bit view)"
        continue
      fi
      iconv -f UTF-16LE -t UTF-8 "$file" | tr -d '\r' |
        awk -v view="$view" -v patterns="$work/trace-patterns.txt" '
          BEGIN { while ((getline p < patterns) > 0) if (p != "") pattern[p] = 1 }
          /^\[/ { key = $0 }
          { line = tolower($0)
            for (p in pattern) if (index(line, p)) { print "  (" view "-bit) " key ": " $0; break } }' \
        >>"$work/traces.txt"
    done
  done
  if [ -s "$work/traces.txt" ]; then
    fail "$label: the registry still names us:"
    head -n 20 "$work/traces.txt"
  fi
  if ! diff "$work/drive-before.txt" <(drive_listing) >"$work/drive.diff"; then
    fail "$label: drive C: differs from before the installations:"
    head -n 20 "$work/drive.diff"
  fi
}

# The value NAME of KEY (below ROOT, whose snapshot take_snapshot has taken),
# unescaped from the .reg text; status 1 when absent.
snapshot_value() {
  local key="$1" name="$2" line
  line="$(export_key "$key" | grep -F "\"$name\"=\"")" || return 1
  line="${line#\""$name"\"=\"}"
  line="${line%\"}"
  printf '%s\n' "$line" | sed 's/\\\\/\x01/g; s/\\"/"/g; s/\x01/\\/g'
}

# The Run entry below HIVE (HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER); status 1 when absent.
run_entry() {
  take_snapshot "$1\\Software\\Microsoft\\Windows\\CurrentVersion" || return 1
  snapshot_value "$1\\$run_key" "$run_entry_name"
}


# A site the user allowed from the connector's dialog, which uninstalling forgets
# (check_nothing_left finds it otherwise).
remember_a_site() {
  wine64 reg add "$sites_key" /v https://remembered.example.com /t REG_SZ \
    /d allow /f </dev/null >/dev/null 2>&1 || fail "could not write a remembered site"
}

# A new Wine session for the prefix, as at logon: its start (wineboot) runs the
# Run entries of the machine and of the user, which start the connector from
# exactly their command lines. The windowless connector must log that it
# listens on the port to its log file (below the user's local application
# data; uninstalling leaves it, as the user's), run with the Run entry's
# program and arguments, once; it is ended by its pid.
check_connector_at_logon() {
  local label="$1" command="$2" port="$3" i pids pid
  wineserver -k >/dev/null 2>&1
  wineserver -w
  wineserver -p >/dev/null 2>&1
  local log_file
  log_file="$(find "$WINEPREFIX/drive_c/users" -ipath '*/appdata/local/vaduna/desktop integration/connector.log' 2>/dev/null | head -n 1)"
  [ -z "$log_file" ] || rm -f "$log_file"
  wine64 wineboot </dev/null >"$work/logon.out" 2>&1
  for ((i = 0; i < 600; i++)); do
    log_file="$(find "$WINEPREFIX/drive_c/users" -ipath '*/appdata/local/vaduna/desktop integration/connector.log' 2>/dev/null | head -n 1)"
    [ -n "$log_file" ] && tr -d '\r' <"$log_file" | grep -q "listening on 127.0.0.1:$port," && break
    sleep 0.1
  done
  [ -n "$log_file" ] && tr -d '\r' <"$log_file" | grep -q "listening on 127.0.0.1:$port," ||
    fail "$label: the windowless connector did not log listening on port $port after logon: $(tr -d '\r' <"${log_file:-/dev/null}") $(tr -d '\r' <"$work/logon.out")"
  pids="$(prefix_pids "$windowless_name")"
  [ "$(echo "$pids" | grep -c .)" -eq 1 ] || fail "$label: not one connector after logon: pids $pids"
  for pid in $pids; do
    # Wine shows a process's Windows command line, the program unquoted.
    [ "$(ps -o args= -p "$pid")" = "${command//\"/}" ] ||
      fail "$label: the connector runs as $(ps -o args= -p "$pid"), not as the Run entry says"
    kill "$pid" 2>/dev/null
  done
  for ((i = 0; i < 100; i++)); do
    [ -z "$(prefix_pids "$windowless_name")" ] && break
    sleep 0.1
  done
  [ -z "$(prefix_pids "$windowless_name")" ] || fail "$label: the connector did not end"
  # wineboot's own start of the session (its Run entries, the services it starts) ends before the next step.
  settle "$label: after the logon" 120
}

# /Diagnose of the installed server: its report in $work/diagnosis.txt, status its exit code.
diagnose() {
  wine64 "$1" /Diagnose </dev/null 2>/dev/null | tr -d '\r' >"$work/diagnosis.txt"
  return "${PIPESTATUS[0]}"
}

# The product's entry among the installed programs, below HIVE; status 1 when absent.
uninstall_entry() {
  take_snapshot "$1\\Software\\Microsoft\\Windows\\CurrentVersion" || return 1
  key_exists "$1\\$uninstall_key\\$2"
}

machine_port="$(free_port)"
user_port="$(free_port)"
machine_code="$(package_property "$machine_msi" ProductCode)"
user_code="$(package_property "$user_msi" ProductCode)"
[ -n "$machine_code" ] && [ -n "$user_code" ] || fail "no product code in the packages"
check_package "the machine-wide package" "$machine_msi" 2
check_package "the per-user package" "$user_msi" 10
local_appdata="$(wine64 cmd /c echo %LOCALAPPDATA% </dev/null 2>/dev/null | tr -d '\r')"
machine_dir_win='C:\Program Files\Vaduna\Desktop Integration'
user_dir_win="$local_appdata\\Programs\\Vaduna\\Desktop Integration"
machine_dir="$WINEPREFIX/drive_c/Program Files/Vaduna/Desktop Integration"
user_dir="$(wine64 winepath -u "$user_dir_win" 2>/dev/null </dev/null)"
user_dir="${user_dir%/}"
[ -n "$local_appdata" ] && [ -n "$user_dir" ] || fail "cannot name the user's local programs folder"
upgrade_code="$(package_property "$machine_msi" UpgradeCode)"
trace_patterns >"$work/trace-patterns.txt"
drive_listing >"$work/drive-before.txt"

# --- a wrong origin -------------------------------------------------------
phase "installing machine-wide with a wrong origin"
msiexec_run /i "$machine_msi" refused.log 'ALLOWED_ORIGINS=https://app.example.com/shop'
rc=$?
[ "$rc" -ne 0 ] || fail "an origin with a path was accepted"
grep -aq 'https://app.example.com/shop is not an origin' "$work/refused.log" ||
  fail "the refusal does not name the wrong origin (log: $work/refused.log)"
check_nothing_left "after the refused installation"
win_exe="$machine_dir_win\\$server_name"

# --- machine-wide ---------------------------------------------------------
phase "installing machine-wide (ALLOWED_ORIGINS=$origins_machine, CONNECTOR_PORT=$machine_port)"
msiexec_run /i "$machine_msi" machine-install.log "ALLOWED_ORIGINS=$origins_machine" "CONNECTOR_PORT=$machine_port"
rc=$?
[ "$rc" -eq 0 ] || fail "machine-wide installation: msiexec exit code $rc (log: $work/machine-install.log)"
check_files "machine-wide installation" "$machine_dir"
check_registered "machine-wide installation"
check_unregistered "the user's classes after the machine-wide installation" "$user_root"
uninstall_entry HKEY_LOCAL_MACHINE "$machine_code" ||
  fail "machine-wide installation: not among the installed programs"

phase "the installed server: /Diagnose, a VBScript client"
diagnose "$win_exe"
rc=$?
[ "$rc" -eq 0 ] || fail "/Diagnose after the machine-wide installation: exit code $rc"
grep -qxF "    $progid_app -> class $clsid_app -> $win_exe (file present)" \
  "$work/diagnosis.txt" || fail "/Diagnose does not show the installed server: $(cat "$work/diagnosis.txt")"
client="$(node "$root/tools/harness/compose.mjs" "$root/tests/e2e/serving/activate_client.vbs" "$work/client")" ||
  fail "could not compose the VBScript client"
wine64 cscript //nologo "$(win "$client")" \
  </dev/null >"$work/client.out" 2>/dev/null
summary="$(tr -d '\r' <"$work/client.out" | tail -n 1)"
[ "$summary" = "2 passed, 0 failed" ] || fail "the VBScript client: $(tr -d '\r' <"$work/client.out")"
wait_server_gone 60 >/dev/null || fail "the activated server did not end by itself within 60 s"

phase "the Run entry, a logon"
command="$(run_entry HKEY_LOCAL_MACHINE)" || fail "machine-wide installation: no Run entry"
expected="\"$machine_dir_win\\$windowless_name\" --port $machine_port --allow-origin https://app.example.com --allow-origin http://127.0.0.1:8080"
[ "$command" = "$expected" ] || fail "machine-wide Run entry: $command, expected $expected"
run_entry HKEY_CURRENT_USER >/dev/null && fail "machine-wide installation: a Run entry for the user"
check_connector_at_logon "machine-wide installation" "$command" "$machine_port"

phase "reinstalling machine-wide with another origin, no port given"
msiexec_run /i "$machine_msi" machine-reinstall.log REINSTALL=ALL REINSTALLMODE=omus \
  'ALLOWED_ORIGINS=https://other.example.com'
rc=$?
[ "$rc" -eq 0 ] || fail "machine-wide reinstallation: msiexec exit code $rc (log: $work/machine-reinstall.log)"
command="$(run_entry HKEY_LOCAL_MACHINE)" || fail "machine-wide reinstallation: no Run entry"
expected="\"$machine_dir_win\\$windowless_name\" --port $machine_port --allow-origin https://other.example.com"
[ "$command" = "$expected" ] || fail "machine-wide Run entry after reinstalling: $command, expected $expected"
check_registered "machine-wide reinstallation"

phase "uninstalling machine-wide"
remember_a_site
msiexec_run /x "$machine_msi" machine-uninstall.log
rc=$?
[ "$rc" -eq 0 ] || fail "machine-wide uninstallation: msiexec exit code $rc (log: $work/machine-uninstall.log)"
check_no_files "machine-wide uninstallation" "$(dirname "$machine_dir")"
check_unregistered "machine-wide uninstallation"
check_nothing_left "machine-wide uninstallation"

# --- current user ---------------------------------------------------------
phase "installing for the current user (ALLOWED_ORIGINS=$origins_user, CONNECTOR_PORT=$user_port)"
msiexec_run /i "$user_msi" user-install.log "ALLOWED_ORIGINS=$origins_user" "CONNECTOR_PORT=$user_port"
rc=$?
[ "$rc" -eq 0 ] || fail "per-user installation: msiexec exit code $rc (log: $work/user-install.log)"
check_files "per-user installation" "$user_dir"
win_exe="$user_dir_win\\$server_name"
check_registered "per-user installation" "$user_root"
check_unregistered "the machine's classes after the per-user installation"
# Wine lists a product installed for the user among the machine's programs too.
uninstall_entry HKEY_LOCAL_MACHINE "$user_code" || fail "per-user installation: not among the installed programs"

phase "the installed server: /Diagnose"
# It names the user's registration; under Wine its verdict is that no client
# reaches the server, as Wine activates from the machine's classes only.
diagnose "$win_exe"
awk '/^Registration for the current user .*64-bit view/ { found = 1; next } /^Registration/ { found = 0 } found' \
  "$work/diagnosis.txt" >"$work/diagnosis-user.txt"
grep -qxF "    $progid_app -> class $clsid_app -> $win_exe (file present)" \
  "$work/diagnosis-user.txt" || fail "/Diagnose does not show the user's installed server: $(cat "$work/diagnosis.txt")"

phase "the Run entry, a logon"
command="$(run_entry HKEY_CURRENT_USER)" || fail "per-user installation: no Run entry"
expected="\"$user_dir_win\\$windowless_name\" --port $user_port --allow-origin https://app.example.com"
[ "$command" = "$expected" ] || fail "per-user Run entry: $command, expected $expected"
run_entry HKEY_LOCAL_MACHINE >/dev/null && fail "per-user installation: a Run entry for the machine"
check_connector_at_logon "per-user installation" "$command" "$user_port"

phase "reinstalling for the current user, no settings given"
msiexec_run /i "$user_msi" user-reinstall.log REINSTALL=ALL REINSTALLMODE=omus
rc=$?
[ "$rc" -eq 0 ] || fail "per-user reinstallation: msiexec exit code $rc (log: $work/user-reinstall.log)"
command="$(run_entry HKEY_CURRENT_USER)" || fail "per-user reinstallation: no Run entry"
[ "$command" = "$expected" ] || fail "per-user Run entry after reinstalling: $command, expected $expected"

phase "uninstalling for the current user"
remember_a_site
msiexec_run /x "$user_msi" user-uninstall.log
rc=$?
[ "$rc" -eq 0 ] || fail "per-user uninstallation: msiexec exit code $rc (log: $work/user-uninstall.log)"
check_no_files "per-user uninstallation" "$(dirname "$user_dir")"
check_unregistered "per-user uninstallation" "$user_root"
check_unregistered "the machine's classes after the per-user uninstallation"
check_nothing_left "per-user uninstallation"

phase "done"
wineserver -k >/dev/null 2>&1
wineserver -w
if [ "$failures" -eq 0 ]; then
  echo "installer e2e: all checks passed"
  # The prefix is large; a failed run keeps it, and the msiexec logs, for a look.
  rm -rf "$work"
  exit 0
fi
echo "installer e2e: $failures failure(s)"
exit 1
