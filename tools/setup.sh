#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, where it is missing.
set -euo pipefail
# wine brings the wine and wineserver commands, wine64-tools the IDL compiler
# widl, libwine-dev the IDL files widl reads; procps gives the runners ps.
# The connector builds on Boost's headers (Beast, Asio, JSON); its browser
# test runs headless Chromium and Firefox (firefox-esr, driven through WebDriver
# BiDi) and Node (the page's static server, DevTools).
# The installer packages are built with wixl and finished with msitools' msibuild.
# Xvfb gives the connector's dialog and icon tests a virtual display.
packages=(cmake ninja-build mingw-w64 wine wine64 wine64-tools libwine-dev googletest procps libboost1.81-dev chromium
  firefox-esr wixl msitools xvfb)
# Node from another source (a newer one) counts: Debian's package only where node is missing.
command -v node >/dev/null || packages+=(nodejs)
# Wine's 32-bit part serves the tests' 32-bit client (as 32-bit office macros
# are). It is wanted, not needed: where it cannot be installed (a mirror whose
# i386 index is out of step, a machine without 32-bit emulation) the 32-bit
# road is skipped with its reason, and everything else runs.
optional=(wine32:i386)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=() missing_optional=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
for p in "${optional[@]}"; do installed "$p" || missing_optional+=("$p"); done
# An optional package that could not be installed is tried again after a day,
# not at every build.
tried="${XDG_CACHE_HOME:-$HOME/.cache}/vaduna-setup-optional-tried"
if [ ${#missing[@]} -eq 0 ] && [ -n "$(find "$tried" -mmin -1440 2>/dev/null)" ]; then
  missing_optional=()
fi
# The page library's dev dependency (TypeScript, which checks its declarations) as web/package-lock.json pins
# it, installed again only when the lock changed.
web_packages() {
  local web
  web="$(cd "$(dirname "${BASH_SOURCE[0]}")/../web" && pwd)"
  cmp -s "$web/package-lock.json" "$web/node_modules/.setup-lock" && return 0
  echo "setup: npm ci in web/"
  (cd "$web" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
  cp "$web/package-lock.json" "$web/node_modules/.setup-lock"
}
if [ ${#missing[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ]; then
  web_packages
  exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt_get() { DEBIAN_FRONTEND=noninteractive $sudo apt-get "$@"; }
dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
# A mirror in the middle of a sync answers some indexes wrongly for a while:
# the update is tried again, and an index that still fails is left out (apt
# keeps the one it had).
for attempt in 1 2 3; do
  apt_get update -qq && break
  echo "setup: apt-get update failed (attempt $attempt of 3)" >&2
  [ "$attempt" -lt 3 ] && sleep 20
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt_get install -y -qq "${missing[@]}" >/dev/null
fi
if [ ${#missing_optional[@]} -gt 0 ]; then
  echo "setup: installing ${missing_optional[*]}"
  if ! apt_get install -y -qq "${missing_optional[@]}" >/dev/null; then
    echo "setup: ${missing_optional[*]} could not be installed; the tests that need it are skipped" >&2
    mkdir -p "$(dirname "$tried")" && touch "$tried"
  fi
fi
web_packages
