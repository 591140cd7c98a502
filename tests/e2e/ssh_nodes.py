"""Simulated nodes for the tests that reach a fleet over real ssh. Each node
is Debian's own sshd, listening on its own loopback address in the test's
private network namespace, started in a mount namespace of its own where
the node's history is put over /var/log. Names come from a private
/etc/hosts, keys and known hosts from a private ssh configuration, all bound
over the host's in the test's private mount namespace."""

import os
import re
import shutil
import socket
import subprocess
import tempfile
import time

import harness
import host_last

SSH_PACKAGES = ("openssh-server", "libwrap0")
SSH_WAIT_SECONDS = 20


def address(node):
    return "127.0.1.%d" % int(node[4:])


class SshNodes:
    """A mixin for a test class. The class sets nodes (every node's name),
    unreachable (a node that is named but runs no sshd), ssh_root (where
    Debian's sshd was unpacked), root (its private folder) and logs (each
    node's history folder, from host_last.write_history)."""

    nodes = []
    unreachable = None
    ssh_root = None
    root = None
    logs = {}
    sshd = []

    @classmethod
    def make_root(cls, prefix):
        """The test's private folder, readable by sshd's own user."""
        cls.dir = tempfile.TemporaryDirectory(prefix=prefix)
        cls.root = cls.dir.name
        os.chmod(cls.root, 0o755)

    @classmethod
    def tearDownClass(cls):
        cls.stop_sshd()
        cls.dir.cleanup()

    @classmethod
    def node_command(cls, node):
        """The shell code run in the node's mount namespace before its sshd."""
        return host_last.mount_history(cls.logs.get(node))

    @classmethod
    def start_nodes(cls):
        cls.sshd = []
        try:
            for node in cls.nodes:
                if node != cls.unreachable:
                    cls.sshd.append(cls.start_sshd(node))
            cls.wait_for_sshd()
        except BaseException:
            cls.stop_sshd()
            raise

    @classmethod
    def stop_sshd(cls):
        for process in cls.sshd:
            process.terminate()
            process.wait(timeout=10)
        cls.sshd = []

    @classmethod
    def private(cls, name):
        return os.path.join(cls.root, name)

    @classmethod
    def set_up_ssh(cls, tool=None):
        """Keys, names and client settings of this test's own, bound over the
        host's in this private mount namespace; the tool, when given, on
        sshd's PATH."""
        for key in ("host_key", "client_key"):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f",
                            cls.private(key)], check=True)
        shutil.copy(cls.private("client_key.pub"), cls.private("authorized_keys"))
        with open(cls.private("host_key.pub"), encoding="ascii") as handle:
            host_key = " ".join(handle.read().split()[:2])
        with open(cls.private("known_hosts"), "w", encoding="ascii") as handle:
            for node in cls.nodes:
                handle.write("%s %s\n" % (node, host_key))
        with open(cls.private("hosts"), "w", encoding="ascii") as handle:
            handle.write("127.0.0.1 localhost\n")
            for node in cls.nodes:
                handle.write("%s %s\n" % (address(node), node))
        with open(cls.private("ssh_config"), "w", encoding="ascii") as handle:
            handle.write("Host *\n    IdentityFile %s\n    IdentitiesOnly yes\n"
                         "    UserKnownHostsFile %s\n    GlobalKnownHostsFile /dev/null\n"
                         "    StrictHostKeyChecking yes\n    BatchMode yes\n"
                         "    ConnectTimeout 10\n"
                         % (cls.private("client_key"), cls.private("known_hosts")))
        os.mkdir(cls.private("empty"))
        shutil.copytree("/etc/clustershell", cls.private("clustershell"), symlinks=True)
        # sshd drops privileges to a user of its own, which its package
        # would have added: here it is added to a private copy.
        with open("/etc/passwd", encoding="utf-8") as handle:
            users = handle.read()
        if not re.search(r"^sshd:", users, re.M):
            taken = {int(line.split(":")[2]) for line in users.splitlines() if line.count(":") >= 6}
            uid = max(u for u in range(100, 1000) if u not in taken)
            users += "sshd:x:%d:65534::/run/sshd:/usr/sbin/nologin\n" % uid
        with open(cls.private("passwd"), "w", encoding="utf-8") as handle:
            handle.write(users)
        binds = [(cls.private("hosts"), "/etc/hosts"),
                 (cls.private("passwd"), "/etc/passwd"),
                 (cls.private("ssh_config"), "/etc/ssh/ssh_config"),
                 (cls.private("clustershell"), "/etc/clustershell")]
        if tool is not None:
            os.mkdir(cls.private("bin"))
            shutil.copy(tool, os.path.join(cls.private("bin"), "mean-reboot-interval"))
            binds.append((cls.private("bin"), "/usr/local/bin"))
        home_ssh = os.path.expanduser("~/.ssh")
        if os.path.isdir(home_ssh):  # the user's own settings stay out of it
            binds.append((cls.private("empty"), home_ssh))
        # The nodes' login shells read none of this machine's start-up files,
        # as on a node where only the package was installed.
        for startup in (".bashrc", ".profile", ".bash_profile", ".bash_login"):
            if os.path.isfile(os.path.expanduser("~/" + startup)):
                binds.append(("/dev/null", os.path.expanduser("~/" + startup)))
        for source, target in binds:
            subprocess.run(["mount", "--bind", source, target], check=True)
        # sshd wants its privilege separation folder.
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/run"], check=True)
        os.mkdir("/run/sshd", 0o755)
        harness.bring_up_loopback()

    @classmethod
    def start_sshd(cls, node):
        config = cls.private(node + ".sshd_config")
        with open(config, "w", encoding="ascii") as handle:
            handle.write("ListenAddress %s:22\nHostKey %s\nAuthorizedKeysFile %s\n"
                         "PidFile none\nPermitRootLogin prohibit-password\n"
                         "PasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                         "UsePAM no\nStrictModes no\nPrintMotd no\nPrintLastLog no\n"
                         "Subsystem sftp internal-sftp\n"
                         % (address(node), cls.private("host_key"),
                            cls.private("authorized_keys")))
            # From OpenSSH 9.8 on, sshd runs each connection in programs of
            # its own, found where the package put them unless told.
            for option, program in (("SshdSessionPath", "sshd-session"),
                                    ("SshdAuthPath", "sshd-auth")):
                path = os.path.join(cls.ssh_root, "usr/lib/openssh", program)
                if os.path.exists(path):
                    handle.write("%s %s\n" % (option, path))
        history = cls.node_command(node)
        libraries = ":".join(os.path.join(cls.ssh_root, folder)
                             for folder in ("usr/lib/x86_64-linux-gnu", "lib/x86_64-linux-gnu"))
        with open(cls.private(node + ".sshd.log"), "wb") as log:
            return subprocess.Popen(
                ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                 '%s && exec "$2" -D -e -f "$1"' % history, "sh", config,
                 os.path.join(cls.ssh_root, "usr/sbin/sshd")],
                stdout=log, stderr=log, env=dict(os.environ, LD_LIBRARY_PATH=libraries))

    @classmethod
    def wait_for_sshd(cls):
        deadline = time.monotonic() + SSH_WAIT_SECONDS
        for node in cls.nodes:
            if node != cls.unreachable and not wait_for_port(address(node), 22, deadline):
                with open(cls.private(node + ".sshd.log"), encoding="utf-8",
                          errors="replace") as handle:
                    raise RuntimeError("sshd of %s did not start: %s" % (node, handle.read()))


def wait_for_port(host, port, deadline=None):
    """Whether something listens on HOST:PORT before DEADLINE (time.monotonic's;
    SSH_WAIT_SECONDS from now by default)."""
    deadline = deadline or time.monotonic() + SSH_WAIT_SECONDS
    while True:
        try:
            socket.create_connection((host, port), timeout=1).close()
            return True
        except OSError:
            if time.monotonic() > deadline:
                return False
            time.sleep(0.1)
