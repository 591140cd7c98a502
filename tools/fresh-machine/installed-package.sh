#!/bin/sh
# The package each release built (testing takes Debian 13's), on each SUITE
# (default: Debian 12, 13 and testing): installed with apt into a fresh
# root, run against the crafted history read by that release's own `last`
# (imported into wtmpdb from Debian 13 on), its mean checked against one
# computed from the records' own times; the collector and the Nagios plugin
# run once; the timer enabled as an administrator would and the collector
# run as its service runs it; then purged, leaving the root's files as they
# were before the install. The packages come from the source-package
# check, run first if need be.
#
#   tools/fresh-machine/installed-package.sh [SUITE...]    (as root)
set -eu
here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/tools/fresh-machine/lib.sh"
begin_check installed-package

# Installs the package with apt on a fresh root of SUITE, runs it over the
# crafted history read by that release's last, and purges it.
check_package() {
    suite=$1
    deb=$2
    root="$work/package-$suite"
    fresh_root "$suite" "$root"
    cp "$deb" "$root/root/"
    cp "$work/history.wtmp" "$root/root/history.wtmp"
    expected_err="Crashed boots counted to the next boot: 1"
    # What the root holds, but for apt's and dpkg's own records and logs.
    # shellcheck disable=SC2016
    files='find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp \
        -o -path /root -o -path /var/cache -o -path /var/lib/apt -o -path /var/lib/dpkg \
        -o -path /var/log \) -prune -o -print | sort'
    in_root "$root" sh -c '
        set -e
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -q >/dev/null
        # systemctl, to enable the timer as an administrator would.
        apt-get install -y -q --no-install-recommends systemd >/root/systemd.log 2>&1 ||
            { cat /root/systemd.log; exit 1; }
        # What the package depends on stays after its purge: it is there
        # before, as on a node that has its `last`.
        apt-get satisfy -y -q --no-install-recommends "$(dpkg-deb -f "/root/$1" Depends)" \
            >/root/depends.log 2>&1 || { cat /root/depends.log; exit 1; }
        mkdir -p /var/lib/prometheus/node-exporter
        '"$files"' >/root/before
        apt-get install -y -q --no-install-recommends "/root/$1" >/root/install.log 2>&1 ||
            { cat /root/install.log; exit 1; }
        echo "last: $(readlink -f /usr/bin/last) from $(dpkg -S "$(readlink -f /usr/bin/last)" | cut -d: -f1)"
        '"$load_history"'
        /usr/bin/last reboot | sed "s/^/    /"
        mean-reboot-interval -v >/root/out 2>/root/err
        /usr/share/mean-reboot-interval/prometheus-textfile >/root/metrics
        status=0
        /usr/lib/nagios/plugins/check_reboot_interval -w 7: -c 1: >/root/plugin || status=$?
        echo "$status" >>/root/plugin
        timer=/etc/systemd/system/timers.target.wants/mean-reboot-interval-textfile.timer
        [ ! -e "$timer" ] || { echo "the timer was enabled on install"; exit 1; }
        systemctl enable mean-reboot-interval-textfile.timer 2>&1 | sed "s/^/    /"
        [ -L "$timer" ] || { echo "systemctl enable made no link"; exit 1; }
        # What the service runs, once, as the timer would.
        sed -n "s/^ExecStart=//p" "$(dpkg -L mean-reboot-interval | grep "textfile.service$")" | sh
        [ -s /var/lib/prometheus/node-exporter/mean_reboot_interval.prom ]
        apt-get purge -y -q mean-reboot-interval >/root/purge.log 2>&1 || { cat /root/purge.log; exit 1; }
        ! dpkg-query -W mean-reboot-interval >/dev/null 2>&1
        '"$files"' >/root/after
        changed=$(diff /root/before /root/after | grep "^[<>]" || true)
        [ -z "$changed" ] || { echo "purge left the root changed:"; echo "$changed"; exit 1; }
        echo "    purge: the root holds what it held before the install, timer link and .prom gone"
    ' sh "$(basename "$deb")" || fail "the package on $suite"
    actual=$(tail -n 1 "$root/root/out")
    [ "$actual" = "$expected" ] || fail "$suite: got '$actual', expected '$expected'"
    [ "$(cat "$root/root/err")" = "$expected_err" ] || fail "$suite: standard error: $(cat "$root/root/err")"
    echo "$suite: $actual"
    echo "$suite: $expected_err"
    # The collector and the plugin, once, against the same history.
    check_metrics "$suite" "$root/root/metrics"
    days=$((expected_mean / 1440)) hours=$((expected_mean % 1440 / 60)) minutes=$((expected_mean % 60))
    grep -q "^REBOOT INTERVAL OK - mean ${days}d ${hours}h ${minutes}m over " "$root/root/plugin" &&
        [ "$(tail -n 1 "$root/root/plugin")" = 0 ] || fail "$suite: the plugin said: $(cat "$root/root/plugin")"
    echo "$suite: plugin: $(head -n 1 "$root/root/plugin")"
    rm -rf "$root"
}

# Testing is checked where it can be used as it comes: a mirror that serves
# it with an expired Release file (a frozen snapshot), or no root of it at
# all, is said, not failed.
check_testing() {
    if ! make_base testing; then
        echo "Debian testing: no root could be made here (debootstrap failed)"
        return
    fi
    fresh_root testing "$work/testing-probe"
    if in_root "$work/testing-probe" apt-get update -q >"$work/testing-update.log" 2>&1 &&
        ! grep -q '^E:' "$work/testing-update.log"; then
        check_package testing "$deb"
    else
        echo "Debian testing: not usable as it comes here: $(grep '^E:' "$work/testing-update.log" | head -n 1)"
    fi
    rm -rf "$work/testing-probe"
}

[ "$#" -gt 0 ] || set -- bookworm trixie testing
for suite in "$@"; do
    need_package "$([ "$suite" = testing ] && echo trixie || echo "$suite")"
    step "$(suite_name "$suite"): install, answer, enable, purge"
    if [ "$suite" = testing ]; then check_testing; else check_package "$suite" "$deb"; fi
done
check_passed
