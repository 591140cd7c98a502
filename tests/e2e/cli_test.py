"""The real binary end to end, with a stand-in history command: the command
line, the exact output and the exit statuses."""

import os
import pty
import select
import signal
import subprocess
import sys
import time
import unittest

import harness

TOOL = None
SHIM = None
# Set where the tool is cross-built and started through an emulator: the
# emulator's own descriptors and the shell that starts it are then part of
# the process, which two tests below need to be the tool alone.
EMULATED = bool(os.environ.get("MRI_TEST_EMULATED"))
USAGE = " [-v|--verbose] calculate mean time between node reboots\n"


def boot(start, end):
    """A boot line as util-linux writes it, started at start ("Thu Aug 20 09:37")."""
    return b"reboot   system boot  6.1.0-18-amd64   " + start + end + b"\n"


RUNNING = boot(b"Thu Aug 20 09:37", b"   still running")
SHORT = boot(b"Mon Aug 17 09:00", b" - 09:05  (00:05)")
FINISHED = boot(b"Tue Aug 18 08:00", b" - 10:03 (1+02:03)") + SHORT
HISTORY = RUNNING + FINISHED + b"\nwtmp begins Mon Jan  6 08:02:11 2025\n"
SUMMARY = harness.SUMMARY.encode() + b"784 minutes (0+13:4)\n"
EXPECTED_VERBOSE = b"1+2:3\n0+0:5\n\n" + SUMMARY
FAILED = b"Unable to read history from '/usr/bin/last reboot' (%s)\n"


def run(args, stand_in, wrapper=(), **options):
    return harness.run_isolated(list(wrapper) + [TOOL] + args, binds=stand_in.bind(), **options)


class CommandLine(unittest.TestCase):
    def setUp(self):
        self.stand_in = harness.StandIn(HISTORY)

    def tearDown(self):
        self.stand_in.close()

    def test_accepted(self):
        for args, out in [([], SUMMARY), (["-v"], EXPECTED_VERBOSE),
                          (["--verbose"], EXPECTED_VERBOSE)]:
            with self.subTest(args=args):
                result = run(args, self.stand_in)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (0, out, b""))

    def test_rejected_without_starting_the_history(self):
        for args in [["-V"], ["-vv"], ["--verb"], ["--VERBOSE"], ["-h"], ["--help"],
                     ["verbose"], [""], ["-v", "-v"], ["-v", "x"], ["--verbose", "--verbose"]]:
            with self.subTest(args=args):
                result = run(args, self.stand_in)
                self.assertEqual(result.returncode, 254)
                self.assertEqual(result.stdout, b"")
                self.assertEqual(result.stderr, ("Usage:\n\t%s%s" % (TOOL, USAGE)).encode())
                self.assertFalse(self.stand_in.started())

    def test_usage_shows_the_name_as_invoked(self):
        directory, name = os.path.split(TOOL)
        result = harness.run_isolated(["./" + name, "--help"], binds=self.stand_in.bind(),
                                      cwd=directory)
        self.assertEqual(result.returncode, 254)
        self.assertEqual(result.stderr, ("Usage:\n\t./%s%s" % (name, USAGE)).encode())


class HistoryStatus(unittest.TestCase):
    """How the history command's own end shapes the run."""

    CASES = [
        # name, fixture, stand-in exit status, what it does last, status, stdout, stderr
        # Part of a history is no history: no mean, whatever came before.
        ("durations then failure", HISTORY, 3, "", 255, b"", FAILED % b"exit status 3"),
        ("success without durations: nothing", b"wtmp begins\n", 0, "", 0, b"", b""),
        ("failure without durations", b"", 1, "", 255, b"",
         b"Unable to read history from '/usr/bin/last reboot' (exit status 1)\n"),
        ("unreadable lines only, then failure", b"(abc)\n", 2, "", 255, b"",
         b"Error reading from (abc)\n\n"
         b"Unable to read history from '/usr/bin/last reboot' (exit status 2)\n"),
        ("killed itself: the shell reports 128+N", b"", 0, "kill -KILL $$", 255, b"",
         b"Killed\nUnable to read history from '/usr/bin/last reboot' (exit status 137)\n"),
        ("its shell killed by a signal", b"", 0, "kill -TERM $PPID", 255, b"",
         b"Unable to read history from '/usr/bin/last reboot' (signal 15)\n"),
        ("its shell killed after durations", HISTORY, 0, "kill -TERM $PPID", 255, b"",
         FAILED % b"signal 15"),
        ("killed itself after two boots", HISTORY, 0, "kill -9 $$", 255, b"",
         b"Killed\n" + FAILED % b"exit status 137"),
    ]

    def test_statuses(self):
        for name, fixture, status, after, code, out, err in self.CASES:
            with self.subTest(name):
                stand_in = harness.StandIn(fixture, status, after)
                result = run([], stand_in)
                stand_in.close()
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (code, out, err))

    def test_commands_the_shell_cannot_run(self):
        cases = [("#!/nonexistent/interpreter\n", 0o755, 127),
                 ("#!/bin/sh\necho '(1:00)'\n", 0o644, 126)]
        for script, mode, status in cases:
            with self.subTest(status=status):
                stand_in = harness.StandIn(script=script)
                os.chmod(stand_in.path, mode)
                result = run([], stand_in)
                stand_in.close()
                self.assertEqual(result.returncode, 255)
                self.assertEqual(result.stdout, b"")
                self.assertTrue(result.stderr.endswith(
                    b"Unable to read history from '/usr/bin/last reboot' (exit status %d)\n"
                    % status), result.stderr)

    def test_sigchld_left_ignored_by_the_caller(self):
        # An ignored SIGCHLD would let the kernel reap the command and hide
        # its status; the tool restores the default before starting it.
        parents = [["env", "--ignore-signal=CHLD"],
                   ["python3", "-c", "import os, signal, sys; "
                    "signal.signal(signal.SIGCHLD, signal.SIG_IGN); os.execvp(sys.argv[1], "
                    "sys.argv[1:])"]]
        cases = [(b"", 1, 255, b"",
                  b"Unable to read history from '/usr/bin/last reboot' (exit status 1)\n"),
                 (HISTORY, 3, 255, b"", FAILED % b"exit status 3"),
                 (HISTORY, 0, 0, SUMMARY, b""),
                 (b"wtmp begins\n", 0, 0, b"", b"")]
        for parent in parents:
            for fixture, status, code, out, err in cases:
                with self.subTest(parent=parent[0], status=status):
                    stand_in = harness.StandIn(fixture, status)
                    result = harness.run_isolated(parent + [TOOL], binds=stand_in.bind())
                    stand_in.close()
                    self.assertEqual((result.returncode, result.stdout, result.stderr),
                                     (code, out, err))

    def test_the_history_is_read_in_utc_with_english_names(self):
        # The caller's zone and locale do not reach the command.
        stand_in = harness.StandIn(script='#!/bin/sh\necho "($TZ $LC_ALL)"\n')
        result = run([], stand_in, env=dict(os.environ, TZ="Europe/Berlin", LC_ALL="de_DE.UTF-8"))
        stand_in.close()
        self.assertEqual(result.stderr, b"Error reading from (UTC0 C)\n\n")

    @unittest.skipIf(EMULATED, "the emulator takes descriptors of its own")
    def test_start_failure(self):
        # Four descriptors leave the loader its one and no room for a pipe.
        stand_in = harness.StandIn(HISTORY)
        result = run(["-v"], stand_in, nofile=4)
        self.assertFalse(stand_in.started())
        stand_in.close()
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (255, b"", b"Unable to invoke '/usr/sbin/last'\n"))

    @unittest.skipIf(EMULATED, "the filter would be the emulator's")
    def test_clone3_refused(self):
        # glibc starts popen()'s child with clone3 and takes clone only on
        # ENOSYS; older container seccomp profiles answer EPERM. Either way
        # the history is read, and a start that truly fails still says so.
        for error in ("EPERM", "ENOSYS"):
            with self.subTest(error=error):
                stand_in = harness.StandIn(HISTORY)
                result = run(["-v"], stand_in, wrapper=[CLONE3_REFUSED, error])
                stand_in.close()
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (0, EXPECTED_VERBOSE, b""))
                stand_in = harness.StandIn(HISTORY)
                result = run(["-v"], stand_in, wrapper=[CLONE3_REFUSED, error], nofile=4)
                self.assertFalse(stand_in.started())
                stand_in.close()
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (255, b"", b"Unable to invoke '/usr/sbin/last'\n"))


class ImpossibleDurations(unittest.TestCase):
    def test_a_clock_that_went_back_is_unreadable(self):
        # A boot stamped a year ahead and corrected during the boot.
        stand_in = harness.StandIn(
            boot(b"Mon Aug 10 10:00", b" - 10:00 (-335+00:00)")
            + boot(b"Sat Aug  8 10:00", b" - 08:30  (-01:30)")
            + boot(b"Thu Aug  6 10:00", b" - 10:00 (1+00:00)")
            + boot(b"Tue Aug  4 10:00", b" - 09:59  (-00:00)"))
        result = run(["-v"], stand_in)
        stand_in.close()
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout, b"1+0:0\n0+0:0\n\n" + harness.SUMMARY.encode()
                         + b"720 minutes (0+12:0)\n")
        self.assertEqual(result.stderr, b"Error reading from (-335+00:00)\n\n"
                                        b"Error reading from (-01:30)\n\n")

    def test_longer_than_a_century_is_unreadable(self):
        # What Debian 13's last writes for a boot whose clock went back.
        # A century fits before no next boot's start: it is the newest here.
        century = boot(b"Mon Dec  1 10:00", b" - 10:00 (36525+00:00)")
        wrapped = (b"reboot   system boot  6.12.38+deb13- Sun Nov 30 10:00 - 09:58 "
                   b"(213503982+06:31)\n")
        stand_in = harness.StandIn(century + wrapped + boot(b"Sat Nov 29 10:00", b" - 10:00  (00:00)"))
        result = run(["-v"], stand_in)
        stand_in.close()
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout, b"36525+0:0\n0+0:0\n\n" + harness.SUMMARY.encode()
                         + b"26298000 minutes (18262+12:0)\n")
        self.assertEqual(result.stderr, b"Error reading from (213503982+06:31)\n\n")


class CrashedBoots(unittest.TestCase):
    CRASH = b"reboot   system boot  6.12.48+deb13-amd64 Wed Aug 19 12:00 - crash \n"
    COUNTED = b"Crashed boots counted to the next boot: %d\n"
    UNCOUNTED = b"Crashed boots with no duration, not counted: %d\n"

    def test_counted_to_the_next_boot_or_noted(self):
        cases = [
            ("no boot above: its end is unknown", self.CRASH, b"", self.UNCOUNTED % 1),
            ("a boot above: counted to its start", RUNNING + self.CRASH + FINISHED,
             b"0+21:37\n1+2:3\n0+0:5\n\n" + harness.SUMMARY.encode()
             + b"955 minutes (0+15:55)\n", self.COUNTED % 1),
            ("still running below a newer boot", RUNNING + boot(b"Wed Aug 19 12:00",
                                                                b"   still running"),
             b"0+21:37\n\n" + harness.SUMMARY.encode() + b"1297 minutes (0+21:37)\n",
             self.COUNTED % 1),
            # A crash that has its length, with no boot above, is an ordinary boot.
            # util-linux 2.40 and later measure it to the next boot's start.
            ("a crash with a length and no boot above",
             boot(b"Tue Aug 18 08:00", b" - crash (1+02:03)") + SHORT,
             b"1+2:3\n0+0:5\n\n" + SUMMARY, self.COUNTED % 1),
            ("both notes", RUNNING + self.CRASH + b"x\n" + self.CRASH,
             b"0+21:37\n\n" + harness.SUMMARY.encode() + b"1297 minutes (0+21:37)\n",
             self.COUNTED % 1 + self.UNCOUNTED % 1),
        ]
        for name, history, out, err in cases:
            with self.subTest(name):
                stand_in = harness.StandIn(history)
                result = run(["-v"], stand_in)
                stand_in.close()
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (0, out, err))


class ReadFailure(unittest.TestCase):
    @unittest.skipIf(EMULATED, "the preloaded shim would reach the emulator's native shell")
    def test_a_failed_read_is_no_mean(self):
        """Whatever was counted before it, a read error ends the run with 255."""
        stand_in = harness.StandIn(b"(1+00:00)\n(2+00:00)\n(3:00)\n")
        for budget, out in [(19, b"1+0:0\n"), (0, b"")]:
            with self.subTest(budget=budget):
                result = harness.run_isolated(
                    ["env", "LD_PRELOAD=" + SHIM, "MRI_READ_BUDGET=%d" % budget, TOOL, "-v"],
                    binds=stand_in.bind())
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (255, out, b"Unable to read history from '/usr/bin/last reboot': "
                                            b"Input/output error\n"))
        stand_in.close()


class Promptness(unittest.TestCase):
    def test_listing_reaches_a_terminal_line_by_line(self):
        """A slow history's first line is listed before its second arrives."""
        stand_in = harness.StandIn(script="#!/bin/sh\necho 'boot (1:00)'\nsleep 3\n"
                                          "echo 'boot (2:00)'\n")
        controller, terminal = pty.openpty()
        command = harness.namespace_command() + [
            "sh", "-c", 'mount --bind "$1" /usr/bin/last && exec "$2" -v', "sh",
            stand_in.path, TOOL]
        start = time.monotonic()
        process = subprocess.Popen(command, stdout=terminal, stderr=subprocess.PIPE)
        os.close(terminal)
        seen = b""
        first_at = None
        while True:
            ready, _, _ = select.select([controller], [], [], 10)
            if not ready:
                break
            try:
                piece = os.read(controller, 4096)
            except OSError:  # the terminal closed with the process
                break
            if not piece:
                break
            seen += piece
            if first_at is None and b"0+1:0" in seen:
                first_at = time.monotonic() - start
        process.wait()
        os.close(controller)
        stand_in.close()
        self.assertEqual(process.returncode, 0)
        self.assertIn(b"0+2:0", seen)
        self.assertIsNotNone(first_at, seen)
        self.assertLess(first_at, 1.0)


class OutputFailure(unittest.TestCase):
    def setUp(self):
        self.stand_in = harness.StandIn(RUNNING + FINISHED * 200)

    def tearDown(self):
        self.stand_in.close()

    def test_full_device(self):
        for args in [[], ["-v"]]:
            with self.subTest(args=args), open("/dev/full", "wb") as full:
                result = run(args, self.stand_in, stdout=full)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stderr,
                                 b"Unable to write to standard output: No space left on device\n")

    def test_nothing_to_write_is_no_failure(self):
        stand_in = harness.StandIn(b"wtmp begins\n")
        with open("/dev/full", "wb") as full:
            result = run([], stand_in, stdout=full)
        stand_in.close()
        self.assertEqual((result.returncode, result.stderr), (0, b""))

    def closed_pipe_run(self, argv):
        reader, writer = os.pipe()
        os.close(reader)
        try:
            return harness.run_isolated(argv, binds=self.stand_in.bind(), stdout=writer)
        finally:
            os.close(writer)

    def test_closed_reader_ends_by_sigpipe(self):
        result = self.closed_pipe_run([TOOL, "-v"])
        self.assertEqual(result.returncode, -signal.SIGPIPE)

    def test_closed_reader_with_sigpipe_ignored(self):
        result = self.closed_pipe_run(["env", "--ignore-signal=PIPE", TOOL, "-v"])
        self.assertEqual((result.returncode, result.stderr),
                         (1, b"Unable to write to standard output: Broken pipe\n"))


if __name__ == "__main__":
    TOOL, SHIM, CLONE3_REFUSED = (os.path.abspath(a) for a in sys.argv[1:4])
    del sys.argv[1:4]
    harness.require_namespaces()
    unittest.main(verbosity=2)
