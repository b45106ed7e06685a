#!/usr/bin/env bash
# Registers, re-registers and unregisters the server executable in a private
# Wine prefix and compares the registry with the expected entries; checks that
# "-regserver" registers and that "/RegServer /s" serves instead.
# Usage: registration_e2e.sh SERVER_EXE WORK_DIR APPID LIBID CLSID_APP CLSID_PROPSET CLSID_SERVICE IID...
#   IID: the interfaces that the type library registers
set -u
exe="$1" work="$2" appid="{$3}" libid="{$4}"
clsid_app="{$5}" clsid_propset="{$6}" clsid_service="{$7}"
shift 7
interface_ids=()
for iid in "$@"; do interface_ids+=("{$iid}"); done

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

run_server() {  # prints nothing; returns the exit code
  wine64 "$exe" "$@" >/dev/null 2>&1 </dev/null
}

. "$(dirname "${BASH_SOURCE[0]}")/registration_listing.sh"

# Named without Wine's winepath, whose script starts plain `wine`: the 32-bit
# loader where Wine's 32-bit part is installed.
win_exe="$(registration_win_path "$exe")"

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
echo "$diagnosis" | grep -q "^    ${progid_app//./\\.} -> class $clsid_app -> .*(file present)$" ||
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
