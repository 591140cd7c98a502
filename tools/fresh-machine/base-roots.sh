#!/bin/sh
# The base roots the other checks start from, made at once: Debian 12, 13
# and testing from debootstrap, each with what a newcomer brings to the
# Quick start, kept in the cache between runs. Testing that cannot be made
# is said, not failed: the installed-package check says so again.
#
#   tools/fresh-machine/base-roots.sh    (as root)
set -eu
here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/tools/fresh-machine/lib.sh"
begin_check base-roots

step "base roots (debootstrap, or the cache)"
echo "mirror: $mirror_uri"
make_base bookworm &
bookworm_job=$!
make_base trixie &
trixie_job=$!
make_base testing &
testing_job=$!
wait "$bookworm_job" || fail "Debian 12 base root"
wait "$trixie_job" || fail "Debian 13 base root"
wait "$testing_job" || echo "Debian testing: no root could be made (debootstrap failed)"
check_passed
