# Sourced by the tools: the Wine prefix of one build tree, created once,
# settled, and served by a persistent wineserver so that each Windows process
# starts in milliseconds instead of seconds.
#   wine64 PROGRAM [ARGS]       runs a program with Wine's 64-bit loader
#   wine32 PROGRAM [ARGS]       runs a program with Wine's 32-bit loader (when installed)
#   vaduna_wine_prefix PREFIX   sets WINEPREFIX and makes the prefix ready
#   vaduna_end_prefixes PREFIX...  ends the Wine processes of those prefixes
# Every Wine command of ours names its loader's bitness (tools/bin/wine64 and
# wine32): where Wine's 32-bit part is installed too, plain `wine` is the
# 32-bit loader, and `wine reg` or `wine cscript` start the 32-bit programs,
# which see the 32-bit registry view. The server and everything that talks to
# it here are 64-bit.
case ":$PATH:" in
  *":$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/bin:"*) ;;
  *) PATH="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/bin:$PATH" ;;
esac
export PATH

vaduna_wine_prefix() {
  export WINEPREFIX="$1"
  export WINEDEBUG="${WINEDEBUG:--all}"
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.vaduna-ready" ]; then
      mkdir -p "$WINEPREFIX"
      # No Mono or Gecko: nothing here needs them, and their installers would ask.
      WINEDLLOVERRIDES="mscoree,mshtml=" wine64 wineboot -i >/dev/null 2>&1 </dev/null 9>&- || true
      # Anything started while the prefix settles may meet two service managers.
      wineserver -w
      touch "$WINEPREFIX/.vaduna-ready"
    fi
    # Exit status 0: a persistent wineserver was started just now (2: one runs).
    # Processes that outlive this block must not inherit the lock (fd 9).
    if wineserver -p >/dev/null 2>&1 9>&-; then
      # Wine's background services start here, not inside a test whose output
      # pipe they would inherit and hold open.
      wine64 cmd /c exit >/dev/null 2>&1 </dev/null 9>&- || true
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
