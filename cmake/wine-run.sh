#!/bin/sh
# Runs a Windows test binary under Wine, quietly, in the project's own prefix.
: "${WINEPREFIX:=${XDG_CACHE_HOME:-$HOME/.cache}/qvtr-wine}"
export WINEPREFIX
mkdir -p "$(dirname "$WINEPREFIX")"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec /usr/lib/wine/wine64 "$@"
