#!/usr/bin/env bash
# Builds the Windows program and runs it under Wine for a look; under a virtual X server when
# there is no display. Arguments are passed to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh
cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build build/windows --target korvan-tessivo -j "$(nproc)"

. scripts/wine-env.sh
xvfb_pid=""
cleanup() {
    wine_stop
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    # Xvfb picks a free display number and writes it to the pipe.
    exec {fd}<> <(:)
    Xvfb -displayfd "$fd" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    read -r -u "$fd" display
    export DISPLAY=":$display"
    export KT_WINE_UNMANAGED=1
    echo "No display: running under Xvfb on $DISPLAY"
fi
wine_start
wine build/windows/src/ui/win32/korvan-tessivo.exe "$@"
