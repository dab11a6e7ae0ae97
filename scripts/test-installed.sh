#!/usr/bin/env bash
# The Debian package as a user meets it: boots a Debian kernel in QEMU with systemd as PID 1 over
# this machine's root file system (read-only, under a RAM overlay; scripts/run-on-kernel.sh
# --systemd), installs the package there and walks what a user does with it
# (tests/installed/walk.sh), each step a named check with PASS or FAIL on standard output.
# Exits 0 when every check passed. Run as root, after scripts/package.sh built the package.
#
#   scripts/test-installed.sh [--timeout SECS] [KERNEL [PACKAGE.deb]]
#
# KERNEL: 6.1 (the default, as CI runs it), 6.12, or an exact ABI (see run-on-kernel.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

timeout=1200
if [ "${1:-}" = --timeout ]; then
    timeout=${2:?}
    shift 2
fi
kernel=${1:-6.1}
version=$(sed -n 's/^project(KorvanTessivo VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=${2:-build/package/korvan-tessivo_${version}_amd64.deb}
[ -f "$deb" ] || { echo "test-installed.sh: no $deb: run scripts/package.sh first" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "test-installed.sh: needs root (QEMU over this machine's root)" >&2; exit 2; }

echo "== The package as installed: $deb under $kernel, systemd as PID 1"
start=$SECONDS
status=0
scripts/run-on-kernel.sh --systemd --timeout "$timeout" "$kernel" -- \
    bash tests/installed/walk.sh "$deb" || status=$?
echo "test-installed.sh: exit $status after $((SECONDS - start)) s (boot included)"
exit "$status"
