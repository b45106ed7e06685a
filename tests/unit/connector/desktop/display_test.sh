#!/usr/bin/env bash
# Runs a test program under a virtual X display (Xvfb), in a Wine prefix of
# its own: Wine makes windows only with a display, and takes the display when
# the prefix's wineserver starts, so the build's shared prefix (whose
# wineserver runs without one) cannot serve. Exit code 77: no Xvfb here.
#   display_test.sh SOURCE_DIR BUILD_DIR PROGRAM.exe [ARGS...]
set -euo pipefail
source_dir="$1" build="$2"
shift 2
if ! command -v xvfb-run >/dev/null; then
  echo "skipped: no xvfb-run (Debian's xvfb, which tools/setup.sh installs)"
  exit 77
fi
prefix="$build/e2e-desktop-prefix"
# A wineserver of this prefix left from an earlier run holds no display, or a display that has gone.
[ -f "$prefix/system.reg" ] && WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  source_dir="$1" prefix="$2"
  shift 2
  . "$source_dir/tools/wine-env.sh"
  trap "WINEPREFIX=\"$prefix\" wineserver -k >/dev/null 2>&1 || true" EXIT
  vaduna_wine_prefix "$prefix"
  "$source_dir/tools/wine-run.sh" "$prefix" "$@"
' display_test "$source_dir" "$prefix" "$@"
