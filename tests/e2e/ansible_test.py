"""The Ansible role and playbooks of contrib/ansible, through Debian's
ansible-core over real ssh, with the commands of docs/fleet.md's "Through
Ansible" as it writes them, and ansible-lint over them.

The nodes are the fleet test's (sshd on loopback addresses in a private
network namespace), each in a root of its own: an overlay over this
machine's root whose changes land in the node's own folder, so that what
the role installs is installed there and never on this machine. node01 is
a Debian node, given the .deb (as are node02, which says it is Debian 11,
node05, with no finished boot, and node06, with no history: on Debian 13 a
wtmp.db that is no database, as sshd would make one); node04 says it is
Alpine and is given the static archive; node03 says it is Rocky Linux (its
os-release and redhat-release) and has rpm, and is given the RPM; node07's
sshd is not running. The release is what tools/build-release writes, for x86_64;
its signed repositories, written with a throwaway key, are served over HTTP
inside the test's network.

Needs root (sshd switches users, the nodes mount their roots); started by
another user, it runs itself again through `sudo -n` where that is allowed."""

import hashlib
import json
import os
import random
import re
import shlex
import shutil
import stat
import subprocess
import sys
import unittest

import harness
import host_last
import ssh_nodes
from real_last_test import boots, clean, with_crashes

SOURCE = None
MAKE_WTMP = None
RELEASE = None
SSH_ROOT = None
NODES = ["node%02d" % n for n in range(1, 8)]
OLD_DEBIAN_NODE = "node02"  # Debian 11: the .deb, whose static tool needs no C library of its own
DEBIAN_NODES = ["node01", OLD_DEBIAN_NODE, "node05", "node06"]
RPM_NODE = "node03"
OTHER_NODE = "node04"  # neither Debian nor RPM: the static archive
SILENT = "node05"
NO_HISTORY = "node06"
UNREACHABLE = "node07"
DOC_NODES = "node[01:16]"
DOC_RELEASE = "$PWD/release"
DOC_REPOSITORY = "https://packages.example.org/mean-reboot-interval"
# The signed repositories, served inside the test's own network.
REPOSITORY = "http://127.0.0.1:8080"
TIMER_LINK = "etc/systemd/system/timers.target.wants/mean-reboot-interval-textfile.timer"
STATUS_UNREACHABLE = 4  # ansible-playbook: some host could not be reached
STATUS_FAILED = 2  # ansible-playbook: some host failed
# What a node's package managers keep of their own (zypper's refresh
# cookies under YaST2's name too), and what the test's
# connections leave: not what the role installed.
OWN_RECORDS = ("root", "var/lib/dpkg", "var/lib/apt", "var/cache", "var/lib/rpm",
               "var/lib/dnf", "var/lib/zypp", "var/lib/YaST2", "var/log", "tmp", "run")
ROCKY_RELEASE = {
    "etc/os-release": 'NAME="Rocky Linux"\nVERSION="9.4 (Blue Onyx)"\nID="rocky"\n'
                      'ID_LIKE="rhel centos fedora"\nVERSION_ID="9.4"\n'
                      'PRETTY_NAME="Rocky Linux 9.4 (Blue Onyx)"\n',
    "etc/redhat-release": "Rocky Linux release 9.4 (Blue Onyx)\n",
    # Where an RPM system keeps its database (Debian's rpm keeps it in ~).
    "etc/rpm/macros": "%_dbpath /var/lib/rpm\n",
    # dnf as RHEL configures it: a repository that fails fails the run.
    "etc/dnf/dnf.conf": "[main]\ngpgcheck=1\ninstallonly_limit=3\nclean_requirements_on_remove=True\n"
                        "best=True\nskip_if_unavailable=False\n",
}
# The RPM node again, now saying it is SUSE (its Rocky files set aside).
SLES_RELEASE = {
    "etc/os-release": 'NAME="SLES"\nVERSION="15-SP6"\nVERSION_ID="15.6"\nID="sles"\n'
                      'ID_LIKE="suse"\nPRETTY_NAME="SUSE Linux Enterprise Server 15 SP6"\n',
}
# The folders where each family's package manager reads its sources.
SOURCE_FOLDERS = ("etc/yum.repos.d", "etc/zypp/repos.d")
BULLSEYE_RELEASE = {
    "etc/os-release": 'PRETTY_NAME="Debian GNU/Linux 11 (bullseye)"\nNAME="Debian GNU/Linux"\n'
                      'VERSION_ID="11"\nVERSION="11 (bullseye)"\nVERSION_CODENAME=bullseye\n'
                      'ID=debian\n',
    "etc/debian_version": "11.11\n",
}
ALPINE_RELEASE = {
    "etc/os-release": 'NAME="Alpine Linux"\nID=alpine\nVERSION_ID=3.20.3\n'
                      'PRETTY_NAME="Alpine Linux v3.20"\n',
    "etc/alpine-release": "3.20.3\n",
}


def node_records():
    rng = random.Random(3010)
    records = {
        "node01": boots(rng, 5, clean),
        "node02": boots(rng, 8, with_crashes),
        "node03": boots(rng, 4, clean),
        "node04": boots(rng, 6, with_crashes),
        SILENT: [("boot", host_last.START)],
    }
    return records


def doc_commands():
    """The commands of docs/fleet.md's "Through Ansible", one per line, and
    its inventory."""
    with open(os.path.join(SOURCE, "docs/fleet.md"), encoding="utf-8") as handle:
        text = handle.read()
    start = text.index("\n## Through Ansible\n")
    end = text.find("\n## ", start + 1)
    section = text[start:end if end >= 0 else len(text)]
    inventory = re.search(r"```ini\n(.*?)```", section, re.S).group(1)
    commands = [line for block in re.findall(r"```sh\n(.*?)```", section, re.S)
                for line in block.splitlines() if line.strip() and not line.startswith("#")]
    return inventory, commands


def upper_state(upper):
    """What a node's own folder holds beyond this machine's root: its files,
    links and whiteouts with their contents, and the folders this machine has
    not; a node's package records and the connections' leftovers aside."""
    state = {}
    for folder, folders, files in os.walk(upper):
        relative = os.path.relpath(folder, upper)
        relative = "" if relative == "." else relative
        folders[:] = [name for name in folders
                      if os.path.join(relative, name) not in OWN_RECORDS]
        for name in folders:
            path = os.path.join(relative, name)
            if not os.path.lexists("/" + path):
                state[path] = "folder"
        for name in files:
            path = os.path.join(relative, name)
            info = os.lstat(os.path.join(folder, name))
            if stat.S_ISLNK(info.st_mode):
                state[path] = "-> " + os.readlink(os.path.join(folder, name))
            elif stat.S_ISCHR(info.st_mode):
                # systemctl tidies away the empty .wants folders of a root
                # whose units were disabled, as the test roots' may be.
                lower = "/" + path
                if not (os.path.isdir(lower) and not os.path.islink(lower)
                        and not os.listdir(lower)):
                    state[path] = "whiteout"
            else:
                with open(os.path.join(folder, name), "rb") as handle:
                    state[path] = "%o %s" % (info.st_mode,
                                             hashlib.sha256(handle.read()).hexdigest())
    return state


def recap(output):
    """ansible-playbook's PLAY RECAP: {host: {ok: n, changed: n, ...}}."""
    hosts = {}
    for host, counts in re.findall(r"^(node\d+)\s+:\s+(.*)$", output, re.M):
        hosts[host] = {key: int(value) for key, value in re.findall(r"(\w+)=(\d+)", counts)}
    return hosts


class Ansible(ssh_nodes.SshNodes, unittest.TestCase):
    maxDiff = None
    @classmethod
    def setUpClass(cls):
        cls.make_root("mri-ansible-")
        cls.nodes = NODES
        cls.unreachable = UNREACHABLE
        cls.ssh_root = SSH_ROOT
        cls.records = node_records()
        cls.logs = {node: host_last.write_history(records, cls.root, MAKE_WTMP, node)[0]
                    for node, records in cls.records.items()}
        if host_last.flavour() == "wtmpdb":
            # sshd records each login with a terminal (Ansible asks for one)
            # in wtmpdb's database, making it where there is none: node06's
            # is there, and is no database.
            log = cls.logs[NO_HISTORY] = cls.private(NO_HISTORY + "-log")
            os.mkdir(log)
            with open(os.path.join(log, "wtmp.db"), "w", encoding="ascii") as handle:
                handle.write("not a database\n")
        for node in NODES:
            for part in ("upper", "work", "merged"):
                os.makedirs(cls.node_folder(node, part))
        # The folder a Rocky node's filesystem package owns, where RPMs put
        # their licenses.
        for folder in ("usr/share/licenses",) + SOURCE_FOLDERS:
            os.makedirs(os.path.join(cls.node_folder(RPM_NODE, "upper"), folder))
        for files, node in ((ROCKY_RELEASE, RPM_NODE), (ALPINE_RELEASE, OTHER_NODE),
                            (BULLSEYE_RELEASE, OLD_DEBIAN_NODE)):
            cls.write_node_files(node, files)
        cls.set_up_ssh()
        cls.start_nodes()
        cls.ansible_env = cls.set_up_ansible()
        # A Rocky node's own packages provide the shell, awk and last.
        provider = cls.node_base_package()
        installed = cls.on_node(RPM_NODE, "rpm -i %s && rpm -q node-base" % provider)
        assert installed.returncode == 0, installed.stdout + installed.stderr
        cls.before = cls.node_states()

    @classmethod
    def write_node_files(cls, node, files):
        for path, text in files.items():
            path = os.path.join(cls.node_folder(node, "upper"), path)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w", encoding="ascii") as handle:
                handle.write(text)

    @classmethod
    def node_folder(cls, node, part):
        return cls.private(os.path.join("roots", node, part))

    @classmethod
    def node_command(cls, node):
        """The node's own root: an overlay over this machine's, its changes in
        the node's folder; the test's folders and Debian's sshd seen where they
        are here, a /run and /tmp of its own (no systemd of this machine's to
        talk to), then the node's history over /var/log."""
        merged = cls.node_folder(node, "merged")
        quoted = {part: shlex.quote(cls.node_folder(node, part))
                  for part in ("upper", "work", "merged")}
        lines = ["set -e",
                 "mount -t overlay overlay -o lowerdir=/,upperdir=%(upper)s,workdir=%(work)s "
                 "%(merged)s" % quoted]
        for folder in ("/dev", "/proc", "/sys"):
            lines.append("mount --rbind %s %s" % (folder, shlex.quote(merged + folder)))
        # root's home is the node's own and empty: the login shell Ansible
        # starts on every task reads none of this machine's start-up files
        # (a pyenv set up here costs seconds a task).
        for folder in ("/run", "/tmp", "/root"):
            lines.append("mount -t tmpfs tmpfs %s" % shlex.quote(merged + folder))
        # Each node's package lists are its own and empty: installing a .deb
        # needs none, and apt would read this machine's every time.
        lines.append("mount -t tmpfs tmpfs %s" % shlex.quote(merged + "/var/lib/apt/lists"))
        # The node's only apt source is the one the role names: this
        # machine's mirrors are out of the test's network.
        lines.append("rm -f %s/* && : >%s" % (
            shlex.quote(merged + "/etc/apt/sources.list.d"),
            shlex.quote(merged + "/etc/apt/sources.list")))
        # As on a node set up for automation, installing a package does not
        # rebuild the manual pages' index, which takes most of an install.
        lines.append("rm -f %s" % shlex.quote(merged + "/var/lib/man-db/auto-update"))
        lines.append("mkdir %s" % shlex.quote(merged + "/run/sshd"))
        for shared in (cls.root, cls.ssh_root):
            lines.append("mkdir -p %s && mount --bind %s %s" % (
                shlex.quote(merged + shared), shlex.quote(shared), shlex.quote(merged + shared)))
        lines.append("mount --bind %s %s" % (shlex.quote(cls.private("passwd")),
                                             shlex.quote(merged + "/etc/passwd")))
        lines.append("cd %s && mkdir .host && pivot_root . .host && umount -l /.host && "
                     "rmdir /.host && cd /" % quoted["merged"])
        lines.append(host_last.mount_history(cls.logs.get(node)))
        return "{\n" + "\n".join(lines) + "\n}"

    @classmethod
    def set_up_ansible(cls):
        """An inventory as docs/fleet.md writes it, set on these nodes; Ansible's
        own files in the test's folder, and no configuration of this machine's.
        Its home too: Ansible keeps its ssh connections' sockets and its
        local temporary files under ~, where another run would share them."""
        inventory, _ = doc_commands()
        assert DOC_NODES in inventory, inventory
        inventory = inventory.replace(DOC_NODES, "node[01:07]")
        with open(cls.private("inventory"), "w", encoding="ascii") as handle:
            handle.write(inventory)
        # The same nodes, where no Python could be found.
        with open(cls.private("inventory-no-python"), "w", encoding="ascii") as handle:
            handle.write(inventory + "\n[nodes:vars]\nansible_python_interpreter=/nonexistent\n")
        home = cls.private("ansible-home")
        os.mkdir(home)
        open(cls.private("ansible.cfg"), "w", encoding="ascii").close()
        return dict(os.environ, HOME=home, ANSIBLE_CONFIG=cls.private("ansible.cfg"), ANSIBLE_HOME=home,
                    ANSIBLE_LOCAL_TEMP=os.path.join(home, "tmp"),
                    # The controller's own tasks would take root's home by
                    # name; the nodes see this folder where it is here.
                    ANSIBLE_REMOTE_TEMP=os.path.join(home, "remote-tmp"), ANSIBLE_NOCOLOR="1",
                    ANSIBLE_FORCE_COLOR="0", ANSIBLE_PYTHON_INTERPRETER="auto_silent")

    @classmethod
    def node_base_package(cls):
        top = cls.private("node-base")
        recipe = os.path.join(SOURCE, "tests/fixtures/rpm/node-base.recipe")
        subprocess.run(["rpmbuild", "--quiet", "--define", "_topdir " + top, "-bb", recipe],
                       check=True, capture_output=True)
        return os.path.join(top, "RPMS", "noarch", "node-base-1-1.noarch.rpm")

    @classmethod
    def on_node(cls, node, command):
        return subprocess.run(["ssh", node, command], capture_output=True, text=True,
                              timeout=120, check=False)

    def run_documented(self, command, inventory="inventory", hosts=None):
        """A command of the documentation, on this test's inventory, release
        and repository; on the HOSTS pattern only, where given."""
        self.assertIn("-i inventory ", command)
        if hosts is not None:
            command += " --limit " + shlex.quote(hosts)
        code = (command.replace(DOC_RELEASE, shlex.quote(RELEASE))
                .replace(DOC_REPOSITORY, REPOSITORY)
                .replace("-i inventory ", "-i %s " % shlex.quote(self.private(inventory))))
        result = subprocess.run(["sh", "-c", code], cwd=SOURCE, capture_output=True, text=True,
                                timeout=900, env=self.ansible_env, check=False)
        print("\n$ %s\n%s%s" % (command, result.stdout[-6000:], result.stderr[-3000:]))
        return result

    def documented(self, playbook, *settings):
        """The documented command that runs PLAYBOOK with these -e settings
        and no others, the release folder aside."""
        _, commands = doc_commands()
        found = [command for command in commands if playbook in command and
                 [setting for setting in re.findall(r"-e (\S+)", command)
                  if not setting.startswith("mean_reboot_interval_release_dir=")] ==
                 list(settings)]
        self.assertEqual(len(found), 1, (playbook, settings, commands))
        return found[0]

    def expected_fleet_answer(self):
        """fleet-mean.awk's answer over what the answering nodes print."""
        listing = []
        for node, records in sorted(self.records.items()):
            expected = host_last.expected(records)
            said = host_last.expected_output(expected) + host_last.notes(expected)
            listing += ["%s: %s" % (node, line) for line in said.splitlines()]
        result = subprocess.run(["awk", "-f", os.path.join(SOURCE, "contrib/fleet-mean.awk")],
                                input="\n".join(listing) + "\n", capture_output=True,
                                text=True, check=True)
        return result.stdout.splitlines()

    def shown_answer(self, output):
        """The lines the fleet playbook shows, from its debug task."""
        shown = re.search(r'TASK \[Show the fleet\'s answer\].*?"msg": (\[.*?\n    \])',
                          output, re.S)
        self.assertIsNotNone(shown, output)
        return json.loads(shown.group(1))

    @classmethod
    def node_states(cls):
        return {node: upper_state(cls.node_folder(node, "upper")) for node in NODES}

    def test_1_lint(self):
        result = subprocess.run(["ansible-lint", "--offline", "contrib/ansible"],
                                cwd=SOURCE, capture_output=True, text=True, timeout=600,
                                env=self.ansible_env, check=False)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_2_install_twice(self):
        command = self.documented("install.yml")
        first = self.run_documented(command)
        self.assertEqual(first.returncode, STATUS_UNREACHABLE, first.stderr)
        hosts = recap(first.stdout)
        self.assertEqual(hosts[UNREACHABLE]["unreachable"], 1)
        for node in [n for n in NODES if n != UNREACHABLE]:
            with self.subTest(node=node):
                self.assertEqual(hosts[node]["failed"], 0, first.stdout)
                self.assertGreater(hosts[node]["changed"], 0)
        # Each node took the artifact of its family, and the tool runs there.
        formats = {node: "dpkg -s mean-reboot-interval" for node in DEBIAN_NODES}
        formats[RPM_NODE] = "rpm -q mean-reboot-interval-1.1.0-1.x86_64"
        formats[OTHER_NODE] = ("test -x /usr/local/bin/mean-reboot-interval && "
                               "! dpkg-query -W mean-reboot-interval")
        for node, check in formats.items():
            with self.subTest(node=node):
                self.assertEqual(self.on_node(node, check).returncode, 0, node)
                self.assertEqual(self.on_node(node, "mean-reboot-interval").returncode,
                                 255 if node == NO_HISTORY else 0)
        for node in NODES:
            self.assertNotIn(TIMER_LINK, upper_state(self.node_folder(node, "upper")), node)

        again = self.run_documented(command)
        self.assertEqual(again.returncode, STATUS_UNREACHABLE, again.stderr)
        for node, counts in recap(again.stdout).items():
            if node != UNREACHABLE:
                self.assertEqual(counts["changed"], 0, "%s changed: %s" % (node, again.stdout))

    def test_3_fleet_mean(self):
        command = self.documented("fleet-mean.yml")
        result = self.run_documented(command)
        self.assertEqual(result.returncode, STATUS_FAILED, result.stderr)
        shown = self.shown_answer(result.stdout)
        fleet = self.expected_fleet_answer()
        self.assertEqual(shown[:len(fleet)], fleet)
        self.assertEqual(shown[len(fleet):], [
            "Hosts answered: 4 of 7",
            "No finished boot yet: node05",
            "Unreachable: node07: Failed to connect to the host via ssh: ssh: connect to host "
            "node07 port 22: Connection refused",
            "History unreadable: node06: Unable to read history from '/usr/bin/last reboot' "
            "(exit status 1)",
        ])
        self.assertIn("2 of 7 hosts failed", result.stdout)
        # Nothing is changed, and no host needs Python for it.
        self.assertTrue(all(counts["changed"] == 0 for counts in recap(result.stdout).values()))
        bare = self.run_documented(command, "inventory-no-python")
        self.assertEqual(self.shown_answer(bare.stdout), shown)

    def test_4_collector_and_removal(self):
        enable = self.run_documented(self.documented("install.yml",
                                                     "mean_reboot_interval_collector=true"))
        self.assertEqual(enable.returncode, STATUS_UNREACHABLE, enable.stderr)
        for node in [n for n in NODES if n != UNREACHABLE]:
            with self.subTest(node=node):
                self.assertIn(TIMER_LINK, upper_state(self.node_folder(node, "upper")))
        remove = self.run_documented(self.documented("install.yml",
                                                     "mean_reboot_interval_state=absent"))
        self.assertEqual(remove.returncode, STATUS_UNREACHABLE, remove.stderr)
        after = self.node_states()
        for node in NODES:
            with self.subTest(node=node):
                self.assertEqual(after[node], self.before[node])
        # Where the tool is gone, the fleet playbook says so.
        gone = self.run_documented(self.documented("fleet-mean.yml"))
        self.assertEqual(gone.returncode, STATUS_FAILED)
        shown = self.shown_answer(gone.stdout)
        self.assertEqual(shown[0], "Hosts answered: 0 of 7")
        failed = [line for line in shown if line.startswith("Failed: ")]
        self.assertEqual(len(failed), 6, shown)
        self.assertRegex(failed[0], r"^Failed: node01: status 127: .*mean-reboot-interval: (command )?not found$")

    def test_5_each_architecture_takes_its_build(self):
        """The role's choice on hosts of every architecture, their facts given
        (no host is reached): each is shown by the artifact it looks up, in a
        release that lists none, or refused by name and architecture."""
        hosts = {
            # name: (uname -m, distribution, major version, family), what it takes
            "pi-zero": (("armv6l", "Debian", 12, "Debian"), "-1.1.0-linux-armv6.tar.gz"),
            "pi-3": (("armv7l", "Debian", 12, "Debian"), "_1.1.0_armhf.deb"),
            "pi-4-32-bit": (("armv8l", "Debian", 12, "Debian"), "_1.1.0_armhf.deb"),
            "arm-board-rhel": (("armv7l", "Rocky", 9, "RedHat"), "-1.1.0-linux-armv6.tar.gz"),
            "power9-rhel": (("ppc64le", "RedHat", 9, "RedHat"), "-1.1.0-1.ppc64le.rpm"),
            "power9-debian": (("ppc64le", "Debian", 12, "Debian"), "_1.1.0_ppc64el.deb"),
            "z15-sles": (("s390x", "SLES", 15, "Suse"), "-1.1.0-1.s390x.rpm"),
            "riscv-fedora": (("riscv64", "Fedora", 41, "RedHat"), "-1.1.0-1.riscv64.rpm"),
            "old-appliance": (("i686", "Debian", 12, "Debian"), "_1.1.0_i386.deb"),
            "old-alpine": (("i386", "Alpine", 3, "Alpine"), "-1.1.0-linux-i686.tar.gz"),
            "armv5-board": (("armv5tel", "Debian", 12, "Debian"), None),
            "power7-node": (("ppc64", "RedHat", 7, "RedHat"), None),
            "mips-router": (("mips", "OpenWrt", 23, "OpenWrt"), None),
        }
        lines = ["%s ansible_connection=local ansible_architecture=%s ansible_distribution=%s "
                 "ansible_distribution_major_version=%d ansible_os_family=%s" % ((host,) + facts)
                 for host, (facts, _) in hosts.items()]
        with open(self.private("inventory-architectures"), "w", encoding="ascii") as handle:
            handle.write("\n".join(lines) + "\n")
        empty = self.private("empty-release")
        os.makedirs(empty, exist_ok=True)
        open(os.path.join(empty, "SHA256SUMS"), "w", encoding="ascii").close()
        playbook = self.private("choose.yml")
        with open(playbook, "w", encoding="ascii") as handle:
            handle.write("- hosts: all\n  gather_facts: false\n  roles:\n    - role: mean_reboot_interval\n")
        result = subprocess.run(
            ["ansible-playbook", "-i", self.private("inventory-architectures"), playbook,
             "-e", "mean_reboot_interval_release_dir=" + empty],
            capture_output=True, text=True, timeout=300, check=False,
            env=dict(self.ansible_env, ANSIBLE_ROLES_PATH=os.path.join(SOURCE, "contrib/ansible/roles")))
        failures = dict(re.findall(r"^fatal: \[([\w-]+)\]: FAILED! => (.*)$", result.stdout, re.M))
        for host, ((architecture, *_), takes) in hosts.items():
            with self.subTest(host=host):
                message = json.loads(failures[host])["msg"]
                if takes is None:
                    self.assertTrue(message.startswith(
                        "%s is %s, for which the release has no build proven" % (host, architecture)),
                        message)
                else:
                    self.assertRegex(message, r"SHA256SUMS does not list mean-reboot-interval"
                                     + re.escape(takes) + "$")

    def test_6_from_the_signed_repositories(self):
        """The release's signed repositories, written with a throwaway key
        and served over HTTP: the Debian nodes through apt, the RPM node
        through dnf as Rocky Linux and through zypper as SUSE, each taking
        the key, the source and the package from them; a second run changes
        nothing, and removal leaves each node as it was."""
        published = self.private("published")
        shutil.copytree(RELEASE, published)
        gnupg = self.private("gnupg")
        os.mkdir(gnupg, 0o700)
        env = dict(os.environ, GNUPGHOME=gnupg)
        subprocess.run(["gpg", "--batch", "--passphrase", "", "--quick-generate-key",
                        "Test publisher <publisher@test.invalid>", "rsa3072", "sign", "never"],
                       env=env, check=True, capture_output=True)
        listed = subprocess.run(["gpg", "--batch", "--with-colons", "--list-keys"], env=env,
                                check=True, capture_output=True, text=True).stdout
        fingerprint = re.search(r"^fpr:+([0-9A-F]{40}):", listed, re.M).group(1)
        epoch = subprocess.run(["git", "-C", SOURCE, "log", "-1", "--format=%ct"],
                               check=True, capture_output=True, text=True).stdout.strip()
        written = subprocess.run([os.path.join(SOURCE, "tools/write-repositories"), published],
                                 env=dict(env, MRI_SIGNING_KEY=fingerprint, SOURCE_DATE_EPOCH=epoch),
                                 capture_output=True, text=True, check=False)
        subprocess.run(["gpgconf", "--kill", "all"], env=env, check=False)
        self.assertEqual(written.returncode, 0, written.stdout + written.stderr)
        server = subprocess.Popen([sys.executable, "-m", "http.server", "--bind", "127.0.0.1",
                                   "--directory", os.path.join(published, "repo"),
                                   REPOSITORY.rsplit(":", 1)[1]],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self.assertTrue(ssh_nodes.wait_for_port("127.0.0.1", int(REPOSITORY.rsplit(":", 1)[1])))
            # Each way: the sources it puts in place (with words each must
            # hold), and the node's package manager, asked where its package
            # came from.
            apt = ({"etc/apt/sources.list.d/mean-reboot-interval.sources": "Signed-By: ",
                    "usr/share/keyrings/mean-reboot-interval-archive-keyring.gpg": ""},
                   "apt-cache policy mean-reboot-interval",
                   ["Installed: 1.1.0\n", " %s/deb stable/main " % REPOSITORY])
            dnf = ({"etc/yum.repos.d/mean-reboot-interval.repo": "repo_gpgcheck = 1"},
                   "dnf -q list --installed mean-reboot-interval",
                   ["mean-reboot-interval.x86_64", "1.1.0-1", "@mean-reboot-interval"])
            zypper = ({"etc/zypp/repos.d/mean-reboot-interval.repo": "pkg_gpgcheck=1"},
                      "zypper --non-interactive search --installed-only --details mean-reboot-interval",
                      ["| 1.1.0-1 ", "| mean-reboot-interval"])
            ways = {node: apt for node in DEBIAN_NODES}
            ways[RPM_NODE] = dnf
            self.check_repository_round(ways)
            self.assert_as_before(ways)
            self.rewrite_on_node(RPM_NODE, SLES_RELEASE, "etc/redhat-release")
            try:
                self.check_repository_round({RPM_NODE: zypper})
            finally:
                self.rewrite_on_node(RPM_NODE, ROCKY_RELEASE)
            self.assert_as_before([RPM_NODE])
        finally:
            server.terminate()
            server.wait(timeout=10)

    def rewrite_on_node(self, node, files, removed=None):
        """FILES written, and REMOVED removed, through the node: its root's
        folder is not to be changed under the mounted overlay."""
        commands = ["printf %%s %s >/%s" % (shlex.quote(text), path) for path, text in files.items()]
        if removed is not None:
            commands.append("rm /" + removed)
        done = self.on_node(node, " && ".join(commands))
        self.assertEqual(done.returncode, 0, done.stderr)

    def check_repository_round(self, ways):
        """The role from the repository on the nodes of WAYS, each node's
        way its sources, in place with the words each must hold, and its
        package manager's query and the words it must answer; the release
        not copied, the rpm key imported where the node has rpm's database;
        then a second run that changes nothing, and removal."""
        hosts = ",".join(ways)
        command = self.documented("install.yml", "mean_reboot_interval_repository_url=" + DOC_REPOSITORY)
        first = self.run_documented(command, hosts=hosts)
        self.assertEqual(first.returncode, 0, first.stdout + first.stderr)
        for node, (sources, query, words) in ways.items():
            with self.subTest(node=node):
                state = upper_state(self.node_folder(node, "upper"))
                for path, holds in sources.items():
                    self.assertIn(path, state)
                    with open(os.path.join(self.node_folder(node, "upper"), path), "rb") as handle:
                        self.assertIn(holds.encode(), handle.read())
                self.assertNotIn("var/lib/mean-reboot-interval", state)
                if node == RPM_NODE:
                    key = self.on_node(node, "rpm -q --qf '%{summary}\\n' gpg-pubkey")
                    self.assertIn("Test publisher", key.stdout)
                said = self.on_node(node, query)
                for word in words:
                    self.assertIn(word, said.stdout)
                self.assertEqual(self.on_node(node, "mean-reboot-interval").returncode,
                                 255 if node == NO_HISTORY else 0)
        again = self.run_documented(command, hosts=hosts)
        self.assertEqual(again.returncode, 0, again.stdout + again.stderr)
        for node, counts in recap(again.stdout).items():
            self.assertEqual(counts["changed"], 0, "%s changed: %s" % (node, again.stdout))
        remove = self.run_documented(self.documented("install.yml", "mean_reboot_interval_repository_url="
                                                     + DOC_REPOSITORY, "mean_reboot_interval_state=absent"),
                                     hosts=hosts)
        self.assertEqual(remove.returncode, 0, remove.stdout + remove.stderr)
        if RPM_NODE in ways:
            self.assertNotEqual(self.on_node(RPM_NODE, "rpm -q gpg-pubkey").returncode, 0)

    def assert_as_before(self, nodes):
        after = self.node_states()
        for node in nodes:
            with self.subTest(node=node):
                self.assertEqual(after[node], self.before[node])


def release():
    """The x86_64 release that tools/build-release writes, built once per
    commit into the build tree."""
    commit = subprocess.run(["git", "-C", SOURCE, "rev-parse", "HEAD"], capture_output=True,
                            text=True, check=False)
    if commit.returncode != 0:
        print("FAIL: tools/build-release builds the committed tree, and %s is no git clone: %s"
              % (SOURCE, commit.stderr.strip()))
        sys.exit(1)
    stamp = os.path.join(RELEASE, "built-from")
    if os.path.exists(stamp):
        with open(stamp, encoding="ascii") as handle:
            if handle.read() == commit.stdout:
                return
    shutil.rmtree(RELEASE, ignore_errors=True)
    built = subprocess.run([os.path.join(SOURCE, "tools/build-release"), RELEASE],
                           env=dict(os.environ, MRI_RELEASE_ARCHITECTURES="x86_64"),
                           capture_output=True, text=True, check=False)
    if built.returncode != 0:
        print("FAIL: tools/build-release: %s%s" % (built.stdout, built.stderr))
        sys.exit(1)
    with open(stamp, "w", encoding="ascii") as handle:
        handle.write(commit.stdout)


if __name__ == "__main__":
    missing = [program for program in ("ansible-playbook", "ansible-lint", "ssh", "ssh-keygen",
                                       "rpm", "rpmbuild", "git", "dpkg-buildpackage", "awk",
                                       "gpg", "rpmsign", "createrepo_c", "apt-ftparchive")
               if shutil.which(program) is None]
    if missing:
        # ansible-core is in every Debian release the prerequisites serve;
        # without it the test can only say so.
        print("%s: %s missing; tools/install-prerequisites.sh test installs it"
              % ("FAIL" if os.environ.get("CI") == "true" else "SKIP", ", ".join(missing)))
        sys.exit(1 if os.environ.get("CI") == "true" else harness.SKIP_STATUS)
    SOURCE, MAKE_WTMP, build = (os.path.abspath(a) for a in sys.argv[1:4])
    RELEASE = os.path.join(build, "release")
    if os.environ.get(harness.INSIDE) != "1":
        release()
    SSH_ROOT = harness.unpack_debian_packages(ssh_nodes.SSH_PACKAGES,
                                              os.path.join(build, "ssh-packages"))
    harness.run_as_root_in_private_namespaces("the Ansible test")
    del sys.argv[1:4]
    unittest.main(verbosity=2)
