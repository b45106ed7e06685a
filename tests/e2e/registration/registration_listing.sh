# Sourced by the end-to-end tests that register the server (its own switches,
# the installer): the registry entries that a registration writes, compared
# with the registry of a Wine prefix, for the machine's classes or the current
# user's (HKEY_CURRENT_USER\Software\Classes).
# The sourcing script sets
#   work        a folder for the exports
#   win_exe     the registered server file as Windows names it
#   appid libid clsid_app clsid_propset clsid_service   braced identifiers
#   interface_ids   (an array, may be empty) the interfaces the type library
#                   registers, braced
# and defines fail MESSAGE (counts a failure). Wine runs with the 64-bit loader:
# a 32-bit reg would see the 32-bit view, where a 64-bit registration is not.
#   check_registered LABEL [ROOT]     every entry as expected
#   check_unregistered LABEL [ROOT]   none of our keys left
#   take_snapshot ROOT, key_exists KEY   the keys below one root

registration_here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$registration_here/../../../tools/wine-env.sh"

# The names a registration writes, from interface/contract.json:
#   server_base (the server's file name without .exe), progid_app, progid_app_v, progid_set, progid_set_v,
#   progid_set_class, progid_service, progid_service_v
mapfile -t registration_names < <(node "$registration_here/../../../tools/contract.mjs" serverExecutable \
  progIds.application progIds.applicationVersioned progIds.propertySet progIds.propertySetVersioned \
  progIds.propertySetClassProgId progIds.service progIds.serviceVersioned)
if [ "${#registration_names[@]}" -ne 8 ]; then
  echo "FAIL: could not read the names from interface/contract.json"
  exit 1
fi
read -r server_base progid_app progid_app_v progid_set progid_set_v progid_set_class progid_service \
  progid_service_v <<<"${registration_names[*]}"

# A Linux path as Wine sees it on drive Z:.
registration_win_path() { printf 'Z:%s' "${1//\//\\}"; }

# The keys below one root, exported once per check into $work/snapshot.txt
# (UTF-8, no carriage returns; empty when the root does not exist): one Wine
# process per check instead of one per key keeps the test quick on a loaded
# machine. A Wine process start can fail now and then there, so the export is
# tried three times.
take_snapshot() {
  local file="$work/export.reg" try
  rm -f "$file"
  : >"$work/snapshot.txt"
  for try in 1 2 3; do
    wine64 reg export "$1" "$(registration_win_path "$file")" /y >/dev/null 2>&1 </dev/null && break
  done
  if [ ! -f "$file" ]; then
    # A root that does not exist holds none of our keys.
    wine64 reg query "$1" 2>&1 </dev/null | grep -q 'Unable to find the specified registry key' && return 0
    fail "could not export $1"
    return 1
  fi
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
[$root\\AppID\\$server_base.EXE]
"AppID"="$appid"
EOT
  local rows=(
    "$clsid_app|$progid_app_v|$progid_app|VadunaHTMLApplication Class|Vaduna Desktop Integration|$progid_app_v|$progid_app"
    "$clsid_propset|$progid_set_v|$progid_set|VadunaPropertySet Class|VadunaPropertySet Class|$progid_set_class|$progid_set"
    "$clsid_service|$progid_service_v|$progid_service|VadunaService Class|VadunaService Class|$progid_service_v|$progid_service"
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
  echo "$root\\AppID\\$server_base.EXE"
  local clsid names name
  for names in "$clsid_app $progid_app_v $progid_app" \
               "$clsid_propset $progid_set_v $progid_set" \
               "$clsid_service $progid_service_v $progid_service"; do
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
  key_exists "$root\\TypeLib\\$libid\\1.0\\409\\win32" || fail "$label: type library not registered for 32-bit clients"
  local iid
  for iid in "${interface_ids[@]}"; do
    key_exists "$root\\Interface\\$iid\\TypeLib" || fail "$label: interface $iid not registered"
  done
}

check_unregistered() {
  local label="$1" root="${2:-$machine_root}" key
  take_snapshot "$root"
  while read -r key; do
    key_exists "$key" && fail "$label: $key remains"
  done < <(our_keys "$root")
  key_exists "$root\\TypeLib\\$libid" && fail "$label: type library remains"
  local iid
  for iid in "${interface_ids[@]}"; do
    key_exists "$root\\Interface\\$iid" && fail "$label: interface $iid remains"
  done
  [ "$root" = "$machine_root" ] || return 0
  key_exists "$root\\AppID" || fail "$label: the shared AppID key was removed"
  key_exists "$root\\CLSID" || fail "$label: the shared CLSID key was removed"
}
