#!/bin/sh
# Runs inside a root booted with systemd as PID 1 (see boot-container.sh):
# installs the package under the running systemd and proves its collector
# there, then purges it.
#
#   under-systemd-checks.sh DEB HISTORY
#
# DEB is the package, HISTORY a wtmp file of several boots, loaded as this
# release keeps its history (wtmp, or imported into wtmpdb). The service
# runs from `systemctl start`: its file must be the bytes the collector
# gives when run by hand, mode 0644; its sandbox must hold (no capability,
# no new privileges, seccomp, / read-only but for the textfile folder,
# loopback only); the timer, enabled, must fire; a history that it cannot
# read must reach the journal and leave no figure; `systemd-analyze
# security` scores the unit in force; purge must stop the units and leave
# the root as it was. The tool's own output by hand is left in
# /root/by-hand.out and .err for the caller to check against the records.
set -eu

deb=$1
history=$2
unit=mean-reboot-interval-textfile
textfile=/var/lib/prometheus/node-exporter
prom=$textfile/mean_reboot_interval.prom
stamp=/var/lib/systemd/timers/stamp-$unit.timer
# systemd-analyze's scale: 0.0 (every protection) to 10.0 (none), tenfold.
exposure_threshold=10
timer_seconds=30

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
say() {
    echo "    $*"
}

# The root's files but for what a running system and apt change by
# themselves: kernel file systems, runtime state, logs, apt's and dpkg's
# own records, and root's home, where the test keeps its work.
files() {
    find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp \
        -o -path /root -o -path /var/cache -o -path /var/lib/apt -o -path /var/lib/dpkg \
        -o -path /var/log -o -path /var/tmp \) -prune -o -print | sort
}

# What the service's newest run wrote to the journal, once journald has
# stored all that it was sent. A oneshot that has ended no longer has its
# invocation on the unit: the journal keeps it.
newest_run() {
    journalctl --sync
    invocation=$(journalctl -u "$unit.service" -o export |
        sed -n 's/^_SYSTEMD_INVOCATION_ID=//p' | tail -n 1)
    journalctl -o cat "_SYSTEMD_INVOCATION_ID=$invocation"
}

finished_runs() {
    journalctl -u "$unit.service" -o cat | grep -c "^Finished $unit.service" || true
}

files >/root/before
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q --no-install-recommends "$deb" >/root/install.log 2>&1 ||
    { cat /root/install.log; fail "install"; }
[ "$(systemctl is-enabled "$unit.timer")" = disabled ] || fail "the timer was enabled on install"
[ "$(systemctl is-active "$unit.timer")" = inactive ] || fail "the timer was started on install"
say "installed under systemd $(systemctl --version | head -n 1 | cut -d' ' -f2): timer disabled and inactive"

# This release's history: wtmp up to Debian 12, wtmpdb's database after.
# The container's own boot was recorded there at boot; the history
# replaces it.
last_program=$(basename "$(readlink -f /usr/bin/last)")
if [ "$last_program" = wtmpdb ]; then
    history_file=$(readlink -f /var/lib/wtmpdb/wtmp.db)
    rm -f "$history_file"
    wtmpdb import "$history" >/dev/null
else
    history_file=/var/log/wtmp
    cp "$history" "$history_file"
fi
say "history: $history_file, read by $last_program"

mean-reboot-interval -v >/root/by-hand.out 2>/root/by-hand.err
/usr/share/mean-reboot-interval/prometheus-textfile >/root/by-hand.prom

# The sandbox is read from inside the service: a command run before the
# collector in the same unit, with the same capabilities, filters and
# mounts, prints its /proc status and tries a write outside the folder.
dropins=/run/systemd/system
mkdir -p "$dropins/$unit.service.d" "$dropins/$unit.timer.d"
cat >"$dropins/$unit.service.d/probe.conf" <<'EOF'
[Service]
ExecStartPre=/bin/sh -c 'grep -E "^(CapPrm|CapEff|CapBnd|CapAmb|NoNewPrivs|Seccomp):" /proc/self/status; \
    if touch /var/log/probe 2>/dev/null; then echo "write outside: done"; else echo "write outside: refused"; fi; \
    echo "interfaces: $(tail -n +3 /proc/self/net/dev | cut -d: -f1 | tr -d " " | paste -sd, -)"'
EOF
systemctl daemon-reload
systemctl start "$unit.service" || { newest_run; fail "systemctl start $unit.service"; }
[ "$(systemctl show -P Result "$unit.service")" = success ] || fail "the service did not succeed"
run=$(newest_run)
cmp -s "$prom" /root/by-hand.prom ||
    { diff /root/by-hand.prom "$prom" || true; fail "the service wrote other bytes than the collector by hand"; }
[ "$(stat -c %a "$prom")" = 644 ] || fail "$prom has mode $(stat -c %a "$prom")"
say "systemctl start: $prom the same bytes as by hand, mode 0644"
for expected in "CapPrm:	0000000000000000" "CapEff:	0000000000000000" "CapBnd:	0000000000000000" \
    "CapAmb:	0000000000000000" "NoNewPrivs:	1" "Seccomp:	2" "write outside: refused" "interfaces: lo"; do
    printf '%s\n' "$run" | grep -qxF "$expected" ||
        { printf '%s\n' "$run"; fail "the sandbox: no '$expected' in the service's journal"; }
done
say "sandbox: capabilities 0, no new privileges, seccomp filtering, a write to /var/log refused, loopback only"

# The timer, enabled as an administrator does, set by a drop-in to fire
# once, a few seconds from now.
runs=$(finished_runs)
at=$(date -d "+3 seconds" "+%Y-%m-%d %H:%M:%S")
printf '[Timer]\nOnCalendar=\nOnCalendar=%s\nRandomizedDelaySec=0\nAccuracySec=1s\n' "$at" \
    >"$dropins/$unit.timer.d/once.conf"
systemctl daemon-reload
systemctl enable --now "$unit.timer" 2>/dev/null
waited=0
while [ "$(finished_runs)" -le "$runs" ]; do
    [ "$waited" -lt "$timer_seconds" ] || fail "the timer did not fire in $timer_seconds s"
    sleep 1
    waited=$((waited + 1))
done
[ "$(systemctl show -P LastTriggerUSec "$unit.timer")" != "" ] || fail "the timer has no trigger on record"
[ "$(finished_runs)" -eq $((runs + 1)) ] || fail "the timer fired more than once"
cmp -s "$prom" /root/by-hand.prom || fail "the timer's run wrote other bytes"
say "timer: enabled, fired once at $at, wrote the same bytes"

# A history the service cannot read: root without a capability cannot
# open a file no one may read.
chmod 0000 "$history_file"
systemctl start "$unit.service" || { newest_run; fail "the service failed on an unreadable history"; }
run=$(newest_run)
chmod 0644 "$history_file"
[ "$(grep -v '^#' "$prom")" = "mean_reboot_interval_history_readable 0" ] ||
    { cat "$prom"; fail "an unreadable history: the file holds more than history_readable 0"; }
printf '%s\n' "$run" | grep -q "^Unable to read history from " ||
    { printf '%s\n' "$run"; fail "an unreadable history: no reason in the journal"; }
say "unreadable history: history_readable 0 and no figure; the journal:"
printf '%s\n' "$run" | grep -v "^Cap\|^NoNewPrivs\|^Seccomp\|^write outside\|^interfaces" |
    sed 's/^/      /'

exposure=$(systemd-analyze security --no-pager "$unit.service" | sed -n 's/.*Overall exposure level for [^:]*: //p')
systemd-analyze security --no-pager --threshold="$exposure_threshold" "$unit.service" >/dev/null ||
    fail "systemd-analyze security: $exposure"
say "systemd-analyze security, online: $exposure"

# Purge with the timer enabled and running: the package stops its units.
rm -rf "$dropins/$unit.service.d" "$dropins/$unit.timer.d"
systemctl daemon-reload
[ "$(systemctl is-active "$unit.timer")" = active ] || fail "the timer is not running before the purge"
apt-get purge -y -q mean-reboot-interval >/root/purge.log 2>&1 || { cat /root/purge.log; fail "purge"; }
for kind in timer service; do
    state=$(systemctl is-active "$unit.$kind" || true)
    [ "$state" = inactive ] || fail "$unit.$kind is $state after the purge"
done
[ -z "$(systemctl list-unit-files --no-legend "$unit.*")" ] || fail "systemd still has the units"
files >/root/after
changed=$(diff /root/before /root/after | grep "^[<>]" || true)
[ -z "$changed" ] || { echo "$changed"; fail "the purge left the root changed"; }
say "purge: the units stopped and gone, the root as before the install ($stamp, the .prom and links gone)"
