#!/usr/bin/env bash
# Runs a Windows program of the build under Wine, in the build tree's prefix.
# Usage: wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# CTest uses it as the cross-compiling emulator.
set -eu
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/wine-env.sh"
vaduna_wine_prefix "$1"
shift
exec wine "$@"
