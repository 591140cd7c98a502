#!/bin/sh
# Proves what a new user gets, on freshly installed Debian roots built with
# debootstrap in a temporary folder, and where a foreign node stands. One
# check a script in tools/fresh-machine/, each runnable alone, run here in
# order and sharing one work folder, so that the package the source-package
# check builds is the one the later checks install:
#
#   base-roots          Debian 12, 13 and testing roots (debootstrap, cached)
#   quick-start         the README's two commands as a user with sudo on
#                       Debian 13 (CI's first step: as root on Debian 12)
#   source-package      the .deb as the README builds it; lintian,
#                       autopkgtest, a reproducible second build
#   arm64-package       the README's arm64 commands; the tests under qemu
#   installed-package   install, answer, enable, purge (12, 13 and testing)
#   under-systemd       the package under systemd as PID 1 (12 and 13)
#   release-artifacts   static archives and RPMs in a root with no glibc,
#                       rpm and dnf roots, qemu-user, Debian 11
#   release-architectures  every other architecture under qemu: the same
#                       bytes on each CPU, a node of its own with its own
#                       `last`, its RPM; Debian 12 armhf and s390x roots
#   release-repositories  the signed apt and RPM repositories over HTTP:
#                       apt on Debian 11, 12 and 13, dnf and zypper; bad
#                       signatures and packages refused
#
#   tools/check-fresh-machine.sh [CHECK...]    (as root; default: all)
#
# Reaches only the Debian mirror apt is configured with. Base roots and
# downloaded packages are cached in $MRI_FRESH_CACHE (default
# /var/cache/mean-reboot-interval-fresh) between runs; everything else is
# removed at the end. Every step prints its time.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/tools/fresh-machine/lib.sh"
begin_check check-fresh-machine
MRI_FRESH_WORK=$work
export MRI_FRESH_WORK

[ "$#" -gt 0 ] || set -- base-roots quick-start source-package arm64-package installed-package \
    under-systemd release-artifacts release-architectures release-repositories
echo "HEAD: $(git -C "$here" log -1 --format='%h %s')"
for check in "$@"; do
    [ -x "$here/tools/fresh-machine/$check.sh" ] || fail "no such check: $check"
    step "check: $check"
    "$here/tools/fresh-machine/$check.sh" || fail "$check"
done
check_passed
