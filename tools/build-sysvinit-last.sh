#!/bin/sh
# Builds `last` alone from one of sysvinit's upstream source tarballs, the
# `last` of RHEL/CentOS 5 to 7, SLES 11 and 12, Debian 8 and Ubuntu 14.04,
# which no Debian release ships, so that the tests can read the same
# histories through it beside the host's own `last`.
#
#   tools/build-sysvinit-last.sh TARBALL DIR [VARIABLE=VALUE...]
#
# Unpacks TARBALL into DIR and builds DIR/last with its own makefile
# (`make last` in src/), given the variables (CC=TRIPLET-gcc LDFLAGS=-static
# for another architecture's static `last`). Nothing is installed. A second run with DIR/last in
# place does nothing.
set -eu

tarball=$1
dir=$2
shift 2
[ ! -x "$dir/last" ] || exit 0
mkdir -p "$dir"
rm -rf "$dir/source"
mkdir "$dir/source"
tar -xzf "$tarball" -C "$dir/source" --strip-components=1
make -C "$dir/source/src" last "$@" >"$dir/build.log" 2>&1 || { tail -n 30 "$dir/build.log" >&2; exit 1; }
cp "$dir/source/src/last" "$dir/last.partial" && mv "$dir/last.partial" "$dir/last"
echo "build-sysvinit-last: $(basename "$tarball" .tar.gz)"
