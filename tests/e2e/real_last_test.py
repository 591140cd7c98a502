"""The real binary reading the host's real `last` (util-linux's or wtmpdb's),
over histories written from chosen records and bound over the file that
`last` reads. Expected results come from the records' own times, not from
`last`'s text."""

import datetime
import os
import random
import sys
import tempfile
import unittest

import harness
import host_last

TOOL = None
MAKE_WTMP = None
SAMPLE = None
START = host_last.START
DAY = 86400


def read_list(path):
    records = []
    with open(path, encoding="ascii") as handle:
        for line in handle:
            fields = line.split()
            if fields and not fields[0].startswith("#"):
                when = datetime.datetime.strptime(fields[1] + " " + fields[2], "%Y-%m-%d %H:%M:%S")
                records.append((fields[0], when))
    return records


class History:
    """Records put where this host's `last` reads them."""

    def __init__(self, records):
        self.dir = tempfile.TemporaryDirectory(prefix="mri-history-")
        self.bind = host_last.write_history(records, self.dir.name, MAKE_WTMP)

    def run(self, args=("-v",)):
        return harness.run_isolated([TOOL] + list(args), binds=[self.bind],
                                    env=dict(os.environ, TZ="UTC"))

    def close(self):
        self.dir.cleanup()


def boots(rng, count, shape):
    """count boots, one after another; shape(rng) gives (length in seconds,
    whether it ended with a shutdown record)."""
    records = []
    when = START
    for _ in range(count):
        records.append(("boot", when))
        length, clean = shape(rng)
        if clean:
            records.append(("shutdown", when + datetime.timedelta(seconds=length)))
        when += datetime.timedelta(seconds=max(length, 0) + rng.randint(60, 300))
    return records


def clean(rng):
    # Minutes to months, with stray seconds that `last` truncates.
    return rng.choice([rng.randint(60, 3600), rng.randint(3600, DAY),
                       rng.randint(DAY, 120 * DAY)]) + rng.randint(0, 59), True


def with_crashes(rng):
    length, _ = clean(rng)
    return length, rng.random() > 0.3


def clock_went_back(rng):
    if rng.random() < 0.4:
        return -rng.choice([30, 90, 59 * 60, 90 * 60, 25 * 3600 + 17, 3 * DAY]), True
    return clean(rng)


class RealLast(unittest.TestCase):
    def check(self, records):
        history = History(records)
        try:
            result = history.run()
        finally:
            history.close()
        expected = host_last.expected(records)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.decode(), host_last.expected_output(expected))
        host_last.check_error_output(self, result.stderr, expected)
        return expected

    def test_generated_histories(self):
        rng = random.Random(2026)
        seen = host_last.Expected()
        for shape in (clean, with_crashes, clock_went_back):
            for count in (1, 2, 7, 40):
                with self.subTest(shape=shape.__name__, boots=count):
                    expected = self.check(boots(rng, count, shape))
                    seen.unreadable += expected.unreadable
                    seen.crashed += expected.crashed
        # The histories must reach what they are for on this host's `last`.
        self.assertGreater(seen.unreadable, 0)
        if host_last.flavour() == "wtmpdb":
            self.assertGreater(seen.crashed, 0)

    def test_the_bundled_sample(self):
        self.check(read_list(SAMPLE))

    def test_a_boot_still_running_has_no_duration(self):
        self.check([("boot", START)])

    def test_empty_history(self):
        history = History([])
        result = history.run()
        history.close()
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))

    def test_no_history_file(self):
        # With an empty /var/log, `last` cannot open its file and exits 1;
        # the same holds when the caller left SIGCHLD ignored.
        for parent in [[], ["env", "--ignore-signal=CHLD"]]:
            with self.subTest(parent=parent):
                result = harness.run_isolated(parent + [TOOL], tmpfs=["/var/log"])
                self.assertEqual(result.returncode, 255)
                self.assertEqual(result.stdout, b"")
                self.assertTrue(result.stderr.endswith(
                    b"Unable to read history from '/usr/bin/last reboot' (exit status 1)\n"),
                    result.stderr)


if __name__ == "__main__":
    TOOL, MAKE_WTMP, SAMPLE = (os.path.abspath(a) for a in sys.argv[1:4])
    del sys.argv[1:4]
    harness.require_namespaces()
    unittest.main(verbosity=2)
