#!/bin/sh
# The README's two Quick start commands, read from the README and run
# exactly as written, in a fresh root of each SUITE with a clone of the
# committed HEAD: as a user with sudo rights (SUITE:user), as root with
# sudo removed (SUITE:root), or first the one, then the other (SUITE). The
# demo must print a summary line, the tests must all pass, and neither may
# leave anything enabled for the next boot.
#
# By default Debian 13 as a user with sudo, to keep CI within its time on a
# 2-core machine: CI's own first step is the README's test command as root
# on Debian 12. `bookworm trixie` runs each way on each.
#
#   tools/fresh-machine/quick-start.sh [SUITE[:user|:root]...]    (as root)
set -eu
here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/tools/fresh-machine/lib.sh"
begin_check quick-start
newcomer=newcomer

commands=$(quick_start_commands)
[ "$(printf '%s\n' "$commands" | wc -l)" -eq 2 ] || fail "the Quick start should hold two commands: $commands"
printf 'Quick start:\n%s\n' "$commands"

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
        grep -E "^prerequisites:|^Need to get|additional disk space|^demo: /usr/bin/last|tests passed|^\\$summary_prefix" "$log" | sed 's/^/   /' || true
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

# WAYS: user, root, or both (the user first).
quick_start() {
    suite=$1
    ways=$2
    name=$(suite_name "$suite")
    root="$work/$suite"
    step "$name: a user with sudo rights, and the clones"
    prepare_root "$suite" "$root"
    echo "HEAD: $(git -C "$here" log -1 --format='%h %s')"

    if [ "$ways" != root ]; then
        step "$name: the Quick start as a user with sudo rights"
        run_quick_start "$root" "$newcomer"
    fi
    if [ "$ways" != user ]; then
        step "$name: the Quick start as root, without sudo"
        # sudo refuses to go while root has no password unless told it may.
        in_root "$root" sh -c 'SUDO_FORCE_REMOVE=yes DEBIAN_FRONTEND=noninteractive apt-get purge -y -q sudo >/dev/null'
        in_root "$root" sh -c '! command -v sudo' >/dev/null || fail "sudo is still there"
        run_quick_start "$root" root
    fi
    rm -rf "${work:?}/$suite"
}

[ "$#" -gt 0 ] || set -- trixie:user
for run in "$@"; do
    case $run in
        *:user | *:root) quick_start "${run%:*}" "${run##*:}" ;;
        *:*) fail "no such way: $run (SUITE, SUITE:user or SUITE:root)" ;;
        *) quick_start "$run" both ;;
    esac
done
check_passed
