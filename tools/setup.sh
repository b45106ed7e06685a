#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, where it is missing.
set -euo pipefail
# wine brings the wine and wineserver commands, wine64-tools the IDL compiler
# widl, libwine-dev the IDL files widl reads; procps gives the runners ps.
# The page connector builds on Boost's headers (Beast, Asio, JSON); its browser
# test runs headless Chromium and Node (the page's static server, DevTools).
# The installer packages are built with wixl and finished with msitools' msibuild.
packages=(cmake ninja-build mingw-w64 wine wine64 wine64-tools libwine-dev googletest procps libboost1.81-dev chromium
  wixl msitools)
# Wine's 32-bit part serves the tests' 32-bit client (as 32-bit office macros
# are); the tools name their loader, so they work with and without it.
packages+=(wine32:i386)
# Node from another source (a newer one) counts: Debian's package only where node is missing.
command -v node >/dev/null || packages+=(nodejs)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "setup: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
