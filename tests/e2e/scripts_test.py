"""The collector and the plugin as scripts, with a stand-in for the tool on
the PATH: they find fleet-mean.awk where it is installed, fail loudly when
a stage fails, and never leave a half-written file; and fleet-mean.awk
reads past clush's progress meter."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SCRIPTS = None  # the collector and the plugin as built
FLEET_SCRIPT = None
DAY = 1440


class Scripts(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="mri-scripts-")
        self.bin = os.path.join(self.dir.name, "bin")
        os.mkdir(self.bin)

    def tearDown(self):
        self.dir.cleanup()

    def tool(self, out="", err="", status=0):
        """A mean-reboot-interval that prints out and err and exits with status."""
        path = os.path.join(self.bin, "mean-reboot-interval")
        for name, text in (("out", out), ("err", err)):
            with open(os.path.join(self.dir.name, name), "w", encoding="ascii") as handle:
                handle.write(text)
        with open(path, "w", encoding="ascii") as handle:
            handle.write("#!/bin/sh\ncat %s/out\ncat %s/err >&2\nexit %d\n"
                         % (self.dir.name, self.dir.name, status))
        os.chmod(path, 0o755)

    def run_script(self, script, *args, path=None):
        env = dict(os.environ, PATH=self.bin + ":/usr/bin:/bin")
        return subprocess.run([path or os.path.join(SCRIPTS, script)] + list(args),
                              capture_output=True, text=True, env=env, check=False)

    def linked(self, script):
        """The script through a link in a folder of its own, as from /usr/local/bin."""
        link = os.path.join(self.dir.name, "elsewhere", script)
        os.makedirs(os.path.dirname(link), exist_ok=True)
        os.symlink(os.path.join(SCRIPTS, script), link)
        return link

    def without_reader(self, script):
        """A copy whose fleet-mean.awk is missing."""
        copy = os.path.join(self.dir.name, "copy-" + script)
        with open(os.path.join(SCRIPTS, script), encoding="utf-8") as handle:
            text = handle.read().replace(FLEET_SCRIPT, "/nonexistent/fleet-mean.awk")
        with open(copy, "w", encoding="utf-8") as handle:
            handle.write(text)
        os.chmod(copy, 0o755)
        return copy

    def test_collector_through_a_link_elsewhere(self):
        self.tool("1+0:0\n0+12:0\n\n* Mean\n", "Crashed boots counted to the next boot: 1\n")
        result = self.run_script(None, path=self.linked("prometheus-textfile"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("mean_reboot_interval_boot_duration_seconds_sum 129600\n", result.stdout)
        self.assertIn("mean_reboot_interval_crashed_boots 1\n", result.stdout)

    def test_plugin_through_a_link_elsewhere(self):
        self.tool("7+0:0\n")
        result = self.run_script(None, "-w", "1:", path=self.linked("check_reboot_interval"))
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertTrue(result.stdout.startswith("REBOOT INTERVAL OK - mean 7d 0h 0m"))

    def test_a_failed_stage_fails_loudly(self):
        cases = [("the tool ends otherwise", dict(status=1, err="boom\n"), None, "status 1"),
                 ("the tool is missing", None, None, "not installed"),
                 ("fleet-mean.awk is missing", dict(out="1+0:0\n"), "reader", "cannot read")]
        for name, tool, broken, reason in cases:
            with self.subTest(name):
                if tool is not None:
                    self.tool(**tool)
                elif os.path.exists(os.path.join(self.bin, "mean-reboot-interval")):
                    os.unlink(os.path.join(self.bin, "mean-reboot-interval"))
                for script in ("prometheus-textfile", "check_reboot_interval"):
                    path = self.without_reader(script) if broken else None
                    result = self.run_script(script, path=path)
                    if script == "prometheus-textfile":
                        self.assertEqual(result.returncode, 1, result)
                        self.assertEqual(result.stdout, "")
                        self.assertIn(reason, result.stderr)
                    else:
                        self.assertEqual(result.returncode, 3, result)
                        self.assertTrue(result.stdout.startswith("REBOOT INTERVAL UNKNOWN - "))
                        self.assertIn(reason, result.stdout)

    def test_an_unreadable_history_is_a_reading_with_its_reason(self):
        reason = "Unable to read history from '/usr/bin/last reboot' (exit status 1)"
        self.tool(err="last: cannot open /var/log/wtmp\n" + reason + "\n", status=255)
        result = self.run_script("prometheus-textfile")
        self.assertEqual(result.returncode, 0)
        self.assertTrue(result.stdout.endswith("mean_reboot_interval_history_readable 0\n"))
        self.assertIn(reason, result.stderr)
        result = self.run_script("check_reboot_interval")
        self.assertEqual((result.returncode, result.stdout),
                         (3, "REBOOT INTERVAL UNKNOWN - history unreadable: %s\n" % reason))

    def test_a_failing_collector_leaves_the_old_file_alone(self):
        folder = os.path.join(self.dir.name, "textfile")
        os.mkdir(folder)
        output = os.path.join(folder, "mean_reboot_interval.prom")
        with open(output, "w", encoding="ascii") as handle:
            handle.write("old\n")
        self.tool("1+0:0\n", status=2)
        result = self.run_script("prometheus-textfile", "--output", output)
        self.assertEqual(result.returncode, 1)
        with open(output, encoding="ascii") as handle:
            self.assertEqual(handle.read(), "old\n")
        self.assertEqual(os.listdir(folder), ["mean_reboot_interval.prom"])
        # A good run replaces it whole, readable to node_exporter.
        self.tool("1+0:0\n")
        self.assertEqual(self.run_script("prometheus-textfile", "--output", output).returncode, 0)
        self.assertEqual(os.stat(output).st_mode & 0o777, 0o644)
        self.assertEqual(os.listdir(folder), ["mean_reboot_interval.prom"])

    def test_plugin_ranges(self):
        # warning, critical, mean in days, expected status
        cases = [("@5:10", "", 7, 1), ("@5:10", "", 12, 0), ("7:", "1:", 3, 1),
                 ("7:", "1:", 0.5, 2), ("~:30", "", 31, 1), ("10", "", 11, 1), ("10", "", 9, 0)]
        for warning, critical, days, status in cases:
            with self.subTest(warning=warning, critical=critical, days=days):
                minutes = int(days * DAY)
                self.tool("%d+%d:%d\n" % (minutes // DAY, minutes % DAY // 60, minutes % 60))
                args = ["-w", warning] + (["-c", critical] if critical else [])
                result = self.run_script("check_reboot_interval", *args)
                self.assertEqual(result.returncode, status, result.stdout)


class FleetScript(unittest.TestCase):
    def test_reads_past_clushs_progress_meter(self):
        # clush draws "clush: N/M" and a carriage return on standard error;
        # with 2>&1 a node's first line follows it on the same line.
        listing = ("clush: 0/2\rclush: 1/2\rnode01: 1+0:0\nnode02: 0+12:0\n"
                   "node01: 2+0:0\nclush: 2/2\rnode02: Crashed boots counted to the next boot: 1\n")
        result = subprocess.run(["awk", "-f", FLEET_SCRIPT], input=listing, capture_output=True,
                                text=True, check=True)
        self.assertEqual(result.stdout.splitlines(), [
            "node01: 2 boots, mean 2160 minutes (1+12:0)",
            "node02: 1 boot, mean 720 minutes (0+12:0)",
            "1 crashed boot on 1 node counted to the next boot's start",
            "3 boots on 2 nodes",
            "* Mean time between reboots:\t\t1680 minutes (1+4:0)"])


if __name__ == "__main__":
    SCRIPTS, FLEET_SCRIPT = (os.path.abspath(a) for a in sys.argv[1:3])
    del sys.argv[1:3]
    if shutil.which("awk") is None:
        print("FAIL: awk is missing")
        sys.exit(1)
    unittest.main(verbosity=2)
