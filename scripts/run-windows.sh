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
trap 'wine_stop; display_stop' EXIT
if [ -z "${DISPLAY:-}" ]; then
    display_start
    echo "No display: running under Xvfb on $DISPLAY"
fi
wine_start
wine build/windows/src/ui/win32/korvan-tessivo.exe "$@"
