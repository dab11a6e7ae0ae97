#!/usr/bin/env bash
# Builds the Linux program (Release, no sanitizers) and starts it. On a fresh Debian 12 machine
# this installs what building and running it needs first (not the test tools).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --run

made_build=0
[ -e build ] || made_build=1
cmake -S . -B build/release-linux -G Ninja -DCMAKE_BUILD_TYPE=Release -DKT_SANITIZE=OFF \
    -DKT_BUILD_TESTS=OFF -DKT_BUILD_BENCH=OFF
cmake --build build/release-linux --target korvan-tessivo -j "$(nproc)"
program="$PWD/build/release-linux/bin/korvan-tessivo"

# Run with sudo: the build is handed back to the user who ran it, who can then run and rebuild
# it without root. -h and no -L: a symbolic link in the build is never followed.
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_UID:-}" ] && [ -n "${SUDO_GID:-}" ]; then
    chown -R -h "$SUDO_UID:$SUDO_GID" build/release-linux
    if [ "$made_build" -eq 1 ]; then
        chown -h "$SUDO_UID:$SUDO_GID" build
    fi
fi

if [ "$(id -u)" -ne 0 ]; then
    cat <<TEXT
Korvan Tessivo cuts connections only as root: run this script with sudo. (Never give the
program file capabilities: it is a Qt program, and any user could load their own code with
them.) Running without rights: it shows everything but cuts nothing.
TEXT
fi

# The rules file the program reads, found as it finds it: --config, else the running user's
# (root's under sudo).
rules=""
previous=""
for argument in "$@"; do
    case "$previous:$argument" in
    --config:*) rules="$argument" ;;
    *:--config=*) rules="${argument#--config=}" ;;
    esac
    previous="$argument"
done
if [ -z "$rules" ]; then
    config_home="${XDG_CONFIG_HOME:-}"
    [[ "$config_home" == /* ]] || config_home="$HOME/.config"
    rules="$config_home/KorvanTessivo/KorvanTessivo.ini"
fi
whose="$rules"
if [ -n "${config_home:-}" ] && [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] &&
    [ "$SUDO_USER" != root ]; then
    whose="$rules (root's, not $SUDO_USER's)"
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: guarding headless by the rules in $whose, each cut on this terminal;" \
        "Ctrl+C ends it."
    exec "$program" --headless "$@"
fi
echo "The window's own rules file: $whose."
exec "$program" "$@"
