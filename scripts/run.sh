#!/usr/bin/env bash
# Builds the Linux program (Release, no sanitizers) and starts it. On a fresh Debian 12 machine
# this installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

cmake -S . -B build/release-linux -G Ninja -DCMAKE_BUILD_TYPE=Release -DKT_SANITIZE=OFF \
    -DKT_BUILD_TESTS=OFF -DKT_BUILD_BENCH=OFF
cmake --build build/release-linux --target korvan-tessivo -j "$(nproc)"
program="$PWD/build/release-linux/bin/korvan-tessivo"

cat <<TEXT
Korvan Tessivo cuts connections only with the CAP_NET_ADMIN capability. Either
  - run it as root (this script then does so when started by root), or
  - give the built program the capability once and run it as your user:
        sudo setcap cap_net_admin+ep $program
        $program
Without it the program runs and shows everything, but its cuts are refused silently.
TEXT
if [ "$(id -u)" -ne 0 ] && ! getcap "$program" 2>/dev/null | grep -q cap_net_admin; then
    echo "Note: running without CAP_NET_ADMIN: nothing will be cut."
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display (DISPLAY is unset): starting under xvfb-run, on a virtual screen."
    exec xvfb-run -a "$program"
fi
exec "$program"
