#!/bin/sh
# Builds the tool as a packager would (plain cmake, the system compiler, no
# presets, warnings as errors) for each build type, installs it into a
# staging prefix, and checks what lands there: the executable and a man page
# that renders cleanly.
#
#   packaging_test.sh SOURCE_DIR WORK_DIR
set -eu

source_dir=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
unset CXX CXXFLAGS

for build_type in Release Debug; do
    build="$work/build-$build_type"
    prefix="$work/prefix-$build_type"
    cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE="$build_type" >"$work/configure-$build_type.log"
    cmake --build "$build" -j2 >"$work/build-$build_type.log" 2>&1 || {
        cat "$work/build-$build_type.log"
        echo "FAIL: the $build_type build failed" >&2
        exit 1
    }
    cmake --install "$build" --prefix "$prefix" >/dev/null

    tool="$prefix/bin/mean-reboot-interval"
    page="$prefix/share/man/man1/mean-reboot-interval.1"
    [ -x "$tool" ] || { echo "FAIL: $tool not installed" >&2; exit 1; }
    [ -f "$page" ] || { echo "FAIL: $page not installed" >&2; exit 1; }
    installed=$(find "$prefix" -type f | sort | sed "s|^$prefix/||" | tr '\n' ' ')
    [ "$installed" = "bin/mean-reboot-interval share/man/man1/mean-reboot-interval.1 " ] || {
        echo "FAIL: unexpected installed files: $installed" >&2
        exit 1
    }

    status=0
    "$tool" --help 2>/dev/null || status=$?
    [ "$status" -eq 254 ] || { echo "FAIL: installed tool gave $status for --help" >&2; exit 1; }
done

warnings=$(groff -man -ww -z "$page" 2>&1)
[ -z "$warnings" ] || { echo "FAIL: the man page has warnings: $warnings" >&2; exit 1; }
rendered=$(MANWIDTH=80 man -l "$page" 2>&1)
for section in NAME SYNOPSIS DESCRIPTION OPTIONS OUTPUT "EXIT STATUS" FILES EXAMPLES "SEE ALSO"; do
    printf '%s\n' "$rendered" | grep -qx "$section" || {
        echo "FAIL: the man page has no $section section" >&2
        exit 1
    }
done
echo "packaging: Release and Debug build, install and man page are fine"
