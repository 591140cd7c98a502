#!/bin/sh
# Installs the Debian 12 packages that the build, the demo, the test suite,
# the Debian package and the fleet tests need, where any is missing. Says what
# it installs, and says nothing when all are there. Run it as root or as a
# user with sudo rights: it goes through sudo only when it is not root.
set -eu

packages="make cmake g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev python3
util-linux mount man-db groff-base valgrind mawk gawk dpkg-dev lintian clustershell pdsh"

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
# shellcheck disable=SC2086
$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
