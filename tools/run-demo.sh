#!/usr/bin/env bash
# The demo, the project's main job: builds, then tools/demo/demo.mjs registers the server in a Wine prefix
# of its own, attaches the demo web application in headless Chromium (or, given --browser firefox, headless
# Firefox) through the connector and runs the desktop client against it (see demo.mjs). Output in
# $VADUNA_BUILD_DIR/demo-output.
#   tools/run-demo.sh [--browser chromium|firefox]
set -uo pipefail
browser=chromium
if [ $# -gt 0 ]; then
  [ $# -eq 2 ] && [ "$1" = --browser ] && { [ "$2" = chromium ] || [ "$2" = firefox ]; } ||
    { echo "usage: tools/run-demo.sh [--browser chromium|firefox]" >&2; exit 2; }
  browser="$2"
fi
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VADUNA_BUILD_DIR:-$root/build}"
printf '\n== Building into %s\n' "$build"
log="$(mktemp "${TMPDIR:-/tmp}/vaduna-demo-build.XXXXXX")"
VADUNA_BUILD_DIR="$build" "$root/tools/build.sh" >"$log" 2>&1 || { tail -n 30 "$log" >&2; rm -f "$log"; echo "demo failed: the build failed" >&2; exit 1; }
rm -f "$log"
command="$browser"
[ "$browser" = firefox ] && command=firefox-esr
for tool in node "$command"; do
  command -v "$tool" >/dev/null || { echo "demo failed: $tool is missing: tools/setup.sh installs it" >&2; exit 1; }
done
exec node "$root/tools/demo/demo.mjs" "$build" --browser "$browser"
