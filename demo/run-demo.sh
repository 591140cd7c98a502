#!/bin/sh
# Runs the built tool, in verbose mode, against the host's real /usr/bin/last
# reading a bundled sample history instead of this host's own. The sample
# wtmp is bound over /var/log/wtmp inside a private mount namespace, so the
# host itself is never touched.
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

echo "demo: running '$(basename "$tool") --verbose' on a sample year of 21 boots (one crash, the last still running)."
echo "demo: /usr/bin/last is the host's own; only /var/log/wtmp is replaced, in a private"
echo "demo: mount namespace, by $wtmp."
echo "demo: what /usr/bin/last reboot prints there:"
echo
$namespace sh -c 'mount --bind "$1" /var/log/wtmp && /usr/bin/last reboot | sed "s/^/    /"' sh "$wtmp"
echo "demo: what $(basename "$tool") --verbose prints (durations, a blank line, the mean):"
echo
$namespace sh -c 'mount --bind "$1" /var/log/wtmp && exec "$2" --verbose' sh "$wtmp" "$tool"
