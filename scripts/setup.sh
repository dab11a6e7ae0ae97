#!/usr/bin/env bash
# Installs the Debian packages that the builds and tests need, only those that are missing.
# Idempotent; run as root (or with sudo available) on Debian 12.
#   bash scripts/setup.sh        everything: builds, tests, Wine, fuzzing, packages
#   bash scripts/setup.sh --run  only what building and running the Linux program needs
set -euo pipefail

# Building the program (compiler, Qt, the kernel guard's BPF object) and running its window.
run_packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev qt6-qpa-plugins fonts-liberation fonts-dejavu-core
    clang bpftool libbpf-dev libelf-dev zlib1g-dev libsystemd-dev
)
# The tests, the Windows build under Wine, fuzzing and the packages' checks.
test_packages=(
    git clang-format libclang-rt-14-dev
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine wine64 xvfb xauth x11-apps imagemagick
    iproute2 libcap2-bin procps
    dpkg-dev debhelper file lintian desktop-file-utils systemd man-db unzip
    qemu-system-x86 busybox-static kmod cpio xz-utils zstd python3
)

case "${1:-}" in
--run) packages=("${run_packages[@]}") ;;
"") packages=("${run_packages[@]}" "${test_packages[@]}") ;;
*)
    echo "Usage: bash scripts/setup.sh [--run]" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${missing[@]}"
