#!/bin/sh
# Proves what a new user gets, on freshly installed minimal Debian 12 and
# Debian 13 roots built with debootstrap in a temporary folder:
#
# - Debian 12 and Debian 13: a clone of the committed HEAD; the README's two
#   Quick start commands, read from the README and run exactly as written,
#   first as a user with sudo rights, then as root with sudo removed. The
#   demo must print a summary line and the tests must all pass.
# - Debian 12 and 13: the source package, as the README builds it, from a
#   clean clone in a fresh root (`apt-get build-dep ./`, then
#   `dpkg-buildpackage -us -uc -b`), lintian on the binary and the source
#   .changes, Debian's autopkgtest on the built package, and on Debian 12 a
#   second build at another path and time that must give the same bytes.
# - Debian 12, 13 and testing: the package each release built (testing
#   takes Debian 13's), installed with apt into a fresh root, run against a
#   crafted history read by that release's own `last` (imported into wtmpdb
#   from Debian 13 on), its mean checked against one computed from the
#   records' own times; the timer enabled as an administrator would, the
#   collector run once into node_exporter's folder; then purged, leaving the
#   root's files as they were before the install.
# - The release artifacts, where a foreign node stands: a root with no C
#   library, qemu-user, rpm and dnf roots, and Debian 11
#   (tools/fresh-machine/release-artifacts.sh, which also runs alone).
#
# Run as root. Reaches only the Debian mirror apt is configured with. The
# base roots and downloaded packages are cached in $MRI_FRESH_CACHE
# (default /var/cache/mean-reboot-interval-fresh) between runs; everything
# else is removed at the end. Every step prints its time.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
cache=${MRI_FRESH_CACHE:-/var/cache/mean-reboot-interval-fresh}
newcomer=newcomer
summary_prefix='* Mean time between reboots:'

[ "$(id -u)" -eq 0 ] || { echo "check-fresh-machine: run as root" >&2; exit 1; }

work=$(mktemp -d /var/tmp/mri-fresh.XXXXXX)
. "$here/tools/boot-container.sh"
cleanup() {
    # A booted root is powered off first; every mount was made in a private
    # namespace that is gone by now.
    stop_container
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

. "$here/tools/fresh-machine/lib.sh"

# A fresh root of SUITE at ROOT with a clean clone of HEAD in
# /root/src/mean-reboot-interval, whose apt answers yes as a user would at
# its prompt.
source_root() {
    fresh_root "$1" "$2"
    git clone -q "$here" "$2/root/src/mean-reboot-interval"
    echo 'APT::Get::Assume-Yes "true";' >"$2/etc/apt/apt.conf.d/90mri-fresh-yes"
}

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

# A fresh root of SUITE with systemd and what the package depends on,
# booted with systemd as PID 1; the package is installed, run as a service
# and by its timer, and purged there (under-systemd-checks.sh), and the
# tool's answer by hand checked against the records' own times.
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

# The source package from a clean clone of HEAD in a fresh root of SUITE,
# built as the README says; lintian on what it built, autopkgtest on the
# package; on Debian 12, a second build elsewhere, later, for the same bytes.
package_file=""
build_package() {
    suite=$1
    name=$2
    root="$work/build-$suite"
    source_root "$suite" "$root"
    mkdir -p "$root/srv/other-place"
    git clone -q "$here" "$root/srv/other-place/mean-reboot-interval"
    again=$([ "$suite" = bookworm ] && echo yes || echo "")
    in_root "$root" sh -c '
        set -e
        export DEBIAN_FRONTEND=noninteractive
        cd /root/src/mean-reboot-interval
        apt-get update -q >/dev/null
        { '"$(build_commands)"'; } >/root/build.log 2>&1 || { tail -n 40 /root/build.log; exit 1; }
        # make-wtmp, for the history the installed package is tried on.
        { cmake -S . -B /root/tools && cmake --build /root/tools --target make-wtmp; } >/root/tools-build.log 2>&1 ||
            { tail -n 20 /root/tools-build.log; exit 1; }
        dpkg-buildpackage -us -uc -S -d >/root/source.log 2>&1 || { tail -n 20 /root/source.log; exit 1; }
        apt-get install -y -q --no-install-recommends lintian autopkgtest >/root/tools.log 2>&1 ||
            { tail -n 20 /root/tools.log; exit 1; }
        cd ..
        echo "    lintian (errors and warnings fail; informational tags shown):"
        status=0
        lintian --fail-on error,warning --info --tag-display-limit 0 \
            mean-reboot-interval_*_amd64.changes mean-reboot-interval_*_source.changes \
            >/root/lintian.log 2>&1 || status=$?
        grep -v "^running with root" /root/lintian.log | sed "s/^/      /"
        [ "$status" -eq 0 ] || exit 1
        echo "    autopkgtest:"
        autopkgtest mean-reboot-interval_*_amd64.deb /root/src/mean-reboot-interval/ -- null >/root/autopkgtest.log 2>&1 ||
            { tail -n 60 /root/autopkgtest.log; exit 1; }
        sed -n "/@@@@ summary/,\$p" /root/autopkgtest.log | grep -E "PASS|FAIL|SKIP" | sed "s/^/      /"
        if [ -n "$1" ]; then
            sleep 61
            cd /srv/other-place/mean-reboot-interval
            dpkg-buildpackage -us -uc -b >/root/again.log 2>&1 || { tail -n 40 /root/again.log; exit 1; }
            for deb in /root/src/mean-reboot-interval_*.deb; do
                cmp "$deb" "/srv/other-place/$(basename "$deb")" ||
                    { echo "$(basename "$deb") differs between the two builds"; exit 1; }
            done
            echo "    reproducible: the same bytes from /root/src and /srv/other-place a minute later:"
            sha256sum /root/src/*.deb | sed "s|/root/src/||; s/^/      /"
        fi
    ' sh "$again" || fail "$name: the source package"
    [ -f "$work/history.wtmp" ] || {
        history_records >"$work/history.list"
        "$root/root/tools/make-wtmp" "$work/history.list" "$work/history.wtmp"
    }
    set -- "$root"/root/src/mean-reboot-interval_*_amd64.deb
    mkdir -p "$work/deb-$suite"
    for built in "$@"; do
        case $built in *-dbgsym_*) ;; *) cp "$built" "$work/deb-$suite/"; package_file=$(basename "$built") ;; esac
    done
    echo "package: $package_file"
    rm -rf "$root"
}

# The package for arm64, cross-built in a fresh root of SUITE from a clean
# clone with the README's commands; lintian on it; the unit and end-to-end
# tests of an arm64 build run under qemu-user; and the packaged arm64 tool,
# under qemu-user, giving the same bytes as the amd64 one on the crafted
# history read by the release's own `last`.
cross_build_arm64() {
    suite=$1
    name=$2
    amd64_deb=$3
    root="$work/arm64-$suite"
    source_root "$suite" "$root"
    cp "$amd64_deb" "$work/history.wtmp" "$root/root/"
    in_root "$root" sh -c '
        set -e
        export DEBIAN_FRONTEND=noninteractive
        cd /root/src/mean-reboot-interval
        apt-get update -q >/dev/null
        started=$(date +%s)
        { '"$(arm64_commands build)"'; } >/root/build.log 2>&1 || { tail -n 40 /root/build.log; exit 1; }
        echo "    cross-built in $(($(date +%s) - started)) s: $(cd .. && ls mean-reboot-interval_*_arm64.deb)"
        cd ..
        apt-get install -y -q --no-install-recommends lintian >/root/lintian-install.log 2>&1 ||
            { tail -n 20 /root/lintian-install.log; exit 1; }
        status=0
        lintian --fail-on error,warning --info --tag-display-limit 0 mean-reboot-interval_*_arm64.changes \
            >/root/lintian.log 2>&1 || status=$?
        grep -v "^running with root" /root/lintian.log | sed "s/^/      /"
        [ "$status" -eq 0 ] || exit 1
        echo "    lintian: clean"
        dpkg-deb -f mean-reboot-interval_*_arm64.deb Architecture Depends | sed "s/^/    /"
        cd mean-reboot-interval
        started=$(date +%s)
        { '"$(arm64_commands test)"'; } >/root/tests.log 2>&1 || { tail -n 60 /root/tests.log; exit 1; }
        grep -E "tests passed" /root/tests.log | sed "s/^/    /"
        echo "    tests under qemu-user in $(($(date +%s) - started)) s"
        # Both packaged tools on one history, read by this release'"'"'s last.
        cd /root
        dpkg-deb -x /root/src/mean-reboot-interval_*_arm64.deb /root/arm64
        dpkg-deb -x "/root/$1" /root/amd64
        '"$load_history"'
        echo "    arm64 tool: $(readelf -h /root/arm64/usr/bin/mean-reboot-interval | sed -n "s/^ *Machine: *//p")"
        /root/amd64/usr/bin/mean-reboot-interval -v >/root/amd64.out 2>/root/amd64.err
        qemu-aarch64-static -L /usr/aarch64-linux-gnu /root/arm64/usr/bin/mean-reboot-interval -v \
            >/root/arm64.out 2>/root/arm64.err
        cmp -s /root/amd64.out /root/arm64.out && cmp -s /root/amd64.err /root/arm64.err ||
            { diff /root/amd64.out /root/arm64.out; diff /root/amd64.err /root/arm64.err; exit 1; }
        echo "    the packaged arm64 tool under qemu-user: the same bytes as amd64'"'"'s ($(wc -l </root/arm64.out) lines)"
    ' sh "$(basename "$amd64_deb")" || fail "$name: the arm64 package"
    # Each end-to-end test's count of cases, from the output CTest logged.
    awk '
        /^[0-9]+\/[0-9]+ Test: / { name = $3; ran = ""; verdict = "" }
        /^Ran [0-9]+ tests? / { ran = $2 }
        /^(OK|FAILED)/ { verdict = $0 }
        /^Test (Passed|Failed)/ && name ~ /^e2e\./ { printf "      %s: %s cases, %s\n", name, ran, verdict }
    ' "$root/root/src/mean-reboot-interval/build/arm64-test/Testing/Temporary/LastTest.log"
    actual=$(tail -n 1 "$root/root/arm64.out")
    [ "$actual" = "$expected" ] || fail "$name arm64: got '$actual', expected '$expected'"
    echo "$suite arm64: $actual"
    rm -rf "$root"
}

# The README's arm64 commands, as one line: those that build the package
# (build), or those that run the tests (test).
arm64_commands() {
    readme_code Install | awk -v want="$1" '
        /arm64/ {
            test = /--preset arm64-test/
            if ((want == "test") == test) print
        }
    ' | sed 's/sudo //g' | paste -sd';' - | sed 's/;/ \&\& /g'
}

# The README's commands that build the package for the machine's own
# architecture, as one line.
build_commands() {
    readme_code Install | grep dpkg-buildpackage | grep -v -- '-a arm64' | sed 's/sudo //g'
}

step "set-up"
# debootstrap makes the roots, systemd-nspawn boots them; machines.target,
# which systemd-container enables, is disabled again: this check leaves
# nothing enabled for the host's next boot.
if ! command -v debootstrap >/dev/null 2>&1 || ! command -v systemd-nspawn >/dev/null 2>&1; then
    echo "installing debootstrap and systemd-container"
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        debootstrap systemd-container >/dev/null
    for link in /etc/systemd/system/*.wants/machines.target; do
        [ -L "$link" ] || continue
        DPKG_MAINTSCRIPT_PACKAGE=systemd-container deb-systemd-helper disable machines.target >/dev/null 2>&1 ||
            rm -f "$link"
    done
fi
set_up_roots
echo "mirror: $mirror_uri"
commands=$(quick_start_commands)
[ "$(printf '%s\n' "$commands" | wc -l)" -eq 2 ] || fail "the Quick start should hold two commands: $commands"
printf 'Quick start:\n%s\n' "$commands"

step "base roots (debootstrap, or the cache)"
make_base bookworm &
bookworm_job=$!
make_base trixie &
trixie_job=$!
make_base testing &
testing_job=$!
wait "$bookworm_job" || fail "Debian 12 base root"
wait "$trixie_job" || fail "Debian 13 base root"
testing_usable=yes
wait "$testing_job" || testing_usable=""

# A fresh root of SUITE with two clones of HEAD: one for a user with sudo
# rights, one for root.
prepare_root() {
    suite=$1
    root=$2
    fresh_root "$suite" "$root"
    git clone -q "$here" "$root/home-clone"
    git clone -q "$here" "$root/root/mean-reboot-interval"
    in_root "$root" sh -c "
        set -e
        useradd -m -s /bin/sh $newcomer
        echo '$newcomer ALL=(ALL) NOPASSWD:ALL' >/etc/sudoers.d/$newcomer
        chmod 0440 /etc/sudoers.d/$newcomer
        mv /home-clone /home/$newcomer/mean-reboot-interval
        chown -R $newcomer: /home/$newcomer/mean-reboot-interval
    "
}

# What a root has installed, and has enabled for its next boot.
installed_count() {
    in_root "$1" sh -c "dpkg-query -W -f='\${Status}\n' | grep -c 'install ok installed'"
}
enabled_units() {
    in_root "$1" sh -c 'for link in /etc/systemd/system/*.wants/* /etc/rc?.d/S*; do
        [ -e "$link" ] || [ -L "$link" ] && echo "$link"; done; true'
}

run_quick_start() {
    root=$1
    who=$2
    number=0
    printf '%s\n' "$commands" | while IFS= read -r command; do
        number=$((number + 1))
        log="$work/quick-start-$(basename "$root")-$who-$number.log"
        echo "-- as $who: $command"
        packages_before=$(installed_count "$root")
        enabled_before=$(enabled_units "$root")
        if [ "$who" = root ]; then
            in_root "$root" sh -c 'cd /root/mean-reboot-interval && eval "$1"' sh "$command" >"$log" 2>&1
        else
            in_root "$root" runuser -l "$newcomer" -c \
                "cd mean-reboot-interval && CI='$MRI_CI' && export CI && $command" >"$log" 2>&1
        fi || { tail -n 60 "$log" >&2; fail "as $who: $command"; }
        grep -E "^prerequisites:|^demo: /usr/bin/last|tests passed|^\\$summary_prefix" "$log" | sed 's/^/   /' || true
        echo "   packages added: $(($(installed_count "$root") - packages_before))"
        enabled_after=$(enabled_units "$root")
        # The demo's `last` may enable what it needs (wtmpdb records each
        # boot); the tests may enable nothing.
        case $command in
            *"--preset demo"*)
                new_units=$(printf '%s\n%s\n%s\n' "$enabled_before" "$enabled_before" "$enabled_after" |
                    sort | uniq -u | tr '\n' ' ')
                [ -z "$new_units" ] || echo "   enabled by the demo's packages: $new_units"
                enabled_before=$enabled_after
                ;;
        esac
        [ "$enabled_after" = "$enabled_before" ] ||
            fail "as $who, '$command' left enabled for the next boot: $(printf '%s\n%s\n%s\n' \
                "$enabled_before" "$enabled_before" "$enabled_after" | sort | uniq -u | tr '\n' ' ')"
        case $command in
            *"--preset demo"*) grep -q "^\\$summary_prefix" "$log" || fail "the demo printed no summary line" ;;
            *"--preset test"*)
                grep -q "100% tests passed" "$log" || fail "the tests did not all pass"
                # Which tests ran here, for the record.
                grep -E "^ *[0-9]+/[0-9]+ Test +#" "$log" | sed 's/^ */   /; s/ \.\.\.*/ /'
                ;;
        esac
    done
}

quick_start_both_ways() {
    suite=$1
    name=$2
    root="$work/$suite"
    step "$name: a user with sudo rights, and the clones"
    prepare_root "$suite" "$root"
    echo "HEAD: $(git -C "$here" log -1 --format='%h %s')"

    step "$name: the Quick start as a user with sudo rights"
    run_quick_start "$root" "$newcomer"

    step "$name: the Quick start as root, without sudo"
    # sudo refuses to go while root has no password unless told it may.
    in_root "$root" sh -c 'SUDO_FORCE_REMOVE=yes DEBIAN_FRONTEND=noninteractive apt-get purge -y -q sudo >/dev/null'
    in_root "$root" sh -c '! command -v sudo' >/dev/null || fail "sudo is still there"
    run_quick_start "$root" root
}

# MRI_FRESH_PACKAGE_ONLY=1 leaves the Quick start out, for work on the
# package's steps alone; CI runs everything.
if [ -z "${MRI_FRESH_PACKAGE_ONLY:-}" ]; then
quick_start_both_ways bookworm "Debian 12"

rm -rf "$work/bookworm"

quick_start_both_ways trixie "Debian 13"
rm -rf "$work/trixie"
fi

step "Debian 12: the source package"
build_package bookworm "Debian 12"
step "Debian 13: the source package"
build_package trixie "Debian 13"

step "Debian 12: the arm64 package"
cross_build_arm64 bookworm "Debian 12" "$work/deb-bookworm/$package_file"
step "Debian 13: the arm64 package"
cross_build_arm64 trixie "Debian 13" "$work/deb-trixie/$package_file"

step "Debian 12: install, answer, enable, purge"
check_package bookworm "$work/deb-bookworm/$package_file"

step "Debian 13: install, answer, enable, purge"
check_package trixie "$work/deb-trixie/$package_file"

step "Debian 12: under a running systemd"
check_under_systemd bookworm "$work/deb-bookworm/$package_file"

step "Debian 13: under a running systemd"
check_under_systemd trixie "$work/deb-trixie/$package_file"

step "Debian testing: install, answer, purge"
# Testing is checked where it can be used as it comes: a mirror that serves
# it with an expired Release file (a frozen snapshot) is said, not failed.
if [ -z "$testing_usable" ]; then
    echo "Debian testing: no root could be made (debootstrap failed); see $work/debootstrap-testing.log"
else
    fresh_root testing "$work/testing-probe"
    if in_root "$work/testing-probe" apt-get update -q >"$work/testing-update.log" 2>&1 &&
        ! grep -q '^E:' "$work/testing-update.log"; then
        check_package testing "$work/deb-trixie/$package_file"
    else
        echo "Debian testing: not usable as it comes here: $(grep '^E:' "$work/testing-update.log" | head -n 1)"
    fi
    rm -rf "$work/testing-probe"
fi

step "release artifacts (tools/fresh-machine/release-artifacts.sh)"
"$here/tools/fresh-machine/release-artifacts.sh" || fail "the release artifacts"

step ""
echo "check-fresh-machine: all passed in $(($(date +%s) - started)) s"
