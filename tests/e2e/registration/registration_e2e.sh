#!/usr/bin/env bash
# Registers, re-registers and unregisters the server executable in a private
# Wine prefix and compares the registry with the expected entries; checks that
# "-regserver" registers and that "/RegServer /s" serves instead.
# Usage: registration_e2e.sh SERVER_EXE WORK_DIR APPID LIBID CLSID_APP CLSID_PROPSET CLSID_SERVICE
set -u
exe="$1" work="$2" appid="{$3}" libid="{$4}"
clsid_app="{$5}" clsid_propset="{$6}" clsid_service="{$7}"

. "$(dirname "${BASH_SOURCE[0]}")/../../../tools/wine-env.sh"
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all
# The Wine processes of an earlier run that was cut short end before its
# prefix goes: once the folder is gone they could no longer be reached.
[ -d "$WINEPREFIX" ] && wineserver -k >/dev/null 2>&1
rm -rf "$work"
mkdir -p "$work"
WINEDLLOVERRIDES="mscoree,mshtml=" wine64 wineboot -i >/dev/null 2>&1 </dev/null
wineserver -w
wineserver -p >/dev/null 2>&1
trap 'wineserver -k >/dev/null 2>&1' EXIT
wine64 cmd /c exit >/dev/null 2>&1 </dev/null

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# An absolute Linux path as Wine sees it on drive Z:. Not Debian's `winepath`: with Wine's 32-bit part
# installed it starts the 32-bit loader, which may not run here at all.
win_path() { printf 'Z:%s' "${1//\//\\}"; }

win_exe="$(win_path "$exe")"

run_server() {  # prints nothing; returns the exit code
  wine64 "$exe" "$@" >/dev/null 2>&1 </dev/null
}

# The keys below one root, exported once per check into $work/snapshot.txt
# (UTF-8, no carriage returns): one Wine process per check instead of one
# per key keeps the test quick on a loaded machine. A Wine process start can
# fail now and then there, so the export is tried three times.
take_snapshot() {
  local file="$work/export.reg" try
  rm -f "$file"
  : >"$work/snapshot.txt"
  for try in 1 2 3; do
    wine64 reg export "$1" "$(win_path "$file")" /y >/dev/null 2>&1 </dev/null && break
  done
  [ -f "$file" ] || { fail "could not export $1"; return 1; }
  iconv -f UTF-16LE -t UTF-8 "$file" | tr -d '\r' | sed '1s/^\xEF\xBB\xBF//' |
    grep -v '^Windows Registry Editor' | grep -v '^$' >"$work/snapshot.txt"
}

# The .reg text of one key of the snapshot (without its subkeys).
export_key() {
  key_exists "$1" || { echo "(absent $1)"; return; }
  awk -v root="[$1" 'BEGIN { IGNORECASE = 1 } /^\[/ { keep = (tolower($0) == tolower(root "]")) } keep' \
    "$work/snapshot.txt"
}

key_exists() {
  grep -qiFx "[$1]" "$work/snapshot.txt"
}

reg_escape() { printf '%s' "$1" | sed 's/\\/\\\\/g; s/"/\\"/g'; }

# The classes root that a registration writes to: the machine's, or the
# current user's for the PerUser switches.
machine_root='HKEY_CLASSES_ROOT'
user_root='HKEY_CURRENT_USER\Software\Classes'

expected_listing() {
  local root="$1" server
  server="$(reg_escape "\"$win_exe\"")"
  cat <<EOT
[$root\\AppID\\$appid]
@="VadunaHTML"
[$root\\AppID\\VadunaAx_Desktop_Integration_20444.EXE]
"AppID"="$appid"
EOT
  local rows=(
    "$clsid_app|Vaduna.Desktop_Integration_Application.1|Vaduna.Desktop_Integration_Application|VadunaHTMLApplication Class|Vaduna Desktop Integration|Vaduna.Desktop_Integration_Application.1|Vaduna.Desktop_Integration_Application"
    "$clsid_propset|Vaduna.Desktop_Integration_PropertySet.1|Vaduna.Desktop_Integration_VadunaPropertySet|VadunaPropertySet Class|VadunaPropertySet Class|Vaduna.Desktop_Integration_VadunaPropertySet.1|Vaduna.Desktop_Integration_VadunaPropertySet"
    "$clsid_service|Vaduna.Desktop_Integration_Service.1|Vaduna.Desktop_Integration_Service|VadunaService Class|VadunaService Class|Vaduna.Desktop_Integration_Service.1|Vaduna.Desktop_Integration_Service"
  )
  local row clsid p1 p2 d c v1 v2
  for row in "${rows[@]}"; do
    IFS='|' read -r clsid p1 p2 d c v1 v2 <<<"$row"
    cat <<EOT
[$root\\$p1]
@="$d"
[$root\\$p1\\CLSID]
@="$clsid"
[$root\\$p2]
@="$d"
[$root\\$p2\\CLSID]
@="$clsid"
[$root\\CLSID\\$clsid]
@="$c"
"AppID"="$appid"
[$root\\CLSID\\$clsid\\ProgID]
@="$v1"
[$root\\CLSID\\$clsid\\VersionIndependentProgID]
@="$v2"
[$root\\CLSID\\$clsid\\LocalServer32]
@="$server"
EOT
  done
}

# Our keys, in the order of expected_listing.
our_keys() {
  local root="$1"
  echo "$root\\AppID\\$appid"
  echo "$root\\AppID\\VadunaAx_Desktop_Integration_20444.EXE"
  local clsid names name
  for names in "$clsid_app Vaduna.Desktop_Integration_Application.1 Vaduna.Desktop_Integration_Application" \
               "$clsid_propset Vaduna.Desktop_Integration_PropertySet.1 Vaduna.Desktop_Integration_VadunaPropertySet" \
               "$clsid_service Vaduna.Desktop_Integration_Service.1 Vaduna.Desktop_Integration_Service"; do
    set -- $names
    clsid="$1"
    for name in "$2" "$3"; do
      echo "$root\\$name"
      echo "$root\\$name\\CLSID"
    done
    for name in "" "\\ProgID" "\\VersionIndependentProgID" "\\LocalServer32"; do
      echo "$root\\CLSID\\$clsid$name"
    done
  done
}

actual_listing() {
  local key
  our_keys "$1" | while read -r key; do export_key "$key"; done
}

check_registered() {
  local label="$1" root="${2:-$machine_root}"
  take_snapshot "$root"
  if ! diff <(expected_listing "$root") <(actual_listing "$root") >"$work/diff.txt"; then
    fail "$label: registry differs from the expected entries"
    cat "$work/diff.txt"
  fi
  local catid
  for catid in "{7DD95801-9882-11CF-9FA9-00AA006C42C4}" "{7DD95802-9882-11CF-9FA9-00AA006C42C4}"; do
    key_exists "$root\\CLSID\\$clsid_app\\Implemented Categories\\$catid" ||
      fail "$label: category $catid of the application class missing"
  done
  local other
  for other in "$clsid_propset" "$clsid_service"; do
    key_exists "$root\\CLSID\\$other\\Implemented Categories" &&
      fail "$label: class $other has categories"
  done
  key_exists "$root\\TypeLib\\$libid\\1.0" || fail "$label: type library not registered"
}

check_unregistered() {
  local label="$1" root="${2:-$machine_root}" key
  take_snapshot "$root"
  while read -r key; do
    key_exists "$key" && fail "$label: $key remains"
  done < <(our_keys "$root")
  key_exists "$root\\TypeLib\\$libid" && fail "$label: type library remains"
  [ "$root" = "$machine_root" ] || return 0
  key_exists "$root\\AppID" || fail "$label: the shared AppID key was removed"
  key_exists "$root\\CLSID" || fail "$label: the shared CLSID key was removed"
}

# Before any registration every script finds nothing to remove; the exit
# code is the type library removal's failure, E_INVALIDARG under Wine (its
# low byte, 0x57, is what the Linux exit status keeps).
run_server /UnregServer; rc=$?
[ "$rc" -eq 87 ] || fail "/UnregServer before registration: exit code $rc, expected 87"
check_unregistered "unregistration before registration"

# Per user: the same keys under the user's classes root, needing no
# administrator, and the machine's classes untouched throughout. (Wine does
# not merge the user's classes into HKEY_CLASSES_ROOT, so a client there
# cannot activate a per-user registration; the keys are what can be shown.)
run_server /RegServerPerUser; rc=$?
[ "$rc" -eq 0 ] || fail "/RegServerPerUser exit code $rc"
check_registered "per-user registration" "$user_root"
check_unregistered "the machine after per-user registration"
run_server -regserverperuser; rc=$?
[ "$rc" -eq 0 ] || fail "second per-user registration exit code $rc"
check_registered "second per-user registration" "$user_root"
run_server /UnregServerPerUser; rc=$?
[ "$rc" -eq 0 ] || fail "/UnregServerPerUser exit code $rc"
check_unregistered "per-user unregistration" "$user_root"
check_unregistered "the machine after per-user unregistration"

run_server /RegServer; rc=$?
[ "$rc" -eq 0 ] || fail "/RegServer exit code $rc"
check_registered "first registration"
check_unregistered "the user's classes after machine-wide registration" "$user_root"

run_server /RegServer; rc=$?
[ "$rc" -eq 0 ] || fail "second /RegServer exit code $rc"
check_registered "second registration"

run_server /UnregServer; rc=$?
[ "$rc" -eq 0 ] || fail "/UnregServer exit code $rc"
check_unregistered "unregistration"

run_server -regserver; rc=$?
[ "$rc" -eq 0 ] || fail "-regserver exit code $rc"
check_registered "-regserver"

# What a client would find, healthy and with the registered file moved away.
wine64 "$exe" /Diagnose >"$work/diagnosis.txt" 2>/dev/null </dev/null; rc=$?
diagnosis="$(tr -d '\r' <"$work/diagnosis.txt")"
[ "$rc" -eq 0 ] || fail "/Diagnose of a healthy registration: exit code $rc"
echo "$diagnosis" | grep -q "^    Vaduna.Desktop_Integration_Application -> class $clsid_app -> .*(file present)$" ||
  fail "/Diagnose does not show the application's server file: $diagnosis"
echo "$diagnosis" | grep -q '^Verdict: clients can reach the server' || fail "/Diagnose verdict: $diagnosis"
mkdir -p "$work/moved"
cp "$exe" "$work/moved/"
moved_exe="$work/moved/$(basename "$exe")"
wine64 "$moved_exe" /RegServer >/dev/null 2>&1 </dev/null || fail "/RegServer of the moved copy failed"
rm -f "$moved_exe"
wine64 "$exe" /Diagnose >"$work/diagnosis.txt" 2>/dev/null </dev/null; rc=$?
diagnosis="$(tr -d '\r' <"$work/diagnosis.txt")"
[ "$rc" -eq 1 ] || fail "/Diagnose with the server file moved away: exit code $rc, expected 1"
echo "$diagnosis" | grep -q '(FILE MISSING)$' || fail "/Diagnose does not show the missing file: $diagnosis"
echo "$diagnosis" | grep -q '^Verdict: no client can reach the server: the server file' || fail "/Diagnose verdict: $diagnosis"
run_server /RegServer || fail "registering again from the build"

# Neither switch word ends the command line: the process serves (and would
# end by itself after its idle time).
wine64 "$exe" /RegServer /s >/dev/null 2>&1 </dev/null &
server_pid=$!
sleep 2
if kill -0 "$server_pid" 2>/dev/null; then
  kill "$server_pid" 2>/dev/null
  wait "$server_pid" 2>/dev/null
else
  fail "'/RegServer /s' did not keep serving"
fi

wineserver -k >/dev/null 2>&1
wineserver -w
if [ "$failures" -eq 0 ]; then
  echo "registration e2e: all checks passed"
  # The prefix is large; a failed run keeps it for a look.
  rm -rf "$work"
  exit 0
fi
echo "registration e2e: $failures failure(s)"
exit 1
