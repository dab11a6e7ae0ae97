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

if [ "$(id -u)" -ne 0 ]; then
    cat <<TEXT
Korvan Tessivo cuts connections only as root: run this script with sudo. (Never give the
program file capabilities: it is a Qt program, and any user could load their own code with
them.) Running without rights: it shows everything but cuts nothing.
TEXT
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: guarding headless by your rules file, each cut on this terminal; Ctrl+C ends it."
    exec "$program" --headless "$@"
fi
exec "$program" "$@"
