# Helpers shared by the fresh-machine checks: a check's start and end,
# steps and failures, the Debian mirror, roots from debootstrap entered with
# pivot_root, the README's commands, the package the checks share, and the
# crafted history with the records' answer. Sourced with here set (the
# repository's top folder).
# shellcheck shell=sh disable=SC2034,SC2154
# (the callers read what the helpers set)

cache=${MRI_FRESH_CACHE:-/var/cache/mean-reboot-interval-fresh}
summary_prefix='* Mean time between reboots:'
. "$here/tools/boot-container.sh"

# Starts the check NAME: root only; debootstrap and systemd-nspawn on the
# host; the mirror and the records' answer. Checks started by
# tools/check-fresh-machine.sh share its work folder (MRI_FRESH_WORK), so
# that what one builds the next takes; a check run alone makes its own and
# removes it at the end.
begin_check() {
    check_name=$1
    [ "$(id -u)" -eq 0 ] || { echo "$check_name: run as root" >&2; exit 1; }
    own_work=""
    if [ -n "${MRI_FRESH_WORK:-}" ]; then
        work=$MRI_FRESH_WORK
    else
        work=$(mktemp -d /var/tmp/mri-fresh.XXXXXX)
        own_work=yes
    fi
    trap end_check EXIT
    trap 'exit 130' INT TERM
    set_up_host
    set_up_roots
}
end_check() {
    # A booted root is powered off first; every mount was made in a private
    # namespace that is gone by now.
    stop_container
    [ -z "$own_work" ] || rm -rf "$work"
}
check_passed() {
    step ""
    echo "$check_name: passed in $(($(date +%s) - started)) s"
}

# debootstrap makes the roots, systemd-nspawn boots them; machines.target,
# which systemd-container enables, is disabled again: no check leaves
# anything enabled for the host's next boot.
set_up_host() {
    command -v debootstrap >/dev/null 2>&1 && command -v systemd-nspawn >/dev/null 2>&1 && return
    echo "installing debootstrap and systemd-container"
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        debootstrap systemd-container >/dev/null
    for link in /etc/systemd/system/*.wants/machines.target; do
        [ -L "$link" ] || continue
        DPKG_MAINTSCRIPT_PACKAGE=systemd-container deb-systemd-helper disable machines.target >/dev/null 2>&1 ||
            rm -f "$link"
    done
}

# The suites the checks name, as a reader knows them.
suite_name() {
    case $1 in
        bullseye) echo "Debian 11" ;;
        bookworm) echo "Debian 12" ;;
        trixie) echo "Debian 13" ;;
        *) echo "Debian $1" ;;
    esac
}

started=$(date +%s)
step_name=""
step() {
    now=$(date +%s)
    [ -z "$step_name" ] || echo "time: $step_name: $((now - step_start)) s"
    step_name=$1
    step_start=$now
    [ -z "$step_name" ] || echo "== $step_name"
}
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The mirror that apt already uses for Debian 12 (deb822 or one-line form).
mirror() {
    found=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '
        /^$/ { uri = "" }
        /^URIs:/ { uri = $2 }
        /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == "bookworm" && uri != "") { print uri; exit } }')
    if [ -z "$found" ]; then
        found=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
            awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i == "bookworm") { print $(i - 1); exit } }')
    fi
    [ -n "$found" ] || fail "no Debian mirror for bookworm in apt's sources"
    echo "$found"
}

# Runs a command as root inside ROOT: a root entered with pivot_root in
# private mount and pid namespaces, so that / is a mount point there and the
# tests can make namespaces of their own. /proc, /sys and /dev are the
# namespace's; the host's DNS settings are copied in for apt.
in_root() {
    root=$1
    shift
    unshare --mount --pid --fork --propagation private sh -c '
        set -e
        root=$1
        shift
        mount --bind "$root" "$root"
        mount -t proc proc "$root/proc"
        mount -t sysfs sysfs "$root/sys"
        mount --rbind /dev "$root/dev"
        mount --bind "$MRI_APT_ARCHIVES" "$root/var/cache/apt/archives"
        cp /etc/resolv.conf "$root/etc/resolv.conf"
        cd "$root"
        mkdir -p .host
        pivot_root . .host
        umount -l /.host
        rmdir /.host
        exec env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            HOME=/root TERM=dumb LANG=C.UTF-8 CI="$MRI_CI" "$@"
    ' sh "$root" "$@"
}

# The base roots: each suite with what a newcomer brings to the Quick start
# (the cache file's name says what it holds, so a change makes a new one).
base_includes="ca-certificates,sudo"
base_file() {
    echo "$cache/$1-$(echo "$base_includes" | tr ',' '-').tar"
}

# A fresh root from the cached base, debootstrapped when there is none.
fresh_root() {
    suite=$1
    target=$2
    base=$(base_file "$suite")
    [ -f "$base" ] || make_base "$suite" || fail "no base root for $suite"
    mkdir -p "$target"
    tar -C "$target" -xf "$base"
}

# A base root in the cache, from debootstrap (Debian testing gets
# debootstrap's script for unstable, as testing's own).
make_base() {
    suite=$1
    base=$(base_file "$suite")
    [ ! -f "$base" ] || return 0
    scratch="$work/debootstrap-$suite"
    script=""
    [ "$suite" != testing ] || script=/usr/share/debootstrap/scripts/sid
    # shellcheck disable=SC2086
    debootstrap --variant=minbase --include="$base_includes" "$suite" "$scratch" "$mirror_uri" \
        $script >"$work/debootstrap-$suite.log" 2>&1 || {
        tail -n 20 "$work/debootstrap-$suite.log" >&2
        return 1
    }
    tar -C "$scratch" -cf "$base.partial" . && mv "$base.partial" "$base"
    rm -rf "$scratch"
}

# A fresh root of SUITE at ROOT with a clean clone of HEAD in
# /root/src/mean-reboot-interval, whose apt answers yes as a user would at
# its prompt.
source_root() {
    fresh_root "$1" "$2"
    git clone -q "$here" "$2/root/src/mean-reboot-interval"
    echo 'APT::Get::Assume-Yes "true";' >"$2/etc/apt/apt.conf.d/90mri-fresh-yes"
}

# The amd64 package that the source-package check built on SUITE, in deb,
# and the crafted history as a wtmp file in $work/history.wtmp: that check
# is run first when the work folder holds no package of SUITE yet.
need_package() {
    if ! ls "$work/deb-$1"/mean-reboot-interval_*_amd64.deb >/dev/null 2>&1; then
        MRI_FRESH_WORK=$work "$here/tools/fresh-machine/source-package.sh" "$1" ||
            fail "no package from $(suite_name "$1")"
    fi
    deb=$(ls "$work/deb-$1"/mean-reboot-interval_*_amd64.deb)
}

# The commands of the README's "## Quick start", in order, one per line.
quick_start_commands() {
    readme_code "Quick start" | awk 'NF && $1 !~ /^#/'
}

# The lines of the code blocks in the section headed "## TITLE" of the
# README, or of another page of the docs.
readme_code() {
    awk -v heading="## $1" '
        /^## / { inside = ($0 == heading) }
        inside && /^```/ { block = !block; next }
        inside && block { print }
    ' "${2:-$here/README.md}"
}

# boot/shutdown records, oldest first: clean boots with stray seconds, a
# crash (a boot with no shutdown before the next boot), and the current boot.
history_records() {
    cat <<'EOF'
boot     2026-01-04 08:02:11 6.1.0-15-amd64
shutdown 2026-01-25 19:40:05 6.1.0-15-amd64
boot     2026-01-25 19:42:30 6.1.0-17-amd64
shutdown 2026-02-03 10:00:00 6.1.0-17-amd64
boot     2026-02-03 10:02:00 6.1.0-17-amd64
boot     2026-02-09 07:00:00 6.1.0-18-amd64
shutdown 2026-03-30 23:59:59 6.1.0-18-amd64
boot     2026-03-31 00:01:10 6.1.0-18-amd64
shutdown 2026-03-31 00:28:50 6.1.0-18-amd64
boot     2026-03-31 00:30:00 6.1.0-18-amd64
shutdown 2026-06-18 12:00:40 6.1.0-18-amd64
boot     2026-06-18 12:02:00 6.1.0-21-amd64
EOF
}

# The summary line that the records' own times give, the same through
# every `last`: a clean boot to its shutdown, truncated to whole minutes; a
# crashed one to the next boot's start, in the minutes `last` shows.
expected_summary() {
    history_records | while read -r kind day time _; do
        echo "$kind $(date -u -d "$day $time" +%s)"
    done | awk -v prefix="$summary_prefix" '
        { kind[NR] = $1; at[NR] = $2 }
        END {
            for (i = 1; i <= NR; i++) {
                if (kind[i] != "boot") continue
                for (j = i + 1; j <= NR; j++) {
                    if (kind[j] == "shutdown") {
                        total += int((at[j] - at[i]) / 60)
                        count++
                        break
                    }
                    if (kind[j] == "boot") {
                        total += int(at[j] / 60) - int(at[i] / 60)
                        count++
                        break
                    }
                }
            }
            mean = int(total / count)
            printf "%s\t\t%d minutes (%d+%d:%d)\n", prefix, mean, int(mean / 1440), int(mean % 1440 / 60), mean % 60
        }'
}

# Loads the crafted history, /root/history.wtmp, for the root's own `last`
# to read: imported into wtmpdb, or as the wtmp file. A command for the
# scripts run in a root.
# shellcheck disable=SC2016
load_history='if [ "$(basename "$(readlink -f /usr/bin/last)")" = wtmpdb ]; then
            wtmpdb import /root/history.wtmp >/dev/null
        else
            cp /root/history.wtmp /var/log/wtmp
        fi'

# The collector's file must give the records' mean and their one crashed
# boot.
check_metrics() {
    awk -v mean="$expected_mean" -v crashed=1 '
        / / { value[$1] = $2 }
        END {
            seconds = value["mean_reboot_interval_boot_duration_seconds_sum"]
            boots = value["mean_reboot_interval_boot_duration_seconds_count"]
            ok = value["mean_reboot_interval_history_readable"] == 1
            ok = ok && value["mean_reboot_interval_crashed_boots"] == crashed
            ok = ok && boots > 0 && int(seconds / 60 / boots) == mean
            exit !ok
        }' "$2" || fail "$1: the collector wrote: $(cat "$2")"
    echo "$1: collector: $(grep -E '^mean_reboot_interval_boot_duration_seconds_(sum|count)' "$2" | tr '\n' ' ')"
}

# The mirror, the package cache the roots share, and the answer every
# `last` must give for the crafted history.
set_up_roots() {
    mirror_uri=$(mirror)
    mkdir -p "$cache/archives/partial"
    MRI_APT_ARCHIVES="$cache/archives"
    MRI_CI=${CI:-}
    export MRI_APT_ARCHIVES MRI_CI
    expected=$(expected_summary)
    expected_mean=$(printf '%s\n' "$expected" | awk '{ print $(NF - 2) }')
}

# Runs a command as root in a user namespace of its own (every user and
# group mapped to itself), with private mount and pid namespaces, where
# binfmt_misc is the namespace's own (Linux 6.7 and later): there
# qemu-QEMU-static runs every program of SAMPLE's machine, as a node of that
# architecture runs its own. The host's handlers are not touched. QEMU_CPU,
# where set, picks qemu's CPU.
with_qemu() {
    qemu=$1
    sample=$2
    shift 2
    # Matched on the ELF header's class, byte order, version and machine,
    # as qemu's own formats are; the program's own bytes give them.
    format=$(od -An -tx1 -N20 -v "$sample" | awk -v qemu="$qemu" '
        { for (i = 1; i <= NF; i++) byte[n++] = $i }
        END {
            for (i = 0; i < 20; i++) {
                keep = i < 7 || i >= 18
                magic = magic "\\x" byte[i]
                mask = mask (keep ? "\\xff" : "\\x00")
            }
            printf ":qemu-%s:M::%s:%s:/usr/bin/qemu-%s-static:F", qemu, magic, mask, qemu
        }')
    ready=$(mktemp -u "$work/namespace.XXXXXX")
    mkfifo "$ready"
    unshare --user --mount --pid --fork --propagation private sh -c '
        read -r go <"$0"
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
        printf "%s" "$1" >/proc/sys/fs/binfmt_misc/register
        shift
        exec "$@"' "$ready" "$format" "$@" &
    namespace_pid=$!
    # unshare forks its child once the namespaces are made: the child's
    # users are mapped from here, which only a process outside may do.
    while :; do
        child=$(awk '{ print $1 }' "/proc/$namespace_pid/task/$namespace_pid/children" 2>/dev/null || true)
        [ -z "$child" ] || [ "$(readlink "/proc/$child/ns/user")" = "$(readlink /proc/self/ns/user)" ] ||
            break
        kill -0 "$namespace_pid" 2>/dev/null || { wait "$namespace_pid"; return 1; }
        sleep 0.05
    done
    echo "0 0 4294967295" >"/proc/$child/uid_map"
    echo "0 0 4294967295" >"/proc/$child/gid_map"
    echo go >"$ready"
    rm -f "$ready"
    wait "$namespace_pid"
}

# A node with no C library at ROOT: busybox-static's sh and tools (the
# host's architecture: only the programs under test are foreign), the
# folders a node's base system owns, its /dev/null, and LAST as its `last`.
busybox_node() {
    if [ ! -x "$work/busybox/unpacked/bin/busybox" ]; then
        mkdir -p "$work/busybox"
        # Installing it would remove the host's busybox: it is only unpacked.
        (cd "$work/busybox" && apt-get download -q busybox-static >/dev/null 2>&1) ||
            fail "busybox-static"
        dpkg-deb -x "$work/busybox"/busybox-static_*.deb "$work/busybox/unpacked"
    fi
    for folder in bin sbin usr/bin usr/sbin usr/local usr/lib/systemd/system usr/share/doc \
        usr/share/licenses usr/share/man/man1 var/log var/tmp var/lib/prometheus/node-exporter dev tmp; do
        mkdir -p "$1/$folder"
    done
    mknod -m 0666 "$1/dev/null" c 1 3
    cp "$work/busybox/unpacked/bin/busybox" "$1/bin/busybox"
    chroot "$1" /bin/busybox --install -s
    rm -f "$1/usr/bin/last"
    cp "$2" "$1/usr/bin/last"
}

# sysvinit 2.88's `last` (the `last` of RHEL and CentOS 7 and SLES 12),
# built statically into DIR/last, with make's VARIABLE=VALUE (CC=TRIPLET-gcc
# for another architecture).
static_sysvinit_last() {
    dir=$1
    shift
    sources=${MRI_SYSVINIT_SOURCES:-$here/../shared/platforms}
    [ -f "$sources/sysvinit-2.88dsf.tar.gz" ] ||
        fail "no sysvinit-2.88dsf.tar.gz in $sources: set MRI_SYSVINIT_SOURCES to the folder that holds it"
    "$here/tools/build-sysvinit-last.sh" "$sources/sysvinit-2.88dsf.tar.gz" "$dir" LDFLAGS=-static "$@" \
        >/dev/null || fail "sysvinit's last, static, $*"
    file -b "$dir/last" | grep -q "statically linked" || fail "$dir/last is not static"
}

# The tool's own build for this machine in $work/dynamic, with TARGETs
# (make-wtmp, sample-wtmp, ...) built.
host_build() {
    [ -f "$work/dynamic/CMakeCache.txt" ] ||
        cmake -S "$here" -B "$work/dynamic" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$work/dynamic" -j "$(nproc)" --target "$@" >/dev/null
}

# What TOOL prints, and its status, over one captured `last` output, played
# by a stand-in over /usr/bin/last in a private mount namespace.
replay() {
    printf '#!/bin/sh\ncat %s\n' "$2" >"$work/stand-in"
    chmod 0755 "$work/stand-in"
    # shellcheck disable=SC2016
    unshare --mount --propagation private sh -c \
        'mount --bind "$1" /usr/bin/last && "$2" -v; echo "status $?"' sh "$work/stand-in" "$1" 2>&1
}

# Every captured `last` output in tests/fixtures, one a line.
captured_outputs() {
    ls "$here"/tests/fixtures/platforms/*.out "$here"/tests/fixtures/sysvinit/*/*.out
}

# The release's archive for ARCH under ROOT's /usr/local, as the README
# installs it (release and top name the release).
install_archive() {
    tar -C "$2/usr/local" --strip-components=1 -xzf "$release/$top-linux-$1.tar.gz" \
        "$top/bin" "$top/share" "$top/lib"
}

# Every file under ROOT but the package databases, for what an erase left.
listing() {
    (cd "$1" && find . -path ./var/lib/rpm -prune -o -path ./usr/lib/sysimage -prune -o -print |
        sort)
}

# The test-only RPM that provides what a node's own packages would:
# $provider once built.
build_provider() {
    provider_top=$work/provider
    provider=$provider_top/RPMS/noarch/node-base-1-1.noarch.rpm
    [ ! -f "$provider" ] || return 0
    rpmbuild --quiet --define "_topdir $provider_top" -bb "$here/tests/fixtures/rpm/node-base.recipe" \
        >"$work/provider.log" 2>&1 || { cat "$work/provider.log" >&2; fail "the provider package"; }
}
