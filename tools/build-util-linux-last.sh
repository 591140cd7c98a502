#!/bin/sh
# Builds `last` alone from util-linux's own source, the upstream tarball of
# Debian 13's source package (2.40 and later show a crash as
# "- crash (1+00:00)"), so that the tests can read the same history through
# it beside the host's own `last`. Debian's patches are left out: they touch
# the build files, which would then want automake, and not `last`.
#
#   tools/build-util-linux-last.sh DIR
#
# Takes the source package from the Debian mirror apt already uses, through
# a private apt configuration in DIR (the host's own is only read), unpacks
# it with dpkg-source and builds `last` into DIR/last. Nothing is installed.
# A second run with DIR/last in place does nothing.
set -eu

suite=trixie
package=util-linux
dir=$1
[ ! -x "$dir/last" ] || exit 0
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

# The mirror of the release's own sources (deb822 or one-line form).
. /etc/os-release
mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v suite="$VERSION_CODENAME" '
    /^$/ { uri = "" }
    /^URIs:/ { uri = $2 }
    /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite && uri != "") { print uri; exit } }')
if [ -z "$mirror" ]; then
    mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk -v suite="$VERSION_CODENAME" '
            $1 == "deb" { for (i = 2; i <= NF; i++) if ($i == suite) { print $(i - 1); exit } }')
fi
[ -n "$mirror" ] || { echo "build-util-linux-last: no Debian mirror in apt's sources" >&2; exit 1; }

apt="$dir/apt"
rm -rf "$apt" "$dir/source"
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
    >"$apt/sources.list"
set -- -q -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null \
    -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" -o Debug::NoLocking=1 \
    -o APT::Sandbox::User=root
apt-get "$@" update >"$dir/apt.log" 2>&1 || { cat "$dir/apt.log" >&2; exit 1; }
(cd "$apt" && apt-get "$@" source --download-only "$package") >>"$dir/apt.log" 2>&1 ||
    { cat "$dir/apt.log" >&2; exit 1; }
dpkg-source --skip-patches -x "$apt"/"$package"_*.dsc "$dir/source" >>"$dir/apt.log" 2>&1 ||
    { cat "$dir/apt.log" >&2; exit 1; }

cd "$dir/source"
./configure --disable-all-programs --enable-last --disable-nls --disable-liblastlog2 \
    --without-systemd --without-udev --without-python --without-ncursesw --without-ncurses \
    --without-tinfo --without-readline --without-libmagic --without-selinux --without-audit \
    --without-smack --without-btrfs --without-cap-ng --disable-asciidoc --disable-poman \
    >"$dir/build.log" 2>&1 && make -j"$(nproc)" last >>"$dir/build.log" 2>&1 ||
    { tail -n 30 "$dir/build.log" >&2; exit 1; }
cp last "$dir/last.partial" && mv "$dir/last.partial" "$dir/last"
echo "build-util-linux-last: $("$dir/last" --version)"
