#!/usr/bin/env bash
# What a user does with the Debian package, on a machine booted with systemd as PID 1: installs
# it, enables the service, is guarded, uses the control socket and the window, breaks and mends
# the rules, restarts, kills and stops the service, upgrades, removes and purges the package.
# Each step is a named check under a timeout of its own, printed with PASS or FAIL and its
# evidence on standard output. Run as root in a throwaway machine only (scripts/test-installed.sh
# boots one): it installs and purges the package, and adds users, a group and a network namespace.
#
#   tests/installed/walk.sh PACKAGE.deb
# shellcheck disable=SC2034 # the checks' bodies, shells of their own, use what is exported here
set -uo pipefail
[ $# -eq 1 ] && [ -f "$1" ] || { echo "usage: walk.sh PACKAGE.deb" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "walk.sh: needs root" >&2; exit 2; }

set -a
deb=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
state=$(mktemp -d /tmp/walk.XXXXXX)
unit=korvan-tessivo.service
sock=/run/korvan-tessivo/control
rules=/etc/korvan-tessivo/KorvanTessivo.ini
default_rules=/usr/share/korvan-tessivo/KorvanTessivo.ini
cut_id=5f6f47305c634897b088ff2b7af999f1
# Debian's, whatever PATH the caller had: the clients also run as other users.
py=/usr/bin/python3
set +a
# The clients run as other users too: a copy they can read, wherever this tree lies.
chmod 755 "$state"
cp "$here"/*.py "$state/"
here=$state
passed=0
failed=0
walk_start=$SECONDS

# ---------------------------------------------------------------- helpers (run by the checks)

prop() { systemctl show -p "$1" --value "${2:-$unit}"; }
main_pid() { prop MainPID; }
# The main PID of a running service; fails (never 0, which kill would take for its own group).
service_pid() {
    local pid
    pid=$(main_pid)
    [ "${pid:-0}" != 0 ] && echo "$pid" || { echo "the service has no main process" >&2; return 1; }
}
# Waits up to $1 seconds for the command to succeed.
wait_for() {
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $end ] || return 1
        sleep 0.2
    done
}
running() { [ "$(systemctl is-active "$unit")" = active ] && [ "$(main_pid)" != 0 ]; }
probe() { "$py" "$here/probe.py" "$@"; }
ctl() {
    local user=$1
    shift
    runuser -u "$user" -- "$py" "$here/ctl.py" "$@"
}
links() { bpftool link show 2>/dev/null | grep -c '^[0-9]*:'; }
service_processes() { pgrep -a -x 'korvan-tessivo|kt-destroyer'; }
# The rules file with one value replaced.
set_value() { sed -i "s/^$1=.*/$1=$2/" "$rules"; }
# What the service last told systemd of itself (STATUS=).
status_text() { prop StatusText; }
export -f prop main_pid service_pid wait_for running probe ctl links service_processes set_value status_text

# check NAME SECONDS BODY: BODY runs in a shell of its own under the timeout; its last line of
# output is the evidence, the rest is printed when it fails.
check() {
    local name=$1 secs=$2 body=$3 out rc t0=$SECONDS verdict
    out=$(timeout -k 5 "$secs" bash -c "set -uo pipefail; $body" 2>&1)
    rc=$?
    if [ $rc = 0 ]; then
        verdict=PASS
        passed=$((passed + 1))
    else
        verdict=FAIL
        failed=$((failed + 1))
        [ $rc != 124 ] || out+=$'\n'"timed out after $secs s"
    fi
    printf 'CHECK %-26s %s  %3d s  %s\n' "$name" "$verdict" $((SECONDS - t0)) "$(tail -n 1 <<<"$out")"
    if [ $verdict = FAIL ]; then
        head -n -1 <<<"$out" | tail -n 40 | sed 's/^/      | /'
    fi
}

# ---------------------------------------------------------------- the machine

check boot 300 '
    s=$(systemctl is-system-running --wait)
    systemctl --failed --no-legend --no-pager
    echo "kernel $(uname -r), systemd $(systemctl --version | head -1 | cut -d" " -f2), $s: $(systemd-analyze time | head -1)"
    [ "$s" = running ] || [ "$s" = degraded ]'

# This machine's root file system is the lower layer: start from one without the package.
dpkg --purge korvan-tessivo >/dev/null 2>&1
groupdel korvan-tessivo 2>/dev/null
# man-db's trigger would index every manual page over 9p (minutes emulated), as Debian allows
# an administrator to switch off.
rm -f /var/lib/man-db/auto-update
# A container image's policy-rc.d (exit 101) forbids maintainer scripts to start or stop any
# service; a booted Debian has none.
rm -f /usr/sbin/policy-rc.d
useradd -m ktmember && useradd -m ktother
# IPv6 between this namespace and a peer's, over a veth pair.
ip netns add ktpeer
ip link add ktv0 type veth peer name ktv1 netns ktpeer
ip addr add fd4b:7e55::1/64 dev ktv0 nodad
ip -n ktpeer addr add fd4b:7e55::2/64 dev ktv1 nodad
ip link set ktv0 up && ip -n ktpeer link set ktv1 up && ip -n ktpeer link set lo up
links >"$state/links-before"

# ---------------------------------------------------------------- install and enable

check install 180 '
    dpkg -i "$deb" >"$state/dpkg-i.log" 2>&1 || { cat "$state/dpkg-i.log"; exit 1; }
    getent group korvan-tessivo || { echo "no group korvan-tessivo"; exit 1; }
    for u in korvan-tessivo.service korvan-tessivo.socket; do
        e=$(systemctl is-enabled $u); a=$(systemctl is-active $u)
        echo "$u: $e, $a"
        [ "$e" = disabled ] && [ "$a" = inactive ] || exit 1
    done
    [ -z "$(dpkg-query -W -f="\${Conffiles}" korvan-tessivo)" ] || { echo "conffiles"; exit 1; }
    cmp "$rules" "$default_rules" && [ "$(stat -c "%U:%G %a" "$rules")" = "root:root 644" ] ||
        exit 1
    echo "installed: group $(getent group korvan-tessivo | cut -d: -f3), both units disabled and inactive, $rules root:root 644, no conffile"'

# The administrator blocks a port, and ktmember joins the group.
set_value BlockedLocalPortsString 7001
adduser --quiet ktmember korvan-tessivo

check enable-now 120 '
    t=$(date +%s%N)
    systemctl enable --now korvan-tessivo 2>&1 || exit 1
    ms=$((($(date +%s%N) - t) / 1000000))
    for u in korvan-tessivo.service korvan-tessivo.socket; do
        echo "$u: $(systemctl is-enabled $u), $(systemctl is-active $u)"
        [ "$(systemctl is-enabled $u)" = enabled ] && [ "$(systemctl is-active $u)" = active ] ||
            exit 1
    done
    s=$(status_text)
    echo "status: $s"
    grep -q "the kernel guard" <<<"$s" || exit 1
    echo "both active after $ms ms (READY=1 reached: Type=notify); status: $s"'

check socket-mode 20 '
    m=$(stat -c "%A %U %G" "$sock") && echo "$m"
    [ "$m" = "srw-rw---- root korvan-tessivo" ] && echo "$sock: $m"'

# ---------------------------------------------------------------- guarding

check cut-ipv4 60 '
    for i in 1 2 3; do probe 7001 --expect cut || exit 1; done'
check cut-ipv6 60 'probe 7001 --expect cut --ipv6 ktpeer'
check unblocked-carries 60 'probe 7010 --expect open --within 2'

check member-adds-rule 90 '
    ctl ktmember "{\"cmd\":\"rules\"}" "{\"cmd\":\"add\",\"list\":\"blockedLocalPorts\",\"entry\":\"7002\"}" \
        "{\"cmd\":\"rules\"}" >"$state/member" || { cat "$state/member"; exit 1; }
    grep "\"reply\":\"rules\"" "$state/member" | tail -n 1 | grep -q "\"7002\"" ||
        { cat "$state/member"; exit 1; }
    probe 7002 --expect cut'

check non-member-refused 60 '
    ctl ktother "{\"cmd\":\"rules\"}" >"$state/other" 2>&1 && { cat "$state/other"; exit 1; }
    cat "$state/other"
    grep -qi "permission denied" "$state/other" || exit 1
    # Past the socket'"'"'s mode with the group'"'"'s id, but not in the group: the service refuses.
    gid=$(getent group korvan-tessivo | cut -d: -f3)
    setpriv --reuid=ktother --regid=ktother --groups="$gid" -- "$py" "$here/ctl.py" \
        "{\"cmd\":\"rules\"}" >"$state/other2" 2>&1 && { cat "$state/other2"; exit 1; }
    cat "$state/other2"
    grep -q "adduser" "$state/other2" || exit 1
    echo "refused by the socket'"'"'s mode; with the group'"'"'s id only: $(grep -m1 adduser "$state/other2")"'

check window-is-face 300 '
    run=$(mktemp -d) && chown ktmember "$run" && chmod 700 "$run"
    runuser -u ktmember -- env -i PATH=/usr/bin:/bin HOME=/home/ktmember USER=ktmember \
        XDG_RUNTIME_DIR="$run" QT_QPA_PLATFORM=offscreen /usr/bin/korvan-tessivo \
        2>"$state/window" >/dev/null &
    pid=$!
    wait_for 120 grep -q "is the face of the service" "$state/window"; found=$?
    if [ $found = 0 ]; then
        # The service stops (its socket with it) and comes back: the window, on its own rules
        # meanwhile, looks every 2 s.
        systemctl stop "$unit" && sleep 3 && systemctl start "$unit" || exit 1
        t=$(date +%s%N)
        wait_for 60 grep -q "is now the face of the service" "$state/window"; found=$?
        again=$((($(date +%s%N) - t) / 1000000))
    fi
    kill $pid 2>/dev/null; wait $pid 2>/dev/null
    cat "$state/window"
    [ $found = 0 ] && running || { echo "not the face of the service again"; exit 1; }
    grep -m1 "is the face of the service" "$state/window"
    echo "the face again $again ms after the service was back (ready)"'

check journal-cut-entry 30 '
    journalctl _SYSTEMD_UNIT=$unit MESSAGE_ID=$cut_id -o verbose --no-pager >"$state/cuts"
    grep -q "KT_LOCAL_PORT=7001" "$state/cuts" || { tail -n 20 "$state/cuts"; exit 1; }
    for f in KT_LOCAL_ADDRESS KT_LOCAL_PORT KT_REMOTE_ADDRESS KT_REMOTE_PORT KT_RULE; do
        grep -q "^ *$f=" "$state/cuts" || { echo "no field $f"; exit 1; }
    done
    echo "$(grep -c "MESSAGE_ID=" "$state/cuts") entries; $(grep -m5 -E "^ *KT_" "$state/cuts" | tr -s " \n" " ")"'

check comments-survive-save 20 '
    diff <(grep "^;" "$default_rules") <(grep "^;" "$rules") || exit 1
    # Qt writes a list with commas in quotes, as it always has; the program reads either form.
    grep -qE "^BlockedLocalPortsString=\"?7001,7002\"?$" "$rules" || { cat "$rules"; exit 1; }
    echo "all $(grep -c "^;" "$default_rules") comment lines kept after the save; $(grep ^Blocked "$rules" | tr "\n" " ")"'

check security 60 '
    systemd-analyze security "$unit" --no-pager >"$state/security" 2>&1
    line=$(grep "Overall exposure level" "$state/security") || { cat "$state/security"; exit 1; }
    level=$(grep -oE "[0-9]+\.[0-9]" <<<"$line" | head -1)
    echo "$line"
    awk -v l="$level" "BEGIN { exit !(l <= 3.9) }"'

# ---------------------------------------------------------------- a bad file, reload, restart

check bad-file-restart 120 '
    cp "$rules" "$state/good.ini"
    set_value BlockedLocalPortsString 7001,7002,notaport
    systemctl restart "$unit" || exit 1
    running || exit 1
    s=$(status_text); echo "status: $s"
    grep -q "guarding by the last applied rules" <<<"$s" || exit 1
    journalctl -u korvan-tessivo _SYSTEMD_INVOCATION_ID="$(prop InvocationID)" -o cat --no-pager |
        grep -m1 "guarding by the last applied rules" || exit 1
    probe 7001 --expect cut && probe 7002 --expect cut'

check mended-file-applied 120 '
    cp "$state/good.ini" "$rules"
    set_value BlockedLocalPortsString 7001,7002,7003
    wait_for 60 bash -c "! status_text | grep -q \"last applied\"" || { status_text; exit 1; }
    echo "status: $(status_text)"
    probe 7003 --expect cut'

check reload 90 '
    pid=$(main_pid)
    set_value BlockedLocalPortsString 7001,7002,7003,7004
    systemctl reload "$unit" || exit 1
    [ "$(main_pid)" = "$pid" ] && running || { echo "main PID $pid -> $(main_pid)"; exit 1; }
    probe 7004 --expect cut || exit 1
    echo "same main PID $pid; $(probe 7004 --expect cut)"'

check restart 120 '
    pid=$(service_pid) || exit 1
    t=$(date +%s%N)
    systemctl restart "$unit" || exit 1
    ms=$((($(date +%s%N) - t) / 1000000))
    running && [ "$(main_pid)" != "$pid" ] || exit 1
    ctl ktmember "{\"cmd\":\"rules\"}" | grep "\"7002\"" || { echo "the socket does not answer"; exit 1; }
    probe 7002 --expect cut || exit 1
    echo "main PID $pid -> $(main_pid) in $ms ms; the socket answers; 7002 (added over the socket) still cut"'

check kill-9-restarted 120 '
    pid=$(service_pid) || exit 1
    n=$(prop NRestarts); t=$(date +%s%N)
    kill -9 "$pid"
    wait_for 90 bash -c "running && [ \"\$(main_pid)\" != $pid ]" ||
        { echo "killed $pid: $(systemctl is-active "$unit"), main PID $(main_pid)"; exit 1; }
    ms=$((($(date +%s%N) - t) / 1000000))
    ctl ktmember "{\"cmd\":\"rules\"}" | grep "\"7002\"" || { echo "the socket does not answer"; exit 1; }
    probe 7002 --expect cut || exit 1
    echo "killed $pid; back as $(main_pid) after $ms ms (restarts $n -> $(prop NRestarts)); the socket answers; 7002 cut again"'

# A connection whose owner holds its socket makes its destroy wait: the watchdog must not take
# the service for hung meanwhile.
check stuck-socket-no-watchdog 150 '
    pid=$(service_pid) || exit 1
    n=$(prop NRestarts)
    "$py" "$here/stuck.py" 7020 60 >"$state/stuck" 2>&1 &
    stuck=$!
    wait_for 20 grep -q "^stuck" "$state/stuck" || { cat "$state/stuck"; exit 1; }
    ctl ktmember "{\"cmd\":\"add\",\"list\":\"blockedLocalPorts\",\"entry\":\"7020\"}" ||
        { echo "the member could not block 7020"; exit 1; }
    wait $stuck; rc=$?
    cat "$state/stuck"
    running && [ "$(main_pid)" = "$pid" ] && [ "$(prop NRestarts)" = "$n" ] ||
        { echo "main PID $pid -> $(main_pid), restarts $n -> $(prop NRestarts)"; exit 1; }
    ctl ktmember "{\"cmd\":\"delete\",\"list\":\"blockedLocalPorts\",\"entry\":\"7020\"}" >/dev/null
    [ $rc = 0 ] && echo "60 s stuck: same main PID $pid, restarts $n; $(tail -n 1 "$state/stuck")"'

check stop 60 '
    t=$(date +%s%N)
    systemctl stop "$unit" || exit 1
    ms=$((($(date +%s%N) - t) / 1000000))
    left=$(service_processes); l=$(links)
    echo "stopped in $ms ms; left: ${left:-no process}; BPF links $l (before the start: $(cat "$state/links-before"))"
    [ $ms -le 2000 ] && [ -z "$left" ] && [ "$l" = "$(cat "$state/links-before")" ] || exit 1
    for u in korvan-tessivo.service korvan-tessivo.socket; do
        [ "$(systemctl is-active $u)" = inactive ] || { echo "$u: $(systemctl is-active $u)"; exit 1; }
    done
    # Nothing listens, and a window connecting does not start the service again.
    ctl root "{\"cmd\":\"rules\"}" && exit 1
    sleep 2
    [ "$(systemctl is-active "$unit")" = inactive ] || { echo "started by a connection"; exit 1; }
    probe 7001 --expect open --within 2 || exit 1
    echo "stopped in $ms ms: no process, no BPF link of its own, both units inactive, no socket, 7001 not cut"'

check root-window-hands-over 300 '
    # Both units stopped: a root window guards by its own rules with a guard of its own.
    before=$(links)
    run=$(mktemp -d)
    env -i PATH=/usr/bin:/bin HOME=/root USER=root XDG_RUNTIME_DIR="$run" \
        QT_QPA_PLATFORM=offscreen /usr/bin/korvan-tessivo 2>"$state/root-window" >/dev/null &
    pid=$!
    grown() { [ "$(links)" -gt "$before" ]; }
    wait_for 120 grown; loaded=$?
    own=$(($(links) - before))
    systemctl start korvan-tessivo.socket "$unit" && wait_for 120 running || loaded=1
    wait_for 120 grep -q "own guard stopped" "$state/root-window"; found=$?
    sleep 1
    after=$(($(links) - before))
    kill $pid 2>/dev/null; wait $pid 2>/dev/null
    cat "$state/root-window"
    echo "BPF links: the window'"'"'s own $own; with the service, after the hand-over: $after"
    [ $loaded = 0 ] && [ $found = 0 ] && [ "$own" -gt 0 ] && [ "$after" = "$own" ] || exit 1
    probe 7001 --expect cut || exit 1
    echo "handed over: one set of BPF links (the service'"'"'s), 7001 cut"'

# ---------------------------------------------------------------- upgrade, remove, purge

check upgrade-restarts 180 '
    systemctl start "$unit" && running || exit 1
    pid=$(main_pid)
    dpkg -i "$deb" >"$state/dpkg-i2.log" 2>&1 || { cat "$state/dpkg-i2.log"; exit 1; }
    wait_for 60 running || exit 1
    [ "$(main_pid)" != "$pid" ] || { echo "not restarted: main PID still $pid"; exit 1; }
    grep -qE "^BlockedLocalPortsString=\"?7001,7002,7003,7004\"?$" "$rules" || { cat "$rules"; exit 1; }
    probe 7001 --expect cut || exit 1
    echo "main PID $pid -> $(main_pid); the administrator'"'"'s rules kept; 7001 cut"'

check remove-stops 120 '
    dpkg --remove korvan-tessivo >"$state/remove.log" 2>&1 || { cat "$state/remove.log"; exit 1; }
    left=$(service_processes); l=$(links)
    echo "left: ${left:-no process}; BPF links $l; unit $(prop LoadState)/$(prop ActiveState)"
    [ -z "$left" ] && [ "$l" = "$(cat "$state/links-before")" ] || exit 1
    probe 7001 --expect open --within 2 || exit 1
    echo "removed: no process, no BPF link, unit $(prop LoadState)/$(prop ActiveState), 7001 not cut"'

check purge-leaves-group 120 '
    dpkg --purge korvan-tessivo >"$state/purge.log" 2>&1 || { cat "$state/purge.log"; exit 1; }
    left=$(ls -d /etc/korvan-tessivo /var/lib/korvan-tessivo /run/korvan-tessivo \
        /usr/share/korvan-tessivo /lib/systemd/system/korvan-tessivo.* \
        /etc/systemd/system/*.wants/korvan-tessivo.* 2>/dev/null)
    echo "left: ${left:-nothing}"
    [ -z "$left" ] || exit 1
    dpkg-query -W korvan-tessivo 2>/dev/null && exit 1
    getent group korvan-tessivo >/dev/null || { echo "the group went too"; exit 1; }
    echo "nothing left but the group korvan-tessivo ($(getent group korvan-tessivo))"'

# ---------------------------------------------------------------- the end

ip netns del ktpeer 2>/dev/null
echo "walk: $passed passed, $failed failed in $((SECONDS - walk_start)) s on $(uname -r)"
rm -rf "$state"
[ $failed = 0 ]
