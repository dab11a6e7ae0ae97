#!/usr/bin/env bash
# Boots one kernel with scripts/run-on-kernel.sh and checks what the command inside meets: that
# kernel, this folder, its own file systems, the package's modules, both output streams kept
# apart, writes that never reach this machine, and its exit status handed back; then the same
# under systemd as PID 1 (--systemd).
set -euo pipefail
cd "$(dirname "$0")/../.."
kernel=${1:-6.1}
marker=run-on-kernel-test.$$
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err" "$marker"' EXIT

status=0
# shellcheck disable=SC2016 # expanded inside
scripts/run-on-kernel.sh "$kernel" -- sh -c '
    echo "kernel=$(uname -r | grep -cx "$KT_KERNEL")"
    echo "folder=$PWD"
    for at in /sys/fs/bpf /sys/kernel/tracing /sys/fs/cgroup; do
        echo "$at=$(awk -v at="$at" "\$2 == at { print \$3 }" /proc/mounts)"
    done
    ip link add ktv0 type veth peer name ktv1 && echo "veth=$(grep -c "^veth " /proc/modules)"
    touch "$1" && echo "written=yes"
    echo "said on stderr" >&2
    exit 7' sh "$marker" >"$out" 2>"$err" || status=$?

failed=0
expect() {
    if [ "$2" != "$3" ]; then
        echo "run-on-kernel-test: $1: got '$2', expected '$3'" >&2
        failed=1
    fi
}
expect "exit status" "$status" 7
for line in kernel=1 "folder=$PWD" /sys/fs/bpf=bpf /sys/kernel/tracing=tracefs \
    /sys/fs/cgroup=cgroup2 veth=1 written=yes; do
    expect "${line%%=*}" "$(grep -m1 "^${line%%=*}=" "$out" || true)" "$line"
done
expect "standard error" "$(grep -c '^said on stderr$' "$err" || true)" 1
expect "a file written inside, here" "$(test -e "$marker" && echo present || echo absent)" absent

# With --systemd: systemd is PID 1, the boot is done when the command runs, and the command's
# streams and status come back the same way.
status=0
# shellcheck disable=SC2016 # expanded inside
scripts/run-on-kernel.sh --systemd "$kernel" -- sh -c '
    echo "pid1=$(cat /proc/1/comm)"
    echo "booted=$(systemctl is-system-running)"
    echo "folder=$PWD"
    echo "said on stderr" >&2
    exit 5' >"$out" 2>"$err" || status=$?
expect "exit status under systemd" "$status" 5
for line in pid1=systemd "folder=$PWD"; do
    expect "${line%%=*} under systemd" "$(grep -m1 "^${line%%=*}=" "$out" || true)" "$line"
done
expect "booted under systemd" "$(grep -cE '^booted=(running|degraded)$' "$out" || true)" 1
expect "standard error under systemd" "$(grep -c '^said on stderr$' "$err" || true)" 1
[ "$failed" = 0 ] || { sed 's/^/  stdout: /' "$out"; sed 's/^/  stderr: /' "$err"; } >&2
exit "$failed"
