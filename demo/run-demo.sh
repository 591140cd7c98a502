#!/bin/sh
# Runs the built tool, in verbose mode, against the host's real /usr/bin/last
# reading a bundled sample history instead of this host's own. The sample is
# put where this host's `last` reads its history, in a private mount
# namespace, so the host itself is never touched: util-linux's `last`
# (Debian 12) gets the sample wtmp bound over /var/log/wtmp; wtmpdb's
# (Debian 13) gets the same records imported into a private database bound
# over /var/log/wtmp.db.
#
#   run-demo.sh TOOL SAMPLE_WTMP
set -eu

tool=$1
wtmp=$2

if [ "$(id -u)" -eq 0 ]; then
    namespace="unshare --mount --propagation private"
else
    namespace="unshare --map-root-user --mount --propagation private"
fi

if ! $namespace true 2>/dev/null; then
    echo "demo: cannot create a private mount namespace here ($namespace failed)." >&2
    echo "demo: it needs root, or unprivileged user namespaces enabled" >&2
    echo "demo: (sysctl kernel.unprivileged_userns_clone=1); run the tool directly instead." >&2
    exit 1
fi
[ -x /usr/bin/last ] || {
    echo "demo: this host has no /usr/bin/last; install util-linux (Debian 12) or wtmpdb (Debian 13)" >&2
    exit 1
}

# A folder of its own, bound over /var/log: a fresh system may have no
# history file to bind a file over.
log=$(mktemp -d "${TMPDIR:-/tmp}/mri-demo.XXXXXX")
trap 'rm -rf "$log"' EXIT
chmod 0755 "$log"
if [ "$(basename "$(readlink -f /usr/bin/last)")" = wtmpdb ]; then
    which_last="wtmpdb's last ($(wtmpdb --version 2>/dev/null || echo wtmpdb)), reading /var/log/wtmp.db"
    wtmpdb import -f "$log/wtmp.db" "$wtmp" >/dev/null
    crash_note="demo: wtmpdb's last shows the crashed boot as '- crash' with no duration; the tool
demo: counts it to the next boot's start, and says so on standard error."
else
    which_last="util-linux's last ($(last --version 2>/dev/null | head -n 1)), reading /var/log/wtmp"
    cp "$wtmp" "$log/wtmp"
    crash_note="demo: util-linux's last runs the crashed boot on to the next shutdown, past the
demo: boot after it; the tool counts it to that boot's start, and says so on standard error."
fi

echo "demo: running '$(basename "$tool") --verbose' on a sample node's 19 months: 21 boots,"
echo "demo: one crash, the last still running."
echo "demo: /usr/bin/last is the host's own: $which_last."
echo "demo: only /var/log is replaced, in a private mount namespace, by the sample."
echo "demo: what /usr/bin/last reboot prints there:"
echo
$namespace sh -c 'mount --bind "$1" /var/log && /usr/bin/last reboot | sed "s/^/    /"' sh "$log"
echo "demo: what $(basename "$tool") --verbose prints (durations, a blank line, the mean):"
echo
$namespace sh -c 'mount --bind "$1" /var/log && exec "$2" --verbose' sh "$log" "$tool"
echo
echo "$crash_note"
