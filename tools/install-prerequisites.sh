#!/bin/sh
# Installs the Debian packages that building, the demo and the test suite
# need, where any is missing. Run as root (or through sudo).
set -eu

packages="cmake g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev python3
util-linux mount man-db groff-base valgrind mawk"

missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $package"
done
if [ -z "$missing" ]; then
    echo "prerequisites: all installed"
    exit 0
fi
echo "prerequisites: installing$missing"
apt-get update
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
