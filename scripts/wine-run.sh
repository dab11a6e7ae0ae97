#!/usr/bin/env bash
# Runs a Windows program under Wine, quietly, in the project's own prefix.
set -euo pipefail
export WINEPREFIX="${KT_WINEPREFIX:-$HOME/.cache/korvan-tessivo/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"
exec wine "$@"
