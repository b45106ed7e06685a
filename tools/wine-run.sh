#!/usr/bin/env bash
# Runs a Windows program of the build under Wine, in the build tree's prefix.
# Usage: wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# CTest uses it as the cross-compiling emulator.
set -eu
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/wine-env.sh"
vaduna_wine_prefix "$1" || { echo "wine-run.sh: the prefix $1 could not be made ready" >&2; exit 1; }
shift
# A test process that dies midway must not pass: under Wine a stack overflow
# can end it with status 0. GoogleTest makes this file when its run starts and
# removes it when the run completes; other programs ignore it.
marker="$(mktemp -u "${TMPDIR:-/tmp}/vaduna-test-run.XXXXXXXX")"
export TEST_PREMATURE_EXIT_FILE="Z:${marker//\//\\}"
status=0
wine64 "$@" || status=$?
if [ -e "$marker" ]; then
  rm -f "$marker"
  echo "wine-run.sh: $1 ended before its test run completed (status $status)" >&2
  [ "$status" -ne 0 ] || status=1
elif [ "$status" -ne 0 ]; then
  # A program that fails before printing anything (Wine could not start it)
  # leaves at least this line to go by.
  echo "wine-run.sh: $1 ended with status $status" >&2
fi
exit "$status"
