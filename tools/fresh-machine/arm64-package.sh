#!/bin/sh
# The package for arm64, on each SUITE (default: Debian 12 and 13):
# cross-built in a fresh root from a clean clone with docs/install.md's
# commands, exactly as written; lintian on its .changes; the unit and
# end-to-end tests of an arm64 build run under qemu-user (on the suites in
# MRI_ARM64_TEST_SUITES only, default Debian 13: under emulation they take
# three to four minutes a release, and the code they run is the same on
# both);
# and the packaged
# arm64 tool, under qemu-user, giving the same bytes as the amd64
# package's on the crafted history read by the release's own `last` (the
# amd64 package from the source-package check, run first if need be).
#
#   tools/fresh-machine/arm64-package.sh [SUITE...]    (as root)
set -eu
here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/tools/fresh-machine/lib.sh"
begin_check arm64-package

cross_build_arm64() {
    suite=$1
    name=$2
    amd64_deb=$3
    run_tests=false
    case " $arm64_test_suites " in *" $suite "*) run_tests=true ;; esac
    root="$work/arm64-$suite"
    source_root "$suite" "$root"
    cp "$amd64_deb" "$work/history.wtmp" "$root/root/"
    in_root "$root" sh -c '
        set -e
        export DEBIAN_FRONTEND=noninteractive
        cd /root/src/mean-reboot-interval
        apt-get update -q >/dev/null
        started=$(date +%s)
        { '"$(arm64_commands build)"'; } >/root/build.log 2>&1 || { tail -n 40 /root/build.log; exit 1; }
        echo "    cross-built in $(($(date +%s) - started)) s: $(cd .. && ls mean-reboot-interval_*_arm64.deb)"
        cd ..
        apt-get install -y -q --no-install-recommends lintian >/root/lintian-install.log 2>&1 ||
            { tail -n 20 /root/lintian-install.log; exit 1; }
        status=0
        lintian --fail-on error,warning --info --tag-display-limit 0 mean-reboot-interval_*_arm64.changes \
            >/root/lintian.log 2>&1 || status=$?
        grep -v "^running with root" /root/lintian.log | sed "s/^/      /"
        [ "$status" -eq 0 ] || exit 1
        echo "    lintian: clean"
        dpkg-deb -f mean-reboot-interval_*_arm64.deb Architecture Depends | sed "s/^/    /"
        cd mean-reboot-interval
        if [ "$2" = true ]; then
            started=$(date +%s)
            { '"$(arm64_commands test)"'; } >/root/tests.log 2>&1 || { tail -n 60 /root/tests.log; exit 1; }
            grep -E "tests passed" /root/tests.log | sed "s/^/    /"
            echo "    tests under qemu-user in $(($(date +%s) - started)) s"
        else
            echo "    tests under qemu-user: run on $3 only"
            apt-get install -y -q --no-install-recommends qemu-user-static >/root/qemu-install.log 2>&1 ||
                { tail -n 20 /root/qemu-install.log; exit 1; }
        fi
        # Both packaged tools on one history, read by this release'"'"'s last.
        cd /root
        dpkg-deb -x /root/src/mean-reboot-interval_*_arm64.deb /root/arm64
        dpkg-deb -x "/root/$1" /root/amd64
        '"$load_history"'
        echo "    arm64 tool: $(readelf -h /root/arm64/usr/bin/mean-reboot-interval | sed -n "s/^ *Machine: *//p")"
        /root/amd64/usr/bin/mean-reboot-interval -v >/root/amd64.out 2>/root/amd64.err
        qemu-aarch64-static -L /usr/aarch64-linux-gnu /root/arm64/usr/bin/mean-reboot-interval -v \
            >/root/arm64.out 2>/root/arm64.err
        cmp -s /root/amd64.out /root/arm64.out && cmp -s /root/amd64.err /root/arm64.err ||
            { diff /root/amd64.out /root/arm64.out; diff /root/amd64.err /root/arm64.err; exit 1; }
        echo "    the packaged arm64 tool under qemu-user: the same bytes as amd64'"'"'s ($(wc -l </root/arm64.out) lines)"
    ' sh "$(basename "$amd64_deb")" "$run_tests" "$arm64_test_suites" || fail "$name: the arm64 package"
    # Each end-to-end test's count of cases, from the output CTest logged.
    [ "$run_tests" = false ] || awk '
        /^[0-9]+\/[0-9]+ Test: / { name = $3; ran = ""; verdict = "" }
        /^Ran [0-9]+ tests? / { ran = $2 }
        /^(OK|FAILED)/ { verdict = $0 }
        /^Test (Passed|Failed)/ && name ~ /^e2e\./ { printf "      %s: %s cases, %s\n", name, ran, verdict }
    ' "$root/root/src/mean-reboot-interval/build/arm64-test/Testing/Temporary/LastTest.log"
    actual=$(tail -n 1 "$root/root/arm64.out")
    [ "$actual" = "$expected" ] || fail "$name arm64: got '$actual', expected '$expected'"
    echo "$suite arm64: $actual"
    rm -rf "$root"
}

# The arm64 commands of docs/install.md, as one line: those that build the
# package (build), or those that run the tests (test).
arm64_commands() {
    readme_code "arm64: the package, cross-built" "$here/docs/install.md" | awk -v want="$1" '
        /arm64/ {
            test = /--preset arm64-test/
            if ((want == "test") == test) print
        }
    ' | sed 's/sudo //g' | paste -sd';' - | sed 's/;/ \&\& /g'
}

[ "$#" -gt 0 ] || set -- bookworm trixie
arm64_test_suites=${MRI_ARM64_TEST_SUITES:-trixie}
for suite in "$@"; do
    need_package "$suite"
    step "$(suite_name "$suite"): the arm64 package"
    cross_build_arm64 "$suite" "$(suite_name "$suite")" "$deb"
done
check_passed
