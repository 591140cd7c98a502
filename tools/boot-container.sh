# shellcheck shell=sh
# Boots a root folder with systemd as PID 1 under systemd-nspawn, for the
# checks that need a running systemd; sourced by tools/fresh-machine/lib.sh.
#
#   boot_container ROOT NAME LOG   boot ROOT as machine NAME, its console in
#                                  LOG; waits until systemd has started up
#   in_container COMMAND...        run COMMAND in all of its namespaces
#   stop_container                 power it off (killed if it will not go)
#                                  and remove what the boot made on the host
#
# systemd-nspawn wants a control group of its own to put the container in.
# The shell that starts it makes one where the host keeps its cgroup2
# hierarchy: /sys/fs/cgroup/unified beside cgroup v1's named systemd
# hierarchy (a hybrid host), or /sys/fs/cgroup itself (a cgroup2-only host).
# The container is not registered with machined (none need run), keeps no
# network but its own loopback, and changes nothing on the host that
# outlives stop_container.

container_boot_seconds=90
container_stop_seconds=30
container_pid=""
container_nspawn=""
container_cgroups=""
container_run_made=""

container_fail() {
    echo "boot-container: $*" >&2
    return 1
}

boot_container() {
    root=$1
    name=$2
    log=$3
    command -v systemd-nspawn >/dev/null 2>&1 || container_fail "systemd-nspawn is not installed" || return
    if [ -d /sys/fs/cgroup/unified ] && [ -d /sys/fs/cgroup/systemd ]; then
        container_cgroups="/sys/fs/cgroup/unified/mri-$name /sys/fs/cgroup/systemd/mri-$name"
    elif [ -f /sys/fs/cgroup/cgroup.controllers ]; then
        container_cgroups="/sys/fs/cgroup/mri-$name"
    else
        container_fail "no cgroup2 hierarchy on this host: systemd cannot run in a container here" || return
    fi
    [ -d /run/systemd/nspawn ] || container_run_made=yes
    # shellcheck disable=SC2016
    sh -c '
        for cgroup in $1; do
            mkdir -p "$cgroup" && echo $$ >"$cgroup/cgroup.procs" || exit 1
        done
        SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 exec systemd-nspawn --boot --directory="$2" \
            --machine="$3" --register=no --keep-unit --private-network --console=read-only
    ' sh "$container_cgroups" "$root" "$name" >"$log" 2>&1 </dev/null &
    container_nspawn=$!
    waited=0
    while :; do
        container_pid=$(ps -o pid= --ppid "$container_nspawn" 2>/dev/null | head -n 1 | tr -d ' ')
        if [ -n "$container_pid" ] && [ "$(cat "/proc/$container_pid/comm" 2>/dev/null)" = systemd ]; then
            state=$(in_container systemctl is-system-running 2>/dev/null || true)
            case $state in running | degraded) break ;; esac
        fi
        kill -0 "$container_nspawn" 2>/dev/null ||
            { tail -n 20 "$log" >&2; container_fail "systemd-nspawn ended before $name booted"; return; }
        [ "$waited" -lt "$container_boot_seconds" ] ||
            { tail -n 20 "$log" >&2; container_fail "$name did not boot in $container_boot_seconds s"; return; }
        sleep 1
        waited=$((waited + 1))
    done
    echo "booted $name in ${waited} s: PID 1 is systemd $(in_container systemctl --version | head -n 1 | cut -d' ' -f2), $state"
}

in_container() {
    nsenter --target "$container_pid" --all env -i \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"
}

stop_container() {
    [ -n "$container_nspawn" ] || return 0
    if kill -0 "$container_nspawn" 2>/dev/null; then
        [ -z "$container_pid" ] || in_container systemctl poweroff >/dev/null 2>&1 || true
        waited=0
        while kill -0 "$container_nspawn" 2>/dev/null && [ "$waited" -lt "$container_stop_seconds" ]; do
            sleep 1
            waited=$((waited + 1))
        done
        if kill -0 "$container_nspawn" 2>/dev/null; then
            echo "boot-container: the container did not power off; killing it" >&2
            kill -KILL "$container_nspawn" 2>/dev/null || true
        fi
    fi
    wait "$container_nspawn" 2>/dev/null || true
    # Leftover processes, then the control groups, innermost first.
    for cgroup in $container_cgroups; do
        [ -d "$cgroup" ] || continue
        # shellcheck disable=SC2038
        find "$cgroup" -name cgroup.procs -exec cat {} + 2>/dev/null | xargs -r kill -KILL 2>/dev/null || true
        sleep 1
        find "$cgroup" -depth -type d -exec rmdir {} + 2>/dev/null || true
        [ ! -d "$cgroup" ] || echo "boot-container: could not remove $cgroup" >&2
    done
    [ -z "$container_run_made" ] || rm -rf /run/systemd/nspawn
    container_nspawn=""
    container_pid=""
}
