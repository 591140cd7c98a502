#!/bin/sh
# The package under a running systemd, on each SUITE (default: Debian 12 and
# 13): a fresh root with systemd and what the package depends on, booted
# with systemd as PID 1 under systemd-nspawn; the package installed, run as
# a service and by its timer, its sandbox scored, and purged there
# (tools/under-systemd-checks.sh); the tool's answer by hand checked
# against the records' own times. A host where systemd cannot boot in a
# container fails this check; it is never skipped. The packages come from
# the source-package check, run first if need be.
#
#   tools/fresh-machine/under-systemd.sh [SUITE...]    (as root)
set -eu
here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/tools/fresh-machine/lib.sh"
begin_check under-systemd

check_under_systemd() {
    suite=$1
    deb=$2
    root="$work/boot-$suite"
    fresh_root "$suite" "$root"
    cp "$deb" "$work/history.wtmp" "$here/tools/under-systemd-checks.sh" "$root/root/"
    in_root "$root" sh -c '
        set -e
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -q >/dev/null
        apt-get install -y -q --no-install-recommends systemd dbus >/root/systemd.log 2>&1 ||
            { cat /root/systemd.log; exit 1; }
        apt-get satisfy -y -q --no-install-recommends "$(dpkg-deb -f "/root/$1" Depends)" \
            >/root/depends.log 2>&1 || { cat /root/depends.log; exit 1; }
        # node_exporter'"'"'s textfile folder, as prometheus-node-exporter makes it.
        mkdir -p /var/lib/prometheus/node-exporter
    ' sh "$(basename "$deb")" || fail "$suite: a root with systemd"
    boot_container "$root" "mri-$suite" "$work/boot-$suite.log" ||
        fail "$suite: systemd could not be booted in a container on this machine"
    status=0
    in_container sh /root/under-systemd-checks.sh "/root/$(basename "$deb")" /root/history.wtmp || status=$?
    stop_container
    [ "$status" -eq 0 ] || fail "$suite: the package under a running systemd"
    actual=$(tail -n 1 "$root/root/by-hand.out")
    [ "$actual" = "$expected" ] || fail "$suite under systemd: got '$actual', expected '$expected'"
    echo "$suite under systemd: $actual"
    check_metrics "$suite under systemd" "$root/root/by-hand.prom"
    rm -rf "$root"
}

[ "$#" -gt 0 ] || set -- bookworm trixie
for suite in "$@"; do
    need_package "$suite"
    step "$(suite_name "$suite"): under a running systemd"
    check_under_systemd "$suite" "$deb"
done
check_passed
