"""The fleet commands of docs/fleet.md, exactly as it writes them (the node set set
aside), through the real cluster engines over real ssh. Each simulated node
is Debian's own sshd, listening on its own loopback address in a private
network namespace, inside a mount namespace of its own where the host's real
`last` reads that node's history. Names come from a private /etc/hosts, keys
and known hosts from a private ssh configuration. Every node's output is
checked against what its records' own times give, and nothing else may
appear; the fleet script is checked the same way under mawk and gawk.

Needs root (sshd switches users); started by another user, it runs itself
again through `sudo -n` where that is allowed."""

import os
import re
import shlex
import shutil
import subprocess
import sys
import unittest

import harness
import host_last
import ssh_nodes
from real_last_test import boots, clean, clock_went_back, with_crashes
import random

TOOL = None
MAKE_WTMP = None
FLEET_SCRIPT = None
FLEET_DOC = None
DOC_NODES = "'node[01-16]'"
NODES = ["node%02d" % n for n in range(1, 10)]
NODE_SET = "'node[01-09]'"
NO_HISTORY = "node08"  # /var/log is empty: last exits 1, the tool 255
SILENT = "node07"  # a boot still running, nothing finished: no output, status 0
SSH_ROOT = None
UNREACHABLE = "node09"  # in /etc/hosts, but no sshd runs there
PACKAGED_SCRIPT = "/usr/share/mean-reboot-interval/fleet-mean.awk"


def fleet_records():
    rng = random.Random(1208)
    shapes = [clean, clean, with_crashes, with_crashes, clean, clock_went_back]
    counts = [3, 12, 25, 7, 1, 9]
    records = {node: boots(rng, count, shape)
               for node, shape, count in zip(NODES, shapes, counts)}
    records[SILENT] = [("boot", host_last.START)]
    return records


def doc_section(heading):
    with open(FLEET_DOC, encoding="utf-8") as handle:
        text = handle.read()
    start = text.index("\n" + heading + "\n")
    end = text.find("\n## ", start + 1)
    return text[start:end if end >= 0 else len(text)]


def doc_commands(section):
    """The shell code blocks of a section, one string each."""
    return [block for language, block in
            re.findall(r"```(sh|bash)\n(.*?)```", section, re.S)]


def as_fleet(command):
    """A documented command set on this test's nodes and its copy of the script."""
    assert DOC_NODES in command or "@" in command or "-g " in command, command
    return (command.replace(DOC_NODES, NODE_SET)
            .replace(PACKAGED_SCRIPT, shlex.quote(FLEET_SCRIPT)))


def run_shell(code, shell="sh"):
    return subprocess.run([shell, "-c", code], capture_output=True, text=True, timeout=300,
                          check=False)


def grouped_blocks(text):
    """clush -B and dshbak -c print each distinct output under a header of
    the node set that gave it; returns {node: [lines]}."""
    blocks = {}
    lines = text.splitlines()
    index = 0
    while index < len(lines):
        if re.fullmatch(r"-{10,}", lines[index]) and index + 2 < len(lines) and \
                re.fullmatch(r"-{10,}", lines[index + 2]):
            nodes = subprocess.run(["nodeset", "-e", lines[index + 1].split(" (")[0]],
                                   capture_output=True, text=True, check=True).stdout.split()
            index += 3
            body = []
            while index < len(lines) and not (re.fullmatch(r"-{10,}", lines[index]) and
                                              index + 2 < len(lines) and
                                              re.fullmatch(r"-{10,}", lines[index + 2])):
                body.append(lines[index])
                index += 1
            for node in nodes:
                blocks[node] = body
        else:
            index += 1
    return blocks


class Fleet(ssh_nodes.SshNodes, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.make_root("mri-fleet-")
        cls.records = fleet_records()
        cls.expected = {node: host_last.expected(records)
                        for node, records in cls.records.items()}
        cls.logs = {node: host_last.write_history(records, cls.root, MAKE_WTMP, node)[0]
                    for node, records in cls.records.items()}
        cls.nodes = NODES
        cls.unreachable = UNREACHABLE
        cls.ssh_root = SSH_ROOT
        cls.set_up_ssh(TOOL)
        cls.start_nodes()

    def node_lines(self, node):
        """What a node prints, standard output and error, as clush -B shows it."""
        expected = self.expected[node]
        if node == NO_HISTORY:
            return None  # last's own words differ by release; checked apart
        return (host_last.expected_output(expected, verbose=False)
                + host_last.notes(expected)).splitlines()

    def check_node_block(self, node, lines):
        if node == UNREACHABLE:
            self.assertEqual(lines, ["ssh: connect to host %s port 22: Connection refused" % node])
            return
        if node == NO_HISTORY:
            self.assertEqual(len(lines), 2, lines)
            self.assertIn(lines[1], ["Unable to read history from '/usr/bin/last reboot' "
                                     "(exit status 1)"])
            self.assertRegex(lines[0], r"^(last: cannot open /var/log/wtmp|.*Cannot open database)")
            return
        # Standard error and output interleave as they come: an error line's
        # own empty line may follow the summary. Each is counted, in any order.
        errors = [line for line in lines if line.startswith("Error reading from (")]
        self.assertEqual(len(errors), self.expected[node].unreadable, lines)
        rest = [line for line in lines if line and line not in errors]
        self.assertEqual(sorted(rest), sorted(self.node_lines(node)), node)
        self.assertEqual(lines.count(""), len(errors), lines)

    def test_clush_as_the_documentation_writes_it(self):
        command = as_fleet(doc_commands(doc_section("## Across a cluster"))[0])
        self.assertTrue(command.startswith("clush "), command)
        result = run_shell(command)
        print("\n$ %s\n%s%s" % (command, result.stdout, result.stderr))
        blocks = grouped_blocks(result.stdout)
        # Standard error is gathered too with -B.
        self.assertEqual(result.returncode, 255, result.stderr)
        answering = [node for node in NODES if node != SILENT]
        self.assertEqual(sorted(blocks), answering, result.stdout)
        for node in answering:
            with self.subTest(node=node):
                self.check_node_block(node, blocks[node])
        # Less its progress meter, which it draws over one line of a terminal.
        notices = [line for line in result.stderr.splitlines()
                   if line.strip() and not re.fullmatch(r"clush: *\d+/\d+", line)]
        self.assertEqual(notices, ["clush: node[08-09] (2): exited with exit code 255"])

    def test_pdsh_as_the_documentation_writes_it(self):
        code = as_fleet(doc_commands(doc_section("## Across a cluster"))[1])
        self.assertIn("set -o pipefail", code)
        result = run_shell(code, shell="bash")
        self.assertEqual(result.returncode, 255, result.stderr)
        blocks = grouped_blocks(result.stdout)
        # pdsh's standard error stays apart: the grouped blocks are standard output.
        for node in [n for n in NODES if n not in (SILENT, NO_HISTORY, UNREACHABLE)]:
            with self.subTest(node=node):
                expected = host_last.expected_output(self.expected[node], verbose=False)
                self.assertEqual(blocks[node], expected.splitlines())
        self.assertEqual(sorted(blocks),
                         sorted(n for n, e in self.expected.items() if e.lengths))
        self.assertIn("%s: ssh exited with exit code 255" % UNREACHABLE, result.stderr)
        self.assertIn("%s: ssh exited with exit code 255" % NO_HISTORY, result.stderr)
        self.assertIn("%s: Unable to read history from '/usr/bin/last reboot' (exit status 1)"
                      % NO_HISTORY, result.stderr)
        self.assertIn("%s: ssh: connect to host %s port 22: Connection refused"
                      % (UNREACHABLE, UNREACHABLE), result.stderr)

    def test_a_group_of_its_own(self):
        code = doc_commands(doc_section("## Across a cluster"))[2]
        lines = code.splitlines()
        self.assertTrue(lines[0].startswith("echo 'reboots: node[01-16]' >> "), lines)
        self.assertEqual(run_shell(lines[0]).returncode, 0)
        listed = run_shell(lines[1])
        self.assertEqual(listed.stdout, "node[01-16]\n", listed.stderr)
        self.assertEqual(run_shell("nodeset -c @reboots").stdout, "16\n")

    def check_fleet_answer(self, command):
        answers = []
        for awk in ("mawk", "gawk"):
            result = run_shell(command.replace("| awk ", "| %s " % awk))
            self.assertEqual(result.returncode, 0, result.stderr)
            answers.append(result)
        self.assertEqual(answers[0].stdout, answers[1].stdout)
        counted = {node: e for node, e in self.expected.items() if e.lengths}
        every = [length for e in counted.values() for length in e.lengths]
        crashed = {node: e.crashed for node, e in self.expected.items() if e.crashed}
        to_next = {node: e.counted_to_next for node, e in self.expected.items()
                   if e.counted_to_next}
        lines = []
        for node in sorted(counted, key=lambda n: (-len(counted[n].lengths), n)):
            lengths = counted[node].lengths
            mean = sum(lengths) // len(lengths)
            lines.append("%s: %d boot%s, mean %d minutes (%d+%d:%d)" % (
                node, len(lengths), "" if len(lengths) == 1 else "s", mean, mean // 1440,
                mean % 1440 // 60, mean % 60))
        if to_next:
            total = sum(to_next.values())
            lines.append("%d crashed boot%s on %d node%s counted to the next boot's start" % (
                total, "" if total == 1 else "s", len(to_next), "" if len(to_next) == 1 else "s"))
        if crashed:
            total = sum(crashed.values())
            lines.append("%d crashed boot%s on %d node%s with no duration, not counted" % (
                total, "" if total == 1 else "s", len(crashed), "" if len(crashed) == 1 else "s"))
        lines.append("%d boots on %d nodes" % (len(every), len(counted)))
        lines.append(harness.summary_line(sum(every) // len(every)).rstrip("\n"))
        self.assertEqual(answers[0].stdout.splitlines(), lines)
        return answers[0].stdout

    def test_fleet_mean_as_the_documentation_writes_it(self):
        section = doc_section("### One answer for the fleet")
        commands = doc_commands(section)[0].splitlines()
        self.assertEqual(len(commands), 2)
        for command in commands:
            with self.subTest(command=command.split()[0]):
                answer = self.check_fleet_answer(as_fleet(command))
                print("\n$ %s\n%s" % (command, answer))

    def test_fleet_mean_wants_the_listing(self):
        result = run_shell("clush -w %s -L mean-reboot-interval 2>&1 | mawk -f %s"
                           % (NODE_SET, shlex.quote(FLEET_SCRIPT)))
        self.assertEqual(result.returncode, 1)
        self.assertIn("run the tool with -v", result.stderr)


if __name__ == "__main__":
    for program in ("clush", "nodeset", "pdsh", "dshbak", "mawk", "gawk", "bash", "ssh",
                    "ssh-keygen", "ip", "apt-get", "dpkg-deb"):
        if shutil.which(program) is None:
            print("FAIL: %s is missing; tools/install-prerequisites.sh installs it" % program)
            sys.exit(1)
    TOOL, MAKE_WTMP, FLEET_SCRIPT, FLEET_DOC, packages = (os.path.abspath(a) for a in sys.argv[1:6])
    # Debian's sshd, unpacked rather than installed (an installed server is
    # enabled for the next boot), fetched before the private network
    # namespace, where the mirror is out of reach.
    SSH_ROOT = harness.unpack_debian_packages(ssh_nodes.SSH_PACKAGES, packages)
    harness.run_as_root_in_private_namespaces("the fleet test")
    del sys.argv[1:6]
    unittest.main(verbosity=2)
