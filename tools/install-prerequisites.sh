#!/bin/sh
# Installs the Debian packages that one purpose needs, where any is missing,
# on Debian 12 or Debian 13 (and testing), without recommends:
#
#   tools/install-prerequisites.sh demo   build the tool and run the demo:
#                                         make, cmake, g++, the release's
#                                         `last`, and unshare and mount
#   tools/install-prerequisites.sh test   all of that, and what the test
#                                         suite needs
#   tools/install-prerequisites.sh arm64  all of that, and what the arm64
#                                         cross build and its tests under
#                                         qemu-user need (arm64 is added
#                                         to dpkg's architectures)
#   tools/install-prerequisites.sh release  the demo's, and what
#                                         tools/build-release and its checks
#                                         need: the cross compilers of every
#                                         release architecture, debhelper,
#                                         qemu-user, rpm's tools, rpmlint,
#                                         dnf, zypper, createrepo_c, gnupg,
#                                         apt-ftparchive, curl and python3
#                                         (the repositories' web server)
#
# The names are the same on each release but for the package that brings
# `last` (util-linux up to Debian 12, wtmpdb after). Says what it installs,
# and says nothing when all are there. Run it as root or as a user with sudo
# rights: it goes through sudo only when it is not root.
#
# No service starts during the install. What the demo's packages enable is
# theirs to enable (wtmpdb records each boot, procps applies sysctl settings
# at boot); whatever the test packages enable (man-db's timer, systemd's own
# units on a root that had no systemd) is disabled again, so that running
# the tests changes nothing for the next boot. The servers that the tests
# run (sshd, Prometheus, node_exporter, Nagios) are not installed at all:
# the tests unpack them into the build tree.
set -eu

purpose=${1:-}
# Debian 12 is the last release whose util-linux ships `last`.
last_package=wtmpdb
. /etc/os-release
[ "${VERSION_ID:-}" != 12 ] || last_package=util-linux

demo="make cmake g++ $last_package util-linux mount"
test="clang libclang-rt-dev libgtest-dev libbenchmark-dev python3 man-db groff-base valgrind
mawk gawk build-essential dpkg-dev debhelper xz-utils lintian clustershell pdsh openssh-client iproute2 systemd
git rpm ansible-core ansible-lint python3-apt gnupg createrepo-c apt-utils dnf zypper"
arm64="crossbuild-essential-arm64 qemu-user-static libgtest-dev:arm64"
# The release's packages hold the static tool: its cross compilers need no
# runtime of their architectures installed.
release="g++-aarch64-linux-gnu g++-arm-linux-gnueabi g++-arm-linux-gnueabihf g++-powerpc64le-linux-gnu
g++-s390x-linux-gnu g++-riscv64-linux-gnu g++-i686-linux-gnu qemu-user-static rpm rpmlint dnf
createrepo-c git gzip dpkg-dev debhelper gnupg apt-utils zypper curl python3"
case $purpose in
    demo | test | arm64 | release) ;;
    *) echo "usage: $0 demo|test|arm64|release" >&2; exit 2 ;;
esac

missing() {
    for package in "$@"; do
        dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q "install ok installed" ||
            printf ' %s' "$package"
    done
}
# shellcheck disable=SC2086
missing_demo=$(missing $demo)
missing_test=""
# shellcheck disable=SC2086
[ "$purpose" = demo ] || [ "$purpose" = release ] || missing_test=$(missing $test)
# shellcheck disable=SC2086
[ "$purpose" != arm64 ] || missing_test="$missing_test$(missing $arm64)"
# shellcheck disable=SC2086
[ "$purpose" != release ] || missing_test="$missing_test$(missing $release)"
[ -n "$missing_demo$missing_test" ] || exit 0

if [ "$(id -u)" -eq 0 ]; then
    as_root=""
elif command -v sudo >/dev/null 2>&1; then
    as_root="sudo"
else
    echo "prerequisites: missing$missing_demo$missing_test; run this as root, or install sudo" >&2
    exit 1
fi

# Units and init scripts enabled for the next boot, one per line.
enabled() {
    for link in /etc/systemd/system/*.wants/* /etc/rc?.d/S*; do
        [ -e "$link" ] || [ -L "$link" ] || continue
        echo "$link"
    done
}

echo "prerequisites: installing$missing_demo$missing_test"
if [ "$purpose" = arm64 ] &&
    ! dpkg --print-foreign-architectures | grep -qx arm64; then
    echo "prerequisites: adding arm64 to dpkg's architectures"
    $as_root dpkg --add-architecture arm64
fi
$as_root apt-get update -q
# No service starts during the install; where no policy says otherwise, one
# is put in place for it.
policy=/usr/sbin/policy-rc.d
own_policy=""
if [ ! -e "$policy" ]; then
    own_policy=yes
    printf '#!/bin/sh\n# mean-reboot-interval prerequisites: start no service\nexit 101\n' |
        $as_root sh -c "cat >$policy && chmod 0755 $policy"
fi
install() {
    # shellcheck disable=SC2086
    [ -z "$1" ] || $as_root env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends $1
}
status=0
install "$missing_demo" || status=$?
before=$(enabled)
[ "$status" -ne 0 ] || install "$missing_test" || status=$?
[ -z "$own_policy" ] || $as_root rm -f "$policy"

# What the test packages enabled is disabled again, the way an administrator
# would, so that a later upgrade keeps it so.
for link in $(enabled); do
    case "
$before
" in
        *"
$link
"*) continue ;;
    esac
    name=$(basename "$link")
    case $link in
        /etc/rc?.d/*)
            script=${name#S[0-9][0-9]}
            echo "prerequisites: not enabling the init script $script"
            $as_root update-rc.d "$script" disable >/dev/null 2>&1 || $as_root rm -f "$link"
            ;;
        *)
            echo "prerequisites: not enabling $name"
            $as_root deb-systemd-helper disable "$name" >/dev/null 2>&1 || true
            $as_root rm -f "$link"
            ;;
    esac
done
exit "$status"
