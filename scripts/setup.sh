#!/usr/bin/env bash
# Installs the Debian packages that the builds and tests need, only those that are missing.
# Idempotent; run as root (or with sudo available) on Debian 12.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git clang-format clang libclang-rt-14-dev
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine wine64 xvfb xauth x11-apps imagemagick
    qt6-base-dev qt6-base-dev-tools libgl-dev qt6-qpa-plugins fonts-liberation fonts-dejavu-core
    iproute2 libcap2-bin procps
    clang bpftool libbpf-dev libelf-dev zlib1g-dev
    dpkg-dev file lintian desktop-file-utils systemd man-db unzip
    qemu-system-x86 busybox-static kmod cpio xz-utils zstd
)

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
