# Sourced by the tools: the Wine prefix of one build tree, created once,
# settled, and served by a persistent wineserver so that each Windows process
# starts in milliseconds instead of seconds.
#   vaduna_wine_prefix PREFIX   sets WINEPREFIX and makes the prefix ready
#   vaduna_end_prefixes PREFIX...  ends the Wine processes of those prefixes
vaduna_wine_prefix() {
  export WINEPREFIX="$1"
  export WINEDEBUG="${WINEDEBUG:--all}"
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.vaduna-ready" ]; then
      mkdir -p "$WINEPREFIX"
      # No Mono or Gecko: nothing here needs them, and their installers would ask.
      WINEDLLOVERRIDES="mscoree,mshtml=" wine wineboot -i >/dev/null 2>&1 </dev/null 9>&- || true
      # Anything started while the prefix settles may meet two service managers.
      wineserver -w
      touch "$WINEPREFIX/.vaduna-ready"
    fi
    # Exit status 0: a persistent wineserver was started just now (2: one runs).
    # Processes that outlive this block must not inherit the lock (fd 9).
    if wineserver -p >/dev/null 2>&1 9>&-; then
      # Wine's background services start here, not inside a test whose output
      # pipe they would inherit and hold open.
      wine cmd /c exit >/dev/null 2>&1 </dev/null 9>&- || true
    fi
  ) 9>"$WINEPREFIX.lock"
}

# The persistent wineservers (and the services they started) of the given
# prefixes would otherwise run on after the command that started them: a
# runner ends them when it finishes (also after a test that timed out before
# its own clean-up). Prefixes never made are skipped.
vaduna_end_prefixes() {
  local prefix
  for prefix in "$@"; do
    [ -f "$prefix/system.reg" ] || continue
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
  done
}
