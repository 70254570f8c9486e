#!/usr/bin/env bash
# The Wine prefix the Windows tests run in (ctest's set-up and clean-up).
#   wine_env.sh setup WINE64 PORTS_DIR FIRST_COM LAST_COM
#       creates the prefix if needed, maps COM FIRST..LAST to PORTS_DIR/com<N>
#       in Wine's registry, and leaves a wine server running for the tests
#   wine_env.sh cleanup
#       ends that server
# WINEPREFIX names the prefix.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)

# Started on its own, output elsewhere: a server started by a test would keep
# ctest's pipes open (and ctest waiting) until it exits. It stays while the
# tests run, and a while after, should the clean-up never come.
start_server() {
  "$WINESERVER" -p120 </dev/null >/dev/null 2>&1 || true
  "$1" wineboot </dev/null >/dev/null 2>&1
}

case "${1:-}" in
  setup)
    wine=$2 ports=$3 first=$4 last=$5
    mkdir -p "$ports"
    start_server "$wine"
    # Windows' dialog font, MS Shell Dlg, is Tahoma. Without it (Debian's
    # fonts-wine holds Wine's own) Wine falls back on what fontconfig offers,
    # here a math font whose glyph boxes are so tall that Qt centres a line
    # edit's text out of sight: the boxes of a window look empty.
    if [ -d /usr/share/wine/fonts ]; then
      mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
      cp -n /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    fi
    # Wine reads the port mapping when its server starts; only a change needs
    # a restart.
    changed=0
    for n in $(seq "$first" "$last"); do
      [ "$(readlink "$WINEPREFIX/dosdevices/com$n" 2>/dev/null || true)" = "$ports/com$n" ] && continue
      "$wine" reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ /d "$ports/com$n" /f </dev/null >/dev/null 2>&1
      changed=1
    done
    if [ $changed -eq 1 ]; then
      "$WINESERVER" -k || true
      "$WINESERVER" -w || true
      start_server "$wine"
      for n in $(seq "$first" "$last"); do
        if [ "$(readlink "$WINEPREFIX/dosdevices/com$n" 2>/dev/null || true)" != "$ports/com$n" ]; then
          echo "wine_env.sh: Wine did not map COM$n to $ports/com$n" >&2
          exit 1
        fi
      done
    fi
    echo "Wine prefix $WINEPREFIX: COM$first..COM$last -> $ports/com<N>"
    ;;
  cleanup)
    "$WINESERVER" -k 2>/dev/null || true
    ;;
  *)
    sed -n '2,8p' "$0" >&2
    exit 2
    ;;
esac
