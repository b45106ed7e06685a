#!/usr/bin/env bash
# Registers, re-registers and unregisters the server executable in a private
# Wine prefix and compares the registry with the expected entries; checks that
# "-regserver" registers and that "/RegServer /s" serves instead.
# Usage: registration_e2e.sh SERVER_EXE WORK_DIR APPID LIBID CLSID_APP CLSID_PROPSET CLSID_SERVICE
set -u
exe="$1" work="$2" appid="{$3}" libid="{$4}"
clsid_app="{$5}" clsid_propset="{$6}" clsid_service="{$7}"

export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all
rm -rf "$work"
mkdir -p "$work"
WINEDLLOVERRIDES="mscoree,mshtml=" wine wineboot -i >/dev/null 2>&1 </dev/null
wineserver -w
wineserver -p >/dev/null 2>&1
trap 'wineserver -k >/dev/null 2>&1' EXIT
wine cmd /c exit >/dev/null 2>&1 </dev/null

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

win_exe="$(winepath -w "$exe" 2>/dev/null)"

run_server() {  # prints nothing; returns the exit code
  wine "$exe" "$@" >/dev/null 2>&1 </dev/null
}

# The .reg text of one key (without its subkeys), header line dropped.
export_key() {
  local file="$work/export.reg"
  rm -f "$file"
  # A Wine process start can fail now and then on a loaded machine: an
  # absent key is only believed after three tries.
  local try
  for try in 1 2 3; do
    wine reg export "$1" "$(winepath -w "$file" 2>/dev/null)" /y >/dev/null 2>&1 </dev/null && break
    [ "$try" -eq 3 ] && { echo "(absent $1)"; return; }
  done
  iconv -f UTF-16LE -t UTF-8 "$file" | tr -d '\r' | sed '1s/^\xEF\xBB\xBF//' |
    grep -v '^Windows Registry Editor' | grep -v '^$' |
    awk -v root="[$1" 'BEGIN { IGNORECASE = 1 } /^\[/ { keep = (tolower($0) == tolower(root "]")) } keep'
}

key_exists() {  # absent only after three tries, as in export_key
  local try
  for try in 1 2 3; do
    wine reg query "$1" >/dev/null 2>&1 </dev/null && return 0
  done
  return 1
}

reg_escape() { printf '%s' "$1" | sed 's/\\/\\\\/g; s/"/\\"/g'; }

expected_listing() {
  local server
  server="$(reg_escape "\"$win_exe\"")"
  cat <<EOT
[HKEY_CLASSES_ROOT\\AppID\\$appid]
@="VadunaHTML"
[HKEY_CLASSES_ROOT\\AppID\\VadunaAx_Desktop_Integration_20444.EXE]
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
[HKEY_CLASSES_ROOT\\$p1]
@="$d"
[HKEY_CLASSES_ROOT\\$p1\\CLSID]
@="$clsid"
[HKEY_CLASSES_ROOT\\$p2]
@="$d"
[HKEY_CLASSES_ROOT\\$p2\\CLSID]
@="$clsid"
[HKEY_CLASSES_ROOT\\CLSID\\$clsid]
@="$c"
"AppID"="$appid"
[HKEY_CLASSES_ROOT\\CLSID\\$clsid\\ProgID]
@="$v1"
[HKEY_CLASSES_ROOT\\CLSID\\$clsid\\VersionIndependentProgID]
@="$v2"
[HKEY_CLASSES_ROOT\\CLSID\\$clsid\\LocalServer32]
@="$server"
EOT
  done
}

# Our keys, in the order of expected_listing.
our_keys() {
  echo "HKEY_CLASSES_ROOT\\AppID\\$appid"
  echo "HKEY_CLASSES_ROOT\\AppID\\VadunaAx_Desktop_Integration_20444.EXE"
  local clsid names name
  for names in "$clsid_app Vaduna.Desktop_Integration_Application.1 Vaduna.Desktop_Integration_Application" \
               "$clsid_propset Vaduna.Desktop_Integration_PropertySet.1 Vaduna.Desktop_Integration_VadunaPropertySet" \
               "$clsid_service Vaduna.Desktop_Integration_Service.1 Vaduna.Desktop_Integration_Service"; do
    set -- $names
    clsid="$1"
    for name in "$2" "$3"; do
      echo "HKEY_CLASSES_ROOT\\$name"
      echo "HKEY_CLASSES_ROOT\\$name\\CLSID"
    done
    for name in "" "\\ProgID" "\\VersionIndependentProgID" "\\LocalServer32"; do
      echo "HKEY_CLASSES_ROOT\\CLSID\\$clsid$name"
    done
  done
}

actual_listing() {
  local key
  our_keys | while read -r key; do export_key "$key"; done
}

check_registered() {
  local label="$1"
  if ! diff <(expected_listing) <(actual_listing) >"$work/diff.txt"; then
    fail "$label: registry differs from the expected entries"
    cat "$work/diff.txt"
  fi
  local catid
  for catid in "{7DD95801-9882-11CF-9FA9-00AA006C42C4}" "{7DD95802-9882-11CF-9FA9-00AA006C42C4}"; do
    key_exists "HKEY_CLASSES_ROOT\\CLSID\\$clsid_app\\Implemented Categories\\$catid" ||
      fail "$label: category $catid of the application class missing"
  done
  local other
  for other in "$clsid_propset" "$clsid_service"; do
    key_exists "HKEY_CLASSES_ROOT\\CLSID\\$other\\Implemented Categories" &&
      fail "$label: class $other has categories"
  done
  key_exists "HKEY_CLASSES_ROOT\\TypeLib\\$libid\\1.0" || fail "$label: type library not registered"
}

check_unregistered() {
  local label="$1" key
  while read -r key; do
    key_exists "$key" && fail "$label: $key remains"
  done < <(our_keys)
  key_exists "HKEY_CLASSES_ROOT\\TypeLib\\$libid" && fail "$label: type library remains"
  key_exists "HKEY_CLASSES_ROOT\\AppID" || fail "$label: the shared AppID key was removed"
  key_exists "HKEY_CLASSES_ROOT\\CLSID" || fail "$label: the shared CLSID key was removed"
}

# Before any registration every script finds nothing to remove; the exit
# code is the type library removal's failure, E_INVALIDARG under Wine (its
# low byte, 0x57, is what the Linux exit status keeps).
run_server /UnregServer; rc=$?
[ "$rc" -eq 87 ] || fail "/UnregServer before registration: exit code $rc, expected 87"
check_unregistered "unregistration before registration"

run_server /RegServer; rc=$?
[ "$rc" -eq 0 ] || fail "/RegServer exit code $rc"
check_registered "first registration"

run_server /RegServer; rc=$?
[ "$rc" -eq 0 ] || fail "second /RegServer exit code $rc"
check_registered "second registration"

run_server /UnregServer; rc=$?
[ "$rc" -eq 0 ] || fail "/UnregServer exit code $rc"
check_unregistered "unregistration"

run_server -regserver; rc=$?
[ "$rc" -eq 0 ] || fail "-regserver exit code $rc"
check_registered "-regserver"

# Neither switch word ends the command line: the process serves (and would
# end by itself after its idle time).
wine "$exe" /RegServer /s >/dev/null 2>&1 </dev/null &
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
