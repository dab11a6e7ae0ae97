#!/usr/bin/env bash
# Builds the Debian package with dpkg-buildpackage and debhelper in a copy of the tree under
# build/deb, copies it to build/package, checks it (lintian, the menu entry, the units, the
# rules file), installs it on this machine, runs the installed program and purges the package
# again; then packs the Windows program from build/windows, when that build exists.
# Run as root: it installs and purges the package korvan-tessivo.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
started=$SECONDS

bash scripts/setup.sh

jobs=$(nproc)
version=$(sed -n 's/^project(KorvanTessivo VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb="$root/build/package/korvan-tessivo_${version}_amd64.deb"
units="korvan-tessivo.service korvan-tessivo.socket"
rules=/etc/korvan-tessivo/KorvanTessivo.ini

fail() {
    echo "package.sh: $*" >&2
    exit 1
}

# The checks purge what they install: never someone's own installation and its edited rules.
if dpkg-query -W -f='${Status}' korvan-tessivo 2>/dev/null | grep -q 'installed'; then
    fail "korvan-tessivo is already installed here; remove it first (dpkg --purge korvan-tessivo)"
fi

echo "== Debian package (dpkg-buildpackage -b, debhelper)"
# dpkg-buildpackage writes into its tree (debian/build, debian/korvan-tessivo, ...) and its
# results beside it: it works in a copy under build/deb, so the tree stays as git left it.
stage=$root/build/deb
[ "$(dpkg-parsechangelog -S Version)" = "$version" ] ||
    fail "debian/changelog's version is not the project's $version"
copy=$stage/korvan-tessivo-$version
rm -rf "$copy" "$stage"/korvan-tessivo*_amd64.* "$stage"/korvan-tessivo_*.{buildinfo,changes}
mkdir -p "$copy" build/package
tar -C "$root" --exclude=./build --exclude=./.git --exclude=./.wine --exclude=./screenshots \
    -cf - . | tar -C "$copy" -xf -
if command -v ccache >/dev/null; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
fi
(cd "$copy" && dpkg-buildpackage -b -uc -us -j"$jobs")
rm -f "$deb"
cp "$stage/korvan-tessivo_${version}_amd64.deb" "$deb"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

echo "== lintian"
# Warnings fail too; an override, should one be needed, goes with its reason in
# debian/korvan-tessivo.lintian-overrides.
lintian --fail-on error,warning --tag-display-limit 0 "$deb"

echo "== Install"
purge() {
    dpkg --purge korvan-tessivo >/dev/null || echo "package.sh: could not purge korvan-tessivo" >&2
}
trap purge EXIT
dpkg -i "$deb"

desktop-file-validate /usr/share/applications/korvan-tessivo.desktop
warnings=$(man --warnings -l /usr/share/man/man1/korvan-tessivo.1.gz 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the manual page: $warnings"
for u in $units; do
    systemd-analyze verify "/lib/systemd/system/$u"
    # Says "disabled", exit 1, for a unit that is installed but not enabled.
    state=$(systemctl is-enabled "$u" 2>&1 || true)
    [ "$state" = disabled ] || fail "$u is \"$state\", not installed disabled"
done
getent group korvan-tessivo >/dev/null || fail "the install made no group korvan-tessivo"
# Rights come from the service's unit or from root, never from the file.
[ -z "$(getcap /usr/bin/korvan-tessivo)" ] || fail "/usr/bin/korvan-tessivo carries capabilities"
# The program rewrites the service's rules: no conffile, a copy of the default made at install.
[ -z "$(dpkg-query -W -f='${Conffiles}' korvan-tessivo)" ] || fail "the package has conffiles"
[ "$(stat -c '%U:%G %a' "$rules")" = "root:root 644" ] || fail "$rules is not root's, 0644"
cmp "$rules" /usr/share/korvan-tessivo/KorvanTessivo.ini || fail "$rules is not the default"
# Installing again (an upgrade) keeps the administrator's rules.
sed -i 's/^BlockedLocalPortsString=.*/BlockedLocalPortsString=7001/' "$rules"
dpkg -i "$deb"
grep -qx 'BlockedLocalPortsString=7001' "$rules" || fail "installing again replaced $rules"

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
for f in /usr/bin/korvan-tessivo /lib/systemd/system/korvan-tessivo.service \
    /lib/systemd/system/korvan-tessivo.socket /etc/korvan-tessivo /usr/share/korvan-tessivo \
    /var/lib/korvan-tessivo; do
    [ ! -e "$f" ] || fail "the purge left $f behind"
done
# Debian leaves system groups: files may still carry the id.
getent group korvan-tessivo >/dev/null || fail "the purge removed the group korvan-tessivo"

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
