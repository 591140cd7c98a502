#!/bin/sh
# The README's two Quick start commands, read from the README and run
# exactly as written, on each SUITE (default: Debian 12 and 13): in a fresh
# root with a clone of the committed HEAD, first as a user with sudo
# rights, then as root with sudo removed. The demo must print a summary
# line, the tests must all pass, and neither may leave anything enabled
# for the next boot.
#
#   tools/fresh-machine/quick-start.sh [SUITE...]    (as root)
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

[ "$#" -gt 0 ] || set -- bookworm trixie
for suite in "$@"; do
    quick_start_both_ways "$suite" "$(suite_name "$suite")"
    rm -rf "${work:?}/$suite"
done
check_passed
