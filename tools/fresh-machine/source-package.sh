#!/bin/sh
# The source package, as the README builds it, from a clean clone of HEAD
# in a fresh root of each SUITE (default: Debian 12 and 13): `apt-get
# build-dep ./`, then `dpkg-buildpackage -us -uc -b`; lintian on the binary
# and the source .changes; Debian's autopkgtest on the built package; and
# on Debian 12 a second build at another path and time that must give the
# same bytes. The package is kept in the work folder for the checks that
# install it, with the crafted history as a wtmp file.
#
#   tools/fresh-machine/source-package.sh [SUITE...]    (as root)
set -eu
here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/tools/fresh-machine/lib.sh"
begin_check source-package

# The README's commands that build the package for the machine's own
# architecture, as one line.
build_commands() {
    readme_code Install | grep dpkg-buildpackage | grep -v -- '-a arm64' | sed 's/sudo //g'
}

# The source package from a clean clone of HEAD in a fresh root of SUITE,
# built as the README says; lintian on what it built, autopkgtest on the
# package; on Debian 12, a second build elsewhere, later, for the same bytes.
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
        case $built in *-dbgsym_*) ;; *) cp "$built" "$work/deb-$suite/" && echo "package: $(basename "$built")" ;; esac
    done
    rm -rf "$root"
}

[ "$#" -gt 0 ] || set -- bookworm trixie
for suite in "$@"; do
    step "$(suite_name "$suite"): the source package"
    build_package "$suite" "$(suite_name "$suite")"
done
check_passed
