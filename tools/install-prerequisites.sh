#!/bin/sh
# Installs the Debian packages that the build, the demo, the test suite, the
# Debian package and the fleet tests need, where any is missing, on Debian 12
# or Debian 13 (and testing): the names are the same on each, but for the
# package that brings `last` (util-linux up to Debian 12, wtmpdb after).
# Says what it installs, and says nothing when all are there. Run it as root
# or as a user with sudo rights: it goes through sudo only when it is not root.
set -eu

# Debian 12 is the last release whose util-linux ships `last`.
last_package=wtmpdb
. /etc/os-release
[ "${VERSION_ID:-}" != 12 ] || last_package=util-linux

packages="make cmake g++ clang libclang-rt-dev libgtest-dev libbenchmark-dev python3
$last_package util-linux mount man-db groff-base valgrind mawk gawk dpkg-dev xz-utils lintian
clustershell pdsh openssh-server openssh-client iproute2 systemd"

missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $package"
done
[ -n "$missing" ] || exit 0

if [ "$(id -u)" -eq 0 ]; then
    as_root=""
elif command -v sudo >/dev/null 2>&1; then
    as_root="sudo"
else
    echo "prerequisites: missing$missing; run this as root, or install sudo" >&2
    exit 1
fi
echo "prerequisites: installing$missing"
$as_root apt-get update -q
# The tests start their own sshd on loopback; the package's service must not
# start, listening on every interface, on a machine without systemd to stop
# it. Where no policy says otherwise, one is put in place for the install.
policy=/usr/sbin/policy-rc.d
own_policy=""
if [ ! -e "$policy" ]; then
    own_policy=yes
    printf '#!/bin/sh\n# mean-reboot-interval prerequisites: start no service\nexit 101\n' |
        $as_root sh -c "cat >$policy && chmod 0755 $policy"
fi
status=0
# shellcheck disable=SC2086
$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing ||
    status=$?
[ -z "$own_policy" ] || $as_root rm -f "$policy"
exit "$status"
