#!/usr/bin/env bash
# Everything, on a fresh Debian 12 machine: install what is missing, build the native (sanitized),
# the Windows and the fuzzing builds, run every test of each (the live tests also under Debian 12's
# kernels 6.1 and 6.12), then make and check the packages.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh

jobs=$(nproc)

echo "== Native build (Debug, AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKT_SANITIZE=ON
cmake --build build/linux -j "$jobs"

echo "== Windows build (MinGW-w64 cross-compiler)"
cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
cmake --build build/windows -j "$jobs"

echo "== Fuzzing build (clang, libFuzzer, AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DKT_FUZZ=ON -DKT_BUILD_TESTS=OFF -DKT_BUILD_BENCH=OFF
cmake --build build/fuzz -j "$jobs"

echo "== Native tests"
ctest --test-dir build/linux --output-on-failure -j "$jobs"

echo "== Live tests under Debian 12's kernels 6.1 and 6.12 (QEMU guests, see README)"
# The tests that meet the kernel, on the same sanitized build; this machine's kernel ran them all.
live='LiveTable\.|LiveTableRows\.|DestroyerLive\.|StuckSockets\.|EngineLive\.|KernelGuardRights\.|KernelGuardLive\.|KernelGuardRules\.|RuleSwitchKernel\.|^ui_qt_program_tests$'
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
$SUDO bash tests/scripts/run-on-kernel-test.sh 6.1
for kernel in 6.1 6.12; do
    echo "-- kernel $kernel"
    $SUDO scripts/run-on-kernel.sh --timeout 1200 "$kernel" -- \
        ctest --test-dir build/linux --output-on-failure --timeout 300 -R "$live"
done

echo "== Fuzzing: each harness replays its seeds and explores a few seconds more"
ctest --test-dir build/fuzz --output-on-failure

echo "== Windows tests (Wine)"
. scripts/wine-env.sh
trap 'wine_stop; display_stop' EXIT
# The window tests need an X display.
display_start
wine_start
# Wine tests run one at a time.
# A Wine process that fails to start at all is tried once more; a failing test fails twice.
ctest --test-dir build/windows --output-on-failure --repeat until-pass:2

echo "== Packages: the Debian package built, checked, installed and purged; the Windows ZIP"
$SUDO bash scripts/package.sh

echo "== The Debian package as installed, under systemd on Debian 12's kernel 6.1 (QEMU)"
$SUDO bash scripts/test-installed.sh 6.1
