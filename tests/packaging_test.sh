#!/bin/sh
# Builds the tool as a packager would (plain cmake, the system compiler, no
# presets, warnings as errors) for each build type, installs it into a
# staging prefix, and checks what lands there: the executable, a man page
# that renders cleanly, and the documents. Then builds the Debian package
# with dpkg-buildpackage from a copy of the source tree and checks its
# contents, its control fields, its maintainer scripts and lintian.
#
#   packaging_test.sh SOURCE_DIR WORK_DIR
set -eu

source_dir=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
unset CXX CXXFLAGS
doc=share/doc/mean-reboot-interval
share=share/mean-reboot-interval
units=lib/systemd/system/mean-reboot-interval-textfile
expected_files="bin/mean-reboot-interval lib/nagios/plugins/check_reboot_interval $units.service $units.timer $doc/changelog.gz $doc/copyright $doc/examples/nagios-reboot-interval.cfg $doc/examples/prometheus-alerts-test.yml $doc/examples/prometheus-alerts.yml share/man/man1/mean-reboot-interval.1.gz $share/fleet-mean.awk $share/prometheus-textfile "

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
    page="$prefix/share/man/man1/mean-reboot-interval.1.gz"
    [ -x "$tool" ] || { echo "FAIL: $tool not installed" >&2; exit 1; }
    installed=$(find "$prefix" -type f | sort | sed "s|^$prefix/||" | tr '\n' ' ')
    [ "$installed" = "$expected_files" ] || {
        echo "FAIL: unexpected installed files: $installed" >&2
        exit 1
    }

    status=0
    "$tool" --help 2>/dev/null || status=$?
    [ "$status" -eq 254 ] || { echo "FAIL: installed tool gave $status for --help" >&2; exit 1; }
done

# The way back: the Debug install is removed again (the Release one stays
# for the scale tests).
cmake --build "$work/build-Debug" --target uninstall >"$work/uninstall.log"
left=$(find "$work/prefix-Debug" -type f)
[ -z "$left" ] || { echo "FAIL: left after uninstall: $left" >&2; exit 1; }

warnings=$(groff -man -ww -z "$source_dir/man/mean-reboot-interval.1" 2>&1)
[ -z "$warnings" ] || { echo "FAIL: the man page has warnings: $warnings" >&2; exit 1; }
rendered=$(MANWIDTH=80 man -l "$work/prefix-Release/share/man/man1/mean-reboot-interval.1.gz" 2>&1)
for section in NAME SYNOPSIS DESCRIPTION OPTIONS OUTPUT "EXIT STATUS" FILES EXAMPLES "SEE ALSO"; do
    printf '%s\n' "$rendered" | grep -qx "$section" || {
        echo "FAIL: the man page has no $section section" >&2
        exit 1
    }
done
# The source package, as a distribution would build it, in a copy of the
# tree (dpkg-buildpackage writes beside it) without any build output.
copy="$work/source/mean-reboot-interval"
mkdir -p "$copy"
tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$copy" -xf -
(cd "$copy" && dpkg-buildpackage -us -uc -b >"$work/dpkg-buildpackage.log" 2>&1) || {
    tail -n 40 "$work/dpkg-buildpackage.log"
    echo "FAIL: dpkg-buildpackage failed" >&2
    exit 1
}
set -- "$work"/source/mean-reboot-interval_*_*.deb
deb=$1
units=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | grep '/systemd/system/.' | sed 's|.*/||' | tr '\n' ' ')
[ "$units" = "mean-reboot-interval-textfile.service mean-reboot-interval-textfile.timer " ] ||
    { echo "FAIL: the package's units: $units" >&2; exit 1; }
contents=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\/usr\//, "", $6); print $6 }' |
    grep -v /systemd/system/ | sort | tr '\n' ' ')
package_files=$(printf '%s\n' $expected_files | grep -v /systemd/system/ | sort | tr '\n' ' ')
[ "$contents" = "$package_files" ] || { echo "FAIL: the package holds: $contents" >&2; exit 1; }
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Suggests)" = prometheus-node-exporter ] || { echo "FAIL: Suggests is '$(field Suggests)'" >&2; exit 1; }
case $(field Depends) in
    *"util-linux (<< 2.40.1-3) | wtmpdb"*) ;;
    *) echo "FAIL: Depends is '$(field Depends)'" >&2; exit 1 ;;
esac
[ "$(field Section)/$(field Priority)" = admin/optional ] || { echo "FAIL: section or priority" >&2; exit 1; }
# The timer is neither enabled nor started on install, and goes on purge.
scripts="$work/control"
dpkg-deb -e "$deb" "$scripts"
if grep -q "deb-systemd-helper enable\|deb-systemd-invoke start" "$scripts/postinst" &&
    ! grep -q "was-enabled" "$scripts/postinst"; then
    echo "FAIL: the postinst enables or starts the timer" >&2
    exit 1
fi
grep -q "deb-systemd-helper purge 'mean-reboot-interval-textfile.timer'" "$scripts/postrm" &&
    grep -q "mean_reboot_interval.prom" "$scripts/postrm" &&
    grep -q "/var/lib/systemd/timers/stamp-mean-reboot-interval-textfile.timer" "$scripts/postrm" ||
    { echo "FAIL: the postrm leaves the timer, its last run's stamp or the collector's file" >&2; exit 1; }
unpacked="$work/unpacked"
dpkg-deb -x "$deb" "$unpacked"
if readelf -S "$unpacked/usr/bin/mean-reboot-interval" | grep -q '\.symtab'; then
    echo "FAIL: the packaged executable is not stripped" >&2
    exit 1
fi
zcat "$unpacked/usr/share/doc/mean-reboot-interval/changelog.gz" | head -1 | grep -q "^mean-reboot-interval (" || {
    echo "FAIL: changelog.gz is not a changelog" >&2
    exit 1
}
status=0
report=$(lintian --fail-on error,warning --tag-display-limit 0 "$work"/source/*.changes 2>&1) || status=$?
printf '%s\n' "$report" | grep -v "^running with root privileges" || true
[ "$status" -eq 0 ] || { echo "FAIL: lintian reports errors or warnings" >&2; exit 1; }
echo "packaging: Release and Debug build, install, man page and the Debian package are fine"
