#!/usr/bin/env bash
# Builds the Debian package from a Release build in build/package, checks it (lintian, the menu
# entry, the unit), installs it on this machine, runs the installed program and removes the
# package again; then packs the Windows program from build/windows, when that build exists.
# Run as root: it installs and purges the package korvan-tessivo.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
started=$SECONDS

bash scripts/setup.sh

jobs=$(nproc)
version=$(sed -n 's/^project(KorvanTessivo VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb="$root/build/package/korvan-tessivo_${version}_amd64.deb"
unit=/lib/systemd/system/korvan-tessivo.service

fail() {
    echo "package.sh: $*" >&2
    exit 1
}

# The checks purge what they install: never someone's own installation and its edited rules.
if dpkg-query -W -f='${Status}' korvan-tessivo 2>/dev/null | grep -q 'installed'; then
    fail "korvan-tessivo is already installed here; remove it first (dpkg --purge korvan-tessivo)"
fi

echo "== Debian package (Release, Debian's hardening flags)"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DKT_SANITIZE=OFF -DKT_BUILD_TESTS=OFF -DKT_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
cmake --build build/package -j "$jobs" --target korvan-tessivo korvan-tessivo-docs
rm -f "$deb"
(cd build/package && cpack -G DEB)
[ -f "$deb" ] || fail "cpack made no $deb"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

echo "== lintian"
lintian --fail-on error --tag-display-limit 0 "$deb"

echo "== Install"
purge() {
    dpkg --purge korvan-tessivo >/dev/null || echo "package.sh: could not purge korvan-tessivo" >&2
}
trap purge EXIT
dpkg -i "$deb"

desktop-file-validate /usr/share/applications/korvan-tessivo.desktop
warnings=$(man --warnings -l /usr/share/man/man1/korvan-tessivo.1.gz 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the manual page: $warnings"
systemd-analyze verify "$unit"
# Says "disabled", exit 1, for a unit that is installed but not enabled.
state=$(systemctl is-enabled korvan-tessivo 2>&1 || true)
[ "$state" = disabled ] || fail "the service is \"$state\", not installed disabled"
# Rights come from the service's unit or from root, never from the file.
[ -z "$(getcap /usr/bin/korvan-tessivo)" ] || fail "/usr/bin/korvan-tessivo carries capabilities"
[ "$(stat -c '%U:%G %a' /etc/korvan-tessivo/KorvanTessivo.ini)" = "root:root 644" ] ||
    fail "/etc/korvan-tessivo/KorvanTessivo.ini is not root's, 0644"
dpkg-query --control-show korvan-tessivo conffiles |
    grep -qx /etc/korvan-tessivo/KorvanTessivo.ini ||
    fail "the service's rules are not a conffile"

# A network namespace and folders of its own: an installed program that ignored the option and
# opened its window could cut nothing of this machine's and write no one's rules.
scratch=$(mktemp -d)
out=$(unshare --net env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen \
    XDG_CONFIG_HOME="$scratch" XDG_STATE_HOME="$scratch" XDG_RUNTIME_DIR="$scratch" \
    timeout 10 /usr/bin/korvan-tessivo --version </dev/null 2>&1) && status=0 || status=$?
rm -rf "$scratch"
echo "korvan-tessivo --version: exit $status: $out"
[ "$status" -eq 0 ] && grep -qx "Korvan Tessivo 1.0 Build 15" <<<"$out" ||
    fail "--version said: $out"

dpkg --purge korvan-tessivo
trap - EXIT
[ ! -e /usr/bin/korvan-tessivo ] && [ ! -e "$unit" ] && [ ! -e /etc/korvan-tessivo ] ||
    fail "the purge left files behind"

if [ -f build/windows/CMakeCache.txt ]; then
    echo "== Windows ZIP"
    zip="$root/build/windows/korvan-tessivo-${version}-win64.zip"
    cmake --build build/windows -j "$jobs" --target korvan-tessivo
    rm -f "$zip"
    (cd build/windows && cpack -G ZIP)
    listing=$(unzip -Z1 "$zip" | grep -v '/$' | sort)
    expected=$(printf '%s\n' "korvan-tessivo-${version}-win64/korvan-tessivo.exe" \
        "korvan-tessivo-${version}-win64/readme.txt")
    [ "$listing" = "$expected" ] || fail "the ZIP holds: $listing"
    unzip -l "$zip"
else
    echo "== Windows ZIP: no build/windows, not made"
fi

echo "package.sh: done in $((SECONDS - started)) s"
