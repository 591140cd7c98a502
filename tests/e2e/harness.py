"""Runs the real binary in a private mount namespace, with a stand-in bound
over /usr/bin/last or a wtmp file of our own bound over /var/log/wtmp, so that
the host itself is never changed."""

import os
import shlex
import subprocess
import sys
import tempfile

SKIP_STATUS = 77  # ctest's SKIP_RETURN_CODE for these tests
HISTORY_COMMAND = "/usr/bin/last"
SUMMARY = "* Mean time between reboots:\t\t"


def namespace_command():
    if os.geteuid() == 0:
        return ["unshare", "--mount", "--propagation", "private"]
    return ["unshare", "--map-root-user", "--mount", "--propagation", "private"]


def require_namespaces():
    """Skips the whole test program where namespaces are not allowed; under
    CI that is a failure, since these tests must run there."""
    probe = subprocess.run(namespace_command() + ["true"], capture_output=True, text=True)
    if probe.returncode == 0:
        return
    reason = ("private mount namespaces are not allowed here (%s: %s)"
              % (" ".join(namespace_command()), probe.stderr.strip()))
    if os.environ.get("CI") == "true":
        print("FAIL: " + reason + "; CI must run these tests", file=sys.stderr)
        sys.exit(1)
    print("SKIP: " + reason)
    sys.exit(SKIP_STATUS)


def run_isolated(argv, binds=(), tmpfs=(), nofile=None, cwd=None, stdout=subprocess.PIPE,
                 env=None, timeout=600, stack_kib=None):
    """Runs argv in a private mount namespace after the given bind mounts
    ((source, target) pairs) and tmpfs mounts; returns the CompletedProcess
    with bytes output."""
    steps = ["set -e"]
    steps += ["mount -t tmpfs tmpfs %s" % shlex.quote(target) for target in tmpfs]
    steps += ["mount --bind %s %s" % (shlex.quote(source), shlex.quote(target))
              for source, target in binds]
    if nofile is not None:
        steps.append("ulimit -n %d" % nofile)
    if stack_kib is not None:
        steps.append("ulimit -s %d" % stack_kib)
    steps.append('exec "$@"')
    command = namespace_command() + ["sh", "-c", "; ".join(steps), "sh"] + list(argv)
    return subprocess.run(command, stdout=stdout, stderr=subprocess.PIPE, cwd=cwd,
                          env=env, timeout=timeout, check=False)


class StandIn:
    """An executable that plays /usr/bin/last: prints fixture bytes, leaves a
    mark that it was started, then does what the test asks."""

    def __init__(self, history=b"", status=0, after="", script=None):
        self.dir = tempfile.TemporaryDirectory(prefix="mri-standin-")
        self.path = os.path.join(self.dir.name, "last")
        self.marker = os.path.join(self.dir.name, "started")
        fixture = os.path.join(self.dir.name, "history")
        with open(fixture, "wb") as handle:
            handle.write(history)
        if script is None:
            script = "#!/bin/sh\n: > %s\ncat %s\n%s\nexit %d\n" % (
                shlex.quote(self.marker), shlex.quote(fixture), after, status)
        with open(self.path, "w", encoding="ascii") as handle:
            handle.write(script)
        os.chmod(self.path, 0o755)
        os.chmod(self.dir.name, 0o755)

    def started(self):
        return os.path.exists(self.marker)

    def bind(self):
        return [(self.path, HISTORY_COMMAND)]

    def close(self):
        self.dir.cleanup()


def summary_line(mean):
    """The summary for a mean in minutes."""
    return "%s%d minutes (%d+%d:%d)\n" % (SUMMARY, mean, mean // 1440, mean % 1440 // 60, mean % 60)


INSIDE = "MRI_PRIVATE_NAMESPACES"


def run_as_root_in_private_namespaces(what):
    """Runs this test program again as root in private mount, network and
    pid namespaces, for tests that start servers: every server dies with it,
    and none is reachable from outside. Returns in the program run inside;
    exits with its status in the one that started it. Started by another
    user, it goes through `sudo -n` where that is allowed; where it is not,
    the test skips, and under CI fails."""
    if os.environ.get(INSIDE) == "1":
        return
    argv = [sys.executable] + sys.argv
    namespaces = ["unshare", "--mount", "--net", "--pid", "--fork", "--mount-proc",
                  "--propagation", "private"]
    if os.geteuid() == 0:
        command = ["env", INSIDE + "=1"] + namespaces + argv
    elif subprocess.run(["sudo", "-n", "true"], capture_output=True,
                        check=False).returncode == 0:
        command = ["sudo", "-n", "--preserve-env=CI", "env", INSIDE + "=1"] + namespaces + argv
    else:
        reason = "%s needs root, or sudo without a password" % what
        if os.environ.get("CI") == "true":
            print("FAIL: " + reason)
            sys.exit(1)
        print("SKIP: " + reason)
        sys.exit(SKIP_STATUS)
    sys.exit(subprocess.run(command, check=False).returncode)


def bring_up_loopback():
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)


def unpack_debian_packages(names, directory):
    """Debian's packages of these names, fetched with `apt-get download` and
    unpacked with `dpkg-deb -x` into directory/root, once: their programs
    run from there, and nothing is installed or enabled. Returns the root."""
    root = os.path.join(directory, "root")
    done = os.path.join(directory, "unpacked")
    if not os.path.exists(done):
        os.makedirs(directory, exist_ok=True)
        for deb in os.listdir(directory):
            if deb.endswith(".deb"):
                os.unlink(os.path.join(directory, deb))
        subprocess.run(["apt-get", "download", "-q"] + list(names), cwd=directory,
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for deb in os.listdir(directory):
            if deb.endswith(".deb"):
                subprocess.run(["dpkg-deb", "-x", os.path.join(directory, deb), root], check=True)
        with open(done, "w", encoding="ascii"):
            pass
    return root
