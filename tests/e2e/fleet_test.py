"""A simulated fleet through the real cluster engines: clush and pdsh with
their exec module (no ssh) run the README's commands over nodes that are each
the real binary in a private mount namespace with its own wtmp, read by the
host's real `last`. The fleet script's answer is checked against a mean
computed from the records' own times, under mawk and gawk alike."""

import os
import random
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest

import harness
import real_last_test
from real_last_test import boots, clean, clock_went_back, with_crashes

TOOL = None
MAKE_WTMP = None
FLEET_SCRIPT = None
NODES = ["node%d" % n for n in range(1, 9)]
NODE_LIST = "node[1-8]"
FAILING = "node8"  # no wtmp at all: last exits 1, the tool 255
SILENT = "node7"  # a boot still running, nothing finished: no output, status 0


def fleet_records():
    rng = random.Random(1208)
    shapes = [clean, clean, with_crashes, with_crashes, clean, clock_went_back]
    counts = [3, 12, 25, 7, 1, 9]
    records = {node: boots(rng, count, shape)
               for node, shape, count in zip(NODES, shapes, counts)}
    records[SILENT] = [("boot", real_last_test.START)]
    return records


def signed(lengths):
    return [-minutes if negative else minutes for negative, minutes in lengths]


class Fleet(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory(prefix="mri-fleet-")
        root = cls.dir.name
        os.chmod(root, 0o755)
        cls.records = fleet_records()
        for node, records in cls.records.items():
            listing = os.path.join(root, node + ".list")
            with open(listing, "w", encoding="ascii") as handle:
                for kind, when in records:
                    handle.write("%s %s 6.1.0-18-amd64\n"
                                 % (kind, when.strftime("%Y-%m-%d %H:%M:%S")))
            subprocess.run([MAKE_WTMP, listing, os.path.join(root, node + ".wtmp")], check=True)
        bin_dir = os.path.join(root, "bin")
        os.mkdir(bin_dir)
        os.symlink(TOOL, os.path.join(bin_dir, "mean-reboot-interval"))
        # The exec module runs this for each node, %h being the node's name.
        cls.enter = os.path.join(root, "enter-node")
        namespace = " ".join(harness.namespace_command())
        with open(cls.enter, "w", encoding="ascii") as handle:
            handle.write("""#!/bin/sh
node=$1
shift
if [ -f %(root)s/$node.wtmp ]; then
    setup="mount --bind %(root)s/$node.wtmp /var/log/wtmp"
else
    setup="mount -t tmpfs tmpfs /var/log"
fi
exec %(namespace)s sh -c "$setup && PATH=%(bin)s:\\$PATH && exec \\"\\$@\\"" sh "$@"
""" % {"root": shlex.quote(root), "namespace": namespace, "bin": shlex.quote(bin_dir)})
        os.chmod(cls.enter, 0o755)
        lengths = {node: signed(real_last_test.expected_lengths(records))
                   for node, records in cls.records.items()}
        cls.node_means = {node: harness.truncated_mean(values)
                          for node, values in lengths.items() if values}
        cls.node_boots = {node: len(values) for node, values in lengths.items() if values}
        every = [length for values in lengths.values() for length in values]
        cls.fleet_mean = harness.truncated_mean(every)
        cls.fleet_boots = len(every)

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def engine(self, argv):
        return subprocess.run(argv, capture_output=True, text=True, timeout=300, check=False)

    def remote(self, *args):
        return [self.enter, "%h", "mean-reboot-interval"] + list(args)

    def fleet_answer(self, gathered, awk):
        return subprocess.run([awk, "-f", FLEET_SCRIPT], input=gathered, capture_output=True,
                              text=True, check=True).stdout

    def check_grouped(self, out, err, status):
        self.assertEqual(status, 255, err)
        self.assertIn(FAILING, err)
        self.assertIn("Unable to read history from '/usr/bin/last reboot' (exit status 1)",
                      out + err)
        for node, mean in self.node_means.items():
            self.assertIn(harness.summary_line(mean).rstrip("\n"), out, node)
        self.assertNotIn(SILENT, out)

    def check_fleet_answer(self, gathered):
        answers = [self.fleet_answer(gathered, awk) for awk in ("mawk", "gawk")]
        self.assertEqual(answers[0], answers[1])
        lines = answers[0].splitlines()
        expected_nodes = sorted(self.node_boots, key=lambda n: (-self.node_boots[n], n))
        self.assertEqual([line.split(":")[0] for line in lines[:-2]], expected_nodes)
        for line in lines[:-2]:
            node = line.split(":")[0]
            mean = self.node_means[node]
            self.assertIn(" %d boots, mean %d minutes" % (self.node_boots[node], mean), line)
        self.assertEqual(lines[-2], "%d boots on %d nodes"
                         % (self.fleet_boots, len(self.node_boots)))
        self.assertEqual(lines[-1] + "\n", harness.summary_line(self.fleet_mean))

    def test_clush(self):
        result = self.engine(["clush", "-R", "exec", "-w", NODE_LIST, "-B", "-S"]
                             + self.remote())
        self.check_grouped(result.stdout, result.stderr, result.returncode)
        gathered = self.engine(["clush", "-R", "exec", "-w", NODE_LIST, "-L"]
                               + self.remote("-v"))
        self.check_fleet_answer(gathered.stdout)

    def test_pdsh(self):
        pdsh = ["pdsh", "-R", "exec", "-w", NODE_LIST, "-S"]
        grouped = subprocess.run(" ".join(shlex.quote(a) for a in pdsh + self.remote())
                                 + " | dshbak -c", shell=True, capture_output=True, text=True,
                                 timeout=300, check=False)
        self.assertEqual(grouped.returncode, 0)  # dshbak's status; pdsh's is below
        direct = self.engine(pdsh + self.remote())
        self.check_grouped(grouped.stdout, direct.stderr, direct.returncode)
        gathered = self.engine(["pdsh", "-R", "exec", "-w", NODE_LIST] + self.remote("-v"))
        self.check_fleet_answer(gathered.stdout)


if __name__ == "__main__":
    TOOL, MAKE_WTMP, FLEET_SCRIPT = (os.path.abspath(a) for a in sys.argv[1:4])
    del sys.argv[1:4]
    for program in ("clush", "pdsh", "dshbak", "mawk", "gawk"):
        if shutil.which(program) is None:
            print("FAIL: %s is missing; tools/install-prerequisites.sh installs it" % program)
            sys.exit(1)
    harness.require_namespaces()
    unittest.main(verbosity=2)
