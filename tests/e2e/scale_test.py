"""Bad input and long histories through the real, uninstrumented binary,
served by stand-ins that make their output on the fly."""

import os
import re
import subprocess
import sys
import tempfile
import unittest

import harness

TOOL = None
GENERATOR = None
PEAK_RSS = None


def generated(lines):
    # In the background, so that the tool's pclose() reaps only the shell and
    # the peak memory it reports is the tool's own, not the generator's.
    return harness.StandIn(script="#!/bin/sh\n%s %d &\n" % (GENERATOR, lines))


def expected_summary(lines):
    return subprocess.run([GENERATOR, str(lines), "--expected"], check=True,
                          capture_output=True).stdout


def python_stand_in(program):
    """A stand-in that runs a short Python program writing to the binary stdout `out`."""
    stand_in = harness.StandIn()
    source = os.path.join(stand_in.dir.name, "program.py")
    with open(source, "w", encoding="ascii") as handle:
        handle.write("import sys\nout = sys.stdout.buffer\n%s\n" % program)
    with open(stand_in.path, "w", encoding="ascii") as handle:
        handle.write("#!/bin/sh\nexec %s %s\n" % (sys.executable, source))
    return stand_in


class LongHistory(unittest.TestCase):
    def peak_rss(self, lines):
        stand_in = generated(lines)
        with tempfile.NamedTemporaryFile("r") as report:
            result = harness.run_isolated(
                [PEAK_RSS, report.name, TOOL],
                binds=stand_in.bind())
            stand_in.close()
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stderr, b"")
            self.assertEqual(result.stdout, expected_summary(lines))
            return int(report.read())

    def test_ten_million_lines_exact_mean_and_flat_memory(self):
        small = self.peak_rss(1000)
        large = self.peak_rss(10_000_000)
        print("peak RSS: %d KiB for 1,000 lines, %d KiB for 10,000,000" % (small, large))
        self.assertLessEqual(abs(large - small), small * 0.10)

    def heap_allocations(self, lines):
        stand_in = generated(lines)
        result = harness.run_isolated(["valgrind", "--error-exitcode=3", TOOL],
                                      binds=stand_in.bind())
        stand_in.close()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, expected_summary(lines))
        found = re.search(rb"total heap usage: ([\d,]+) allocs", result.stderr)
        self.assertIsNotNone(found, result.stderr)
        return int(found.group(1).replace(b",", b""))

    def test_heap_allocations_do_not_grow_with_the_history(self):
        small = self.heap_allocations(1000)
        large = self.heap_allocations(100_000)
        print("heap allocations: %d for 1,000 lines, %d for 100,000" % (small, large))
        self.assertEqual(small, large)


MEGABYTE = 1 << 20
SUMMARY = harness.SUMMARY.encode()


class HostileInput(unittest.TestCase):
    CASES = [
        # name, Python program writing the history, stdout, stderr
        ("lines of a megabyte",
         "[out.write(b'x' * %d + b' (1:00)\\n') for _ in range(3)]" % MEGABYTE,
         SUMMARY + b"60 minutes (0+1:0)\n", b""),
        ("ten megabytes without a line feed",
         "[out.write(b'ab(' * 85) for _ in range(41120)]; out.write(b'(2:00)')",
         SUMMARY + b"120 minutes (0+2:0)\n",
         b"Error reading from (\n" * 41120),
        ("NUL bytes end what the parser sees of a chunk",
         "out.write(b'(1:00\\0+junk)\\n\\0\\0\\0(\\n' * 100000)",
         SUMMARY + b"60 minutes (0+1:0)\n", b""),
        ("bytes 0x80 to 0xFF",
         "[out.write(bytes(range(128, 256)) + b'\\n(\\x80\\xff)\\n(3:00)\\n') for _ in range(1000)]",
         SUMMARY + b"180 minutes (0+3:0)\n", b"Error reading from (\x80\xff)\n\n" * 1000),
        ("nothing but opening parentheses",
         "out.write(b'(' * %d)" % MEGABYTE,
         b"", b"Error reading from (\n" * -(-MEGABYTE // 255)),
    ]

    def test_a_small_stack_is_enough(self):
        # The reader's 72 KiB of block and masks would not fit in this stack.
        stand_in = harness.StandIn(b"(1:00)\n" * 1000)
        result = harness.run_isolated([TOOL, "-v"], binds=stand_in.bind(), stack_kib=80)
        stand_in.close()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.endswith(SUMMARY + b"60 minutes (0+1:0)\n"))

    def test_hostile_histories(self):
        for name, program, out, err in self.CASES:
            with self.subTest(name):
                stand_in = python_stand_in(program)
                result = harness.run_isolated([TOOL], binds=stand_in.bind())
                stand_in.close()
                self.assertEqual(result.returncode, 0, result.stderr[-300:])
                self.assertEqual(result.stdout, out)
                self.assertTrue(result.stderr == err, result.stderr[-300:])


if __name__ == "__main__":
    TOOL, GENERATOR, PEAK_RSS = (os.path.abspath(a) for a in sys.argv[1:4])
    del sys.argv[1:4]
    harness.require_namespaces()
    unittest.main(verbosity=2)
