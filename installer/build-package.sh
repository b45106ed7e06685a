#!/usr/bin/env bash
# Builds one Windows Installer package from vaduna.wxs with wixl (msitools).
# Usage: build-package.sh SCOPE VERSION PRODUCT_CODE UPGRADE_CODE BIN_DIR WEB_DIR SCRIPT_DIR OUTPUT.msi [NAME=VALUE]...
#   SCOPE perMachine or perUser; BIN_DIR holds the server and the connector, SCRIPT_DIR the configured custom
#   action script; each NAME=VALUE is one more definition for vaduna.wxs (the names of the contract).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
scope="$1" version="$2" product_code="$3" upgrade_code="$4" bin_dir="$5" web_dir="$6" script_dir="$7" output="$8"
shift 8
definitions=()
for definition in "$@"; do definitions+=(-D "$definition"); done

# wixl 0.101 finds a file only by a path relative to its working folder.
cd "$here"
relative() { realpath -m --relative-to="$here" "$1"; }
mkdir -p "$(dirname "$output")"
rm -f "$output"
# wixl only warns about an attribute it does not know, and leaves it out of
# the package: such a package would do something else than its source says,
# so a warning fails the build.
warnings="$(mktemp)"
trap 'rm -f "$warnings"' EXIT
wixl -a x64 -D Scope="$scope" -D Version="$version" -D ProductCode="$product_code" \
  -D UpgradeCode="$upgrade_code" -D BinDir="$(relative "$bin_dir")" -D WebDir="$(relative "$web_dir")" \
  -D ScriptDir="$(relative "$script_dir")" "${definitions[@]}" -o "$output" vaduna.wxs 2>"$warnings" || status=$?
if [ "${status:-0}" -ne 0 ] || [ -s "$warnings" ]; then
  cat "$warnings" >&2
  rm -f "$output"
  echo "build-package.sh: wixl failed or warned on vaduna.wxs ($scope); no package" >&2
  exit 1
fi

# The connector's settings reach the installation's server side (elevated)
# when the client side is not elevated only as secure properties. wixl writes
# SecureCustomProperties itself, for the upgrade's properties, and has no way
# to add to it: the package gets them here.
# msiinfo ends its lines with CR LF: the CR must not become part of a name.
properties="$(msiinfo export "$output" Property | tr -d '\r')"
secure="$(awk -F '\t' '$1 == "SecureCustomProperties" { print $2 }' <<<"$properties")"
secure="${secure:+$secure;}ALLOWED_ORIGINS;CONNECTOR_PORT"
if grep -q '^SecureCustomProperties'$'\t' <<<"$properties"; then
  msibuild "$output" -q "UPDATE \`Property\` SET \`Value\` = '$secure' WHERE \`Property\` = 'SecureCustomProperties'"
else
  msibuild "$output" -q "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('SecureCustomProperties', '$secure')"
fi
