#!/usr/bin/env bash
# Runs one command as root under another Debian kernel, in a throwaway QEMU guest that sees this
# machine's root file system read-only under a RAM overlay, in the same working folder. Its
# output is streamed; the exit status is the command's (124: --timeout, 125: the guest failed).
#
#   scripts/run-on-kernel.sh [options] KERNEL -- COMMAND [ARGS...]
#
# With --systemd the guest boots systemd as PID 1 instead, and the command runs as root in a
# unit of its own once the boot is done (multi-user.target), as an administrator's would.
#
# KERNEL: 6.1 or 6.12 (the newest such Debian amd64 kernel in the apt lists), or an exact ABI:
# 6.1.0-57, 6.12.118+deb12. The kernels are kept in $KT_KERNEL_CACHE (/var/cache/korvan-tessivo/
# kernels). The command sees KT_KERNEL (the release) and KT_ACCEL (kvm, or tcg when emulated, and
# then KT_TIME_SCALE=10 unless it is set already).
set -euo pipefail

readonly INIT_REV=4 # bump when the guest's init changes: cached initramfs files are rebuilt
readonly ME=run-on-kernel
CACHE=${KT_KERNEL_CACHE:-/var/cache/korvan-tessivo/kernels}
MEM=2G
CPUS=$(nproc)
TIMEOUT=0
VERBOSE=0
ACCEL=auto
PREPARE_ONLY=0
SYSTEMD=0

say() { printf '%s: %s\n' "$ME" "$*" >&2; }
die() {
    say "$*"
    exit 125
}
note() { if [ "$VERBOSE" = 1 ]; then say "$(date +%T.%N | cut -c1-12) $*"; fi; }

usage() {
    cat >&2 <<'EOF'
usage: scripts/run-on-kernel.sh [options] KERNEL -- COMMAND [ARGS...]
       scripts/run-on-kernel.sh --prepare KERNEL
  KERNEL              6.1, 6.12, or an exact ABI such as 6.1.0-57 or 6.12.118+deb12
  -m, --mem SIZE      guest memory (default 2G)
  -c, --cpus N        guest CPUs (default: this machine's)
  -t, --timeout SECS  power the guest off after SECS and exit 124
  -a, --accel A       kvm, tcg or auto (default: kvm where it is hardware virtualisation)
  -v, --verbose       the guest's console and each step's time on stderr
  --systemd           boot systemd as PID 1; the command runs in a unit once the boot is done
  --prepare           only fetch the kernel and build its initramfs; prints its release
EOF
    exit 125
}

while [ $# -gt 0 ]; do
    case $1 in
    -m | --mem) MEM=${2:?}; shift 2 ;;
    -c | --cpus) CPUS=${2:?}; shift 2 ;;
    -t | --timeout) TIMEOUT=${2:?}; shift 2 ;;
    -a | --accel) ACCEL=${2:?}; shift 2 ;;
    -v | --verbose) VERBOSE=1; shift ;;
    --prepare) PREPARE_ONLY=1; shift ;;
    --systemd) SYSTEMD=1; shift ;;
    -h | --help) usage ;;
    -*) say "unknown option $1"; usage ;;
    *) break ;;
    esac
done
[ $# -ge 1 ] || usage
WANTED=$1
shift
if [ "$PREPARE_ONLY" = 0 ]; then
    if [ "${1:-}" != -- ] || [ $# -lt 2 ]; then usage; fi
    shift
fi
[ "$(id -u)" = 0 ] || die "needs root: apt-get, and a guest that reads every file of this machine"
[[ $TIMEOUT =~ ^[0-9]+$ ]] || die "--timeout takes whole seconds"
case $ACCEL in kvm | tcg | auto) ;; *) die "--accel takes kvm, tcg or auto" ;; esac
# Installed by scripts/setup.sh; busybox-static, because the initramfs has no libraries.
for p in qemu-system-x86 busybox-static kmod cpio xz-utils zstd $([ "$SYSTEMD" = 0 ] || echo systemd); do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
        die "the package $p is missing: run scripts/setup.sh"
done

# ---------------------------------------------------------------- which kernel

# The package names a kernel name stands for, as an extended regular expression.
package_regex() {
    local esc
    [[ $1 =~ ^[0-9]+\.[0-9]+[0-9a-z.+~-]*$ ]] || return 1
    esc=$(printf '%s' "$1" | sed 's/[.+]/\\&/g')
    if [[ $1 =~ ^[0-9]+\.[0-9]+$ ]]; then
        # 6.1 -> linux-image-6.1.0-57-amd64, 6.12 -> linux-image-6.12.118+deb12-amd64; never 6.10
        echo "^linux-image-$esc(\.[0-9]+)?(-[0-9]+)?(\+deb[0-9]+)?-amd64(-unsigned)?\$"
    else
        echo "^linux-image-${esc%-amd64}-amd64(-unsigned)?\$"
    fi
}

# Prints "RELEASE PACKAGE", e.g. "6.1.0-57-amd64 linux-image-6.1.0-57-amd64-unsigned"; the package
# is "cached" when the archive is out of reach and a kernel of that name is already unpacked.
resolve() {
    local re names pkg
    re=$(package_regex "$1") || return 1
    names=$(apt-cache pkgnames linux-image- 2>/dev/null | grep -E "$re" || true)
    if [ -z "$names" ]; then
        note "no package for $1 in the apt lists: apt-get update"
        apt-get update -q >&2 || true
        names=$(apt-cache pkgnames linux-image- 2>/dev/null | grep -E "$re" || true)
    fi
    if [ -n "$names" ]; then
        # The newest ABI; its unsigned build where there is one (same image, fewer dependencies).
        pkg=$(printf '%s\n' "$names" | sed 's/-unsigned$//' | sort -uV | tail -n1)
        local krel=${pkg#linux-image-}
        if printf '%s\n' "$names" | grep -qx -- "$pkg-unsigned"; then pkg=$pkg-unsigned; fi
        echo "$krel $pkg"
        return
    fi
    pkg=$(for d in "$CACHE"/k/*/ready; do [ -f "$d" ] && d=${d%/ready} && echo "linux-image-${d##*/}"; done |
        grep -E "$re" | sort -V | tail -n1 || true)
    [ -n "$pkg" ] || return 1
    say "no package for $1 in the apt lists; using the cached ${pkg#linux-image-}"
    echo "${pkg#linux-image-} cached"
}

# ---------------------------------------------------------------- the guest's init

# In the initramfs: loads the virtio, 9p and overlay modules, mounts this machine's root read-only
# under a tmpfs overlay, mounts the kernel's own file systems and switches to it.
write_stage1() {
    cat <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
fail() { echo "run-on-kernel init: $*" >/dev/ttyS0; reboot -f; sleep 5; }
for arg in $(cat /proc/cmdline); do
    case $arg in
    kt.run=*) RUN=${arg#kt.run=} ;;
    kt.mods=*) MODS=${arg#kt.mods=} ;;
    kt.krel=*) KREL=${arg#kt.krel=} ;;
    kt.systemd=1) SYSTEMD=1 ;;
    kt.cwd=*) CWD=${arg#kt.cwd=} ;;
    esac
done
while read -r m; do insmod "/modules/$m" || fail "insmod $m"; done </modules/order
mkdir -p /lower /rw /root
nine="trans=virtio,version=9p2000.L,msize=512000"
# cache=loose: the host's files do not change under a run, and lookups are far cheaper.
mount -t 9p -o ro,$nine,cache=loose hostroot /lower || fail "cannot mount the host's root"
mount -t tmpfs -o mode=0755 rw /rw
mkdir -p /rw/upper /rw/work
mount -t overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work overlay /root ||
    fail "cannot mount the overlay"
[ -z "$SYSTEMD" ] || exec sh /systemd-root "$RUN" "$MODS" "$KREL" "$CWD"
cd /root
mount -t proc proc proc
mount -t sysfs sysfs sys
mount -t devtmpfs devtmpfs dev
mkdir -p dev/pts dev/shm dev/mqueue
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts dev/pts
mount -t tmpfs -o mode=1777 shm dev/shm
mount -t mqueue mqueue dev/mqueue
mount -t tmpfs -o mode=0755 run run
mount -t bpf -o mode=0700 bpf sys/fs/bpf
mount -t tracefs tracefs sys/kernel/tracing
mount -t debugfs debugfs sys/kernel/debug
mount -t cgroup2 cgroup2 sys/fs/cgroup
mkdir -p ".$RUN" "lib/modules/$KREL"
# cache=none: the job's output must reach the host before each write returns.
mount -t 9p -o $nine,cache=none run ".$RUN" || fail "cannot mount the run folder"
mount -o bind ".$MODS" "lib/modules/$KREL" || fail "cannot see the kernel's modules"
mkdir -p run/kt
cp /bin/busybox /stage2 run/kt/
exec switch_root /root /run/kt/busybox sh /run/kt/stage2
EOF
}

# PID 1 in the switched root: runs the job with its output going through pipes (as under CI) into
# two files of the shared run folder, writes its status there and powers off.
write_stage2() {
    cat <<'EOF'
bb=/run/kt/busybox
for arg in $($bb cat /proc/cmdline); do
    case $arg in kt.run=*) RUN=${arg#kt.run=} ;; esac
done
: >"$RUN/started"
echo "run-on-kernel init: the job starts at $($bb cut -d' ' -f1 /proc/uptime) s" >/dev/ttyS0
$bb hostname run-on-kernel
$bb ip link set lo up
$bb mkfifo /run/kt/out /run/kt/err
$bb cat /run/kt/out >>"$RUN/stdout" &
o=$!
$bb cat /run/kt/err >>"$RUN/stderr" &
e=$!
$bb sh "$RUN/job" </dev/null >/run/kt/out 2>/run/kt/err
rc=$?
# The copies end when the job's last writer is gone; what it left behind gets 2 s, then goes.
( $bb sleep 2; $bb kill -TERM -1 ) &
t=$!
wait $o $e
kill $t 2>/dev/null
echo "$rc" >"$RUN/rc"
echo "run-on-kernel init: the job ended with $rc at $($bb cut -d' ' -f1 /proc/uptime) s" >/dev/ttyS0
$bb sync
$bb reboot -f
EOF
}

# With --systemd, in the initramfs: makes the overlay a machine systemd boots, with the job as a
# unit that runs once the boot is done and powers the guest off when the job ends.
write_systemd_root() {
    cat <<'EOF'
RUN=$1 MODS=$2 KREL=$3 CWD=$4
fail() { echo "run-on-kernel init: $*" >/dev/ttyS0; reboot -f; sleep 5; }
cd /root
# An empty /tmp, as a booted machine has: systemd-tmpfiles would otherwise walk and empty this
# machine's /tmp over 9p at every boot (minutes emulated). The job's folder stays where it is.
case $CWD in /tmp/?*) mkdir -p /kt-cwd && mount -o bind "/root$CWD" /kt-cwd || CWD= ;; *) CWD= ;; esac
mount -t tmpfs -o mode=1777,nosuid,nodev tmp tmp
if [ -n "$CWD" ]; then
    mkdir -p ".$CWD" && mount -o bind /kt-cwd ".$CWD" && umount /kt-cwd ||
        fail "cannot keep the folder $CWD"
fi
mkdir -p ".$RUN" "lib/modules/$KREL"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=none run ".$RUN" ||
    fail "cannot mount the run folder"
mount -o bind ".$MODS" "lib/modules/$KREL" || fail "cannot see the kernel's modules"
units=etc/systemd/system
mkdir -p "$units/multi-user.target.wants"
cat >"$units/kt-job.service" <<UNIT
[Unit]
Description=run-on-kernel job
After=multi-user.target
SuccessAction=poweroff-force
FailureAction=poweroff-force

[Service]
Type=simple
TimeoutStartSec=infinity
ExecStartPre=/bin/touch $RUN/started
ExecStart=/bin/sh -c 'sh $RUN/job </dev/null >>$RUN/stdout 2>>$RUN/stderr; echo \$\$? >$RUN/rc'
UNIT
ln -s ../kt-job.service "$units/multi-user.target.wants/kt-job.service"
# What a guest with no disk, network card, login or clock needs not start.
for u in getty.target getty@.service serial-getty@.service console-getty.service \
    remote-fs.target e2scrub_reap.service e2scrub_all.timer apt-daily.timer \
    apt-daily-upgrade.timer dpkg-db-backup.timer fstrim.timer man-db.timer logrotate.timer \
    systemd-timesyncd.service systemd-pstore.service systemd-binfmt.service \
    proc-sys-fs-binfmt_misc.automount systemd-firstboot.service systemd-repart.service \
    systemd-random-seed.service systemd-remount-fs.service systemd-update-utmp.service \
    systemd-update-utmp-runlevel.service sys-kernel-config.mount sys-fs-fuse-connections.mount \
    systemd-ask-password-wall.path systemd-ask-password-console.path \
    systemd-machine-id-commit.service networking.service systemd-networkd.service \
    systemd-resolved.service NetworkManager.service wpa_supplicant.service \
    ModemManager.service ssh.service cron.service rsyslog.service postgresql.service; do
    rm -f "$units/$u"
    ln -s /dev/null "$units/$u"
done
echo run-on-kernel >etc/hostname
cd /
echo "run-on-kernel init: systemd starts at $(cut -d' ' -f1 /proc/uptime) s" >/dev/ttyS0
umount /proc /sys /dev 2>/dev/null
exec switch_root /root /lib/systemd/systemd
EOF
}

# ---------------------------------------------------------------- the kernel cache

# The ELF kernel inside a bzImage, found by the payload fields of the boot protocol's setup header,
# for QEMU's PVH entry: under emulation, the kernel's own decompression costs about 3 s a boot.
extract_vmlinux() {
    local img=$1 out=$2 sects offset length start magic size dec
    le() { od -An -tu"$2" -j "$1" -N"$2" "$img" | tr -d ' '; }
    sects=$(le $((0x1f1)) 1)
    [ "$sects" != 0 ] || sects=4
    offset=$(le $((0x248)) 4)
    length=$(le $((0x24c)) 4)
    start=$(((sects + 1) * 512 + offset))
    magic=$(od -An -tx1 -j "$start" -N4 "$img" | tr -d ' ')
    case $magic in
    fd377a58) dec=(xz -dcq) ;;
    28b52ffd) dec=(zstd -dcq) ;;
    1f8b*) dec=(gzip -dcq) ;;
    *) return 1 ;;
    esac
    size=$(le $((start + length - 4)) 4)
    # xz and zstd object to the size the kernel appends to the stream: the size check decides.
    tail -c +$((start + 1)) "$img" | head -c "$length" | "${dec[@]}" >"$out" 2>/dev/null || true
    [ "$(stat -c %s "$out")" = "$size" ] && [ "$(od -An -tx1 -N4 "$out" | tr -d ' ')" = 7f454c46 ]
}

# Unpacks the kernel package into $CACHE/k/RELEASE once, and builds its initramfs once per
# INIT_REV. Called under the cache's lock.
prepare_kernel() {
    local krel=$1 pkg=$2 dir="$CACHE/k/$1"
    if [ ! -f "$dir/ready" ]; then
        [ "$pkg" != cached ] || die "kernel $krel is not prepared"
        local part="$dir.part"
        rm -rf "$part"
        mkdir -p "$part/deb"
        chown _apt "$part/deb" 2>/dev/null || true # apt downloads as _apt
        note "downloading $pkg"
        (cd "$part/deb" && apt-get download -q "$pkg" >&2) ||
            { apt-get update -q >&2 && (cd "$part/deb" && apt-get download -q "$pkg" >&2); } ||
            die "apt-get download $pkg failed"
        note "unpacking"
        dpkg-deb -x "$part"/deb/*.deb "$part/root" || die "dpkg-deb -x failed"
        rm -rf "$part/deb"
        [ -f "$part/root/boot/vmlinuz-$krel" ] || die "$pkg holds no boot/vmlinuz-$krel"
        note "depmod"
        depmod -b "$part/root" "$krel" || die "depmod failed"
        if grep -qx 'CONFIG_PVH=y' "$part/root/boot/config-$krel" 2>/dev/null; then
            extract_vmlinux "$part/root/boot/vmlinuz-$krel" "$part/vmlinux" || rm -f "$part/vmlinux"
        fi
        echo "$pkg" >"$part/ready"
        rm -rf "$dir"
        mv "$part" "$dir"
    fi
    local initrd="$dir/initrd-r$INIT_REV.cpio"
    [ -s "$initrd" ] && return
    note "building the initramfs"
    local ir="$dir/initrd.part" line path base
    rm -rf "$ir"
    mkdir -p "$ir"/{bin,dev,proc,sys,modules}
    cp "$(command -v busybox)" "$ir/bin/busybox"
    mknod -m 600 "$ir/dev/console" c 5 1
    write_stage1 >"$ir/init"
    write_stage2 >"$ir/stage2"
    write_systemd_root >"$ir/systemd-root"
    chmod 755 "$ir/init"
    # Each module once, decompressed (busybox's insmod reads neither xz nor zstd), dependencies
    # first; virtio_pci is a module on 6.1 and built in on 6.12, which modprobe knows.
    : >"$ir/modules/order"
    while read -r line; do
        [[ $line == insmod\ * ]] || continue
        path=${line#insmod }
        path=${path%% *}
        base=$(basename "$path")
        base=${base%.xz}
        base=${base%.zst}
        ! grep -qx -- "$base" "$ir/modules/order" || continue
        case $path in
        *.xz) xz -dc "$path" >"$ir/modules/$base" ;;
        *.zst) zstd -qdc "$path" >"$ir/modules/$base" ;;
        *) cp "$path" "$ir/modules/$base" ;;
        esac
        echo "$base" >>"$ir/modules/order"
    done < <(modprobe -d "$dir/root" -S "$krel" -a --show-depends virtio_pci 9pnet_virtio 9p overlay 2>&1)
    grep -q '^9p.ko$' "$ir/modules/order" || grep -q '/9p.ko$' "$dir/root/lib/modules/$krel/modules.builtin" ||
        die "$krel has no 9p file system, which the guest needs"
    (cd "$ir" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$initrd.part" || die "cpio failed"
    mv -f "$initrd.part" "$initrd"
    rm -rf "$ir"
}

package_regex "$WANTED" >/dev/null || die "'$WANTED' names no kernel (try 6.1 or 6.12)"
mkdir -p "$CACHE"
{
    flock 8
    read -r KREL PKG < <(resolve "$WANTED") || die "no Debian kernel package matches '$WANTED'"
    prepare_kernel "$KREL" "$PKG"
} 8>"$CACHE/.lock"
KDIR="$CACHE/k/$KREL"
note "kernel $KREL ready"
if [ "$PREPARE_ONLY" = 1 ]; then
    echo "$KREL"
    exit 0
fi

# ---------------------------------------------------------------- the run

# The guest finds its folders by path on the kernel command line.
for p in "$KDIR" "${TMPDIR:-/tmp}"; do
    [[ $p =~ ^/[A-Za-z0-9._/+-]*$ ]] || die "'$p' needs a plain path (letters, digits, ._/+-)"
done
case $PWD/ in /proc/* | /sys/* | /dev/* | /run/*)
    die "the working folder $PWD is the guest's own there: run from elsewhere" ;;
esac

# KVM only where it is hardware virtualisation: kvm_pvm, for one, runs only kernels built for it,
# and a Debian kernel hangs there right after its real-mode setup.
if [ "$ACCEL" = auto ]; then
    if [ -c /dev/kvm ] && { [ -d /sys/module/kvm_intel ] || [ -d /sys/module/kvm_amd ]; }; then
        ACCEL=kvm
    else
        ACCEL=tcg
        say "no hardware virtualisation here: emulating (TCG), programs run 10-60 times slower"
    fi
fi
if [ "$ACCEL" = kvm ]; then
    [ -c /dev/kvm ] || die "/dev/kvm is missing (try --accel tcg)"
    accel=(-accel kvm -cpu host)
    boot_limit=60
else
    accel=(-accel "tcg,thread=multi" -cpu max)
    boot_limit=300
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/run-on-kernel.XXXXXX")
SHARE=$WORK/share
mkdir "$SHARE"
QEMU_PID='' OUT_PID='' ERR_PID='' CON_PID='' WATCH_PID=''
# shellcheck disable=SC2317 # called by the trap
cleanup() {
    local pid
    for pid in $QEMU_PID $WATCH_PID $OUT_PID $ERR_PID $CON_PID; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The job: the same folder and environment, less what names this machine's session.
q() { printf "'%s'" "${1//\'/\'\\\'\'}"; }
{
    echo "cd -- $(q "$PWD") || exit 125"
    while read -r name; do
        case $name in
        PWD | OLDPWD | SHLVL | _ | DISPLAY | WAYLAND_DISPLAY | XAUTHORITY | DBUS_SESSION_BUS_ADDRESS | \
            XDG_RUNTIME_DIR | XDG_SESSION_* | SSH_* | TMUX | TMUX_PANE | INVOCATION_ID | \
            JOURNAL_STREAM | NOTIFY_SOCKET | LISTEN_* | MANAGERPID | KT_KERNEL | KT_ACCEL) continue ;;
        esac
        [[ $name =~ ^[A-Za-z_][A-Za-z0-9_]*$ ]] && echo "export $name=$(q "${!name}")"
    done < <(compgen -e)
    echo "export KT_KERNEL=$KREL KT_ACCEL=$ACCEL"
    # The live tests stretch their time bounds by this factor (tests/TimeScale.h).
    if [ "$ACCEL" = tcg ] && [ -z "${KT_TIME_SCALE:-}" ]; then echo "export KT_TIME_SCALE=10"; fi
    # The guest's init starts with the kernel's limits (1024 open files): take this shell's.
    for l in n l; do
        echo "ulimit -H$l $(ulimit -H$l) 2>/dev/null; ulimit -S$l $(ulimit -S$l) 2>/dev/null"
    done
    printf 'exec'
    for a in "$@"; do printf ' %s' "$(q "$a")"; done
    echo
} >"$SHARE/job"
: >"$SHARE/stdout"
: >"$SHARE/stderr"

console=$WORK/console.log
: >"$console"

fsdev() { echo "local,id=$1,path=$2,security_model=none,multidevs=remap${3:+,$3}"; }
# acpi=noirq: IRQs routed without ACPI, about 0.15 s a device less under emulation.
append="console=ttyS0 quiet loglevel=4 panic=-1 oops=panic reboot=t rdinit=/init mitigations=off"
append+=" acpi=noirq tsc=reliable i8042.noaux i8042.nomux i8042.nopnp 8250.nr_uarts=1"
append+=" random.trust_cpu=on kt.run=$SHARE kt.mods=$KDIR/root/lib/modules/$KREL kt.krel=$KREL"
if [ "$SYSTEMD" = 1 ]; then
    append+=" kt.systemd=1 systemd.unit=multi-user.target systemd.show_status=0"
    # A folder under /tmp is carried over the guest's empty /tmp (a name with blanks is not).
    [[ $PWD =~ [[:space:]] ]] || append+=" kt.cwd=$PWD"
    # systemd's own boot comes first: 15-50 s emulated.
    boot_limit=$((boot_limit * 2))
fi
kernel=$KDIR/root/boot/vmlinuz-$KREL
[ ! -s "$KDIR/vmlinux" ] || kernel=$KDIR/vmlinux
note "booting $KREL ($ACCEL, $(basename "$kernel"))"
qemu-system-x86_64 "${accel[@]}" -machine pc -smp "$CPUS" -m "$MEM" \
    -nodefaults -no-user-config -display none -no-reboot \
    -kernel "$kernel" -initrd "$KDIR/initrd-r$INIT_REV.cpio" -append "$append" \
    -chardev "file,id=con,path=$console,append=on" -serial chardev:con \
    -fsdev "$(fsdev hostroot / readonly=on)" -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
    -fsdev "$(fsdev run "$SHARE")" -device virtio-9p-pci,fsdev=run,mount_tag=run \
    </dev/null 2>"$WORK/qemu.log" &
QEMU_PID=$!
# 9p writes are done on the host before they return in the guest: tail, which reads what is left
# once QEMU is gone, loses nothing.
tail -c +1 -s 0.1 -f --pid="$QEMU_PID" "$SHARE/stdout" &
OUT_PID=$!
tail -c +1 -s 0.1 -f --pid="$QEMU_PID" "$SHARE/stderr" >&2 &
ERR_PID=$!
if [ "$VERBOSE" = 1 ]; then
    tail -c +1 -s 0.1 -f --pid="$QEMU_PID" "$console" | sed -u 's/\r$//; s/^/[console] /' >&2 &
    CON_PID=$!
fi
# Powers the guest off when the job has not started within the boot limit, or at --timeout.
(
    start=$SECONDS
    while kill -0 "$QEMU_PID" 2>/dev/null; do
        if [ ! -e "$SHARE/started" ] && [ $((SECONDS - start)) -ge "$boot_limit" ]; then
            echo boot >"$WORK/why"
            kill "$QEMU_PID"
        elif [ "$TIMEOUT" -gt 0 ] && [ $((SECONDS - start)) -ge "$TIMEOUT" ]; then
            echo timeout >"$WORK/why"
            kill "$QEMU_PID"
        fi
        sleep 0.5
    done
) </dev/null >/dev/null 2>&1 & # detached: its last sleep holds none of the caller's pipes open
WATCH_PID=$!
qemu_rc=0
wait "$QEMU_PID" || qemu_rc=$?
QEMU_PID=''
note "qemu exited ($qemu_rc)"
wait "$OUT_PID" "$ERR_PID" ${CON_PID:+"$CON_PID"} 2>/dev/null || true
OUT_PID='' ERR_PID='' CON_PID=''

why=$(cat "$WORK/why" 2>/dev/null || true)
if [ -s "$SHARE/rc" ] && [ -z "$why" ]; then
    exit "$(cat "$SHARE/rc")"
fi
case $why in
timeout) say "timed out after $TIMEOUT s"; exit 124 ;;
boot) say "the guest had not started the command after $boot_limit s ($ACCEL)" ;;
*) say "the guest ended before the command did (qemu status $qemu_rc)" ;;
esac
sed 's/^/[qemu] /' "$WORK/qemu.log" >&2
[ "$VERBOSE" = 1 ] || tail -n 30 "$console" | tr -d '\r' | sed 's/^/[console] /' >&2
exit 125
