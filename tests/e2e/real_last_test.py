"""The real binary reading real `last`s over histories written from chosen
records and bound over the file that each reads: the host's own
(util-linux's or wtmpdb's) and, where the build made one, util-linux's
built from its source (2.40 and later). Expected results come from the
records' own times, not from `last`'s text, and every `last` must give the
same."""

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
BUILT_LAST = None
START = host_last.START
DAY = 86400


class Last:
    """A `last` to read histories through: the host's own, or a binary
    bound over /usr/bin/last that reads a wtmp file as util-linux's does."""

    def __init__(self, name, flavour, binary=None):
        self.name, self.flavour, self.binary = name, flavour, binary


def lasts():
    found = [Last("the host's " + host_last.flavour(), host_last.flavour())]
    if BUILT_LAST:
        found.append(Last("util-linux built from source", "util-linux", BUILT_LAST))
    return found


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
    """Records put where a `last` reads them."""

    def __init__(self, records, last):
        self.dir = tempfile.TemporaryDirectory(prefix="mri-history-")
        self.binds = [host_last.write_history(records, self.dir.name, MAKE_WTMP,
                                              wtmp_flavour=last.flavour)]
        if last.binary:
            self.binds.append((last.binary, harness.HISTORY_COMMAND))

    def run(self, args=("-v",)):
        # The caller's zone must not matter: the tool reads the history in UTC.
        return harness.run_isolated([TOOL] + list(args), binds=self.binds,
                                    env=dict(os.environ, TZ="America/New_York"))

    def close(self):
        self.dir.cleanup()


def boots(rng, count, shape):
    """count boots, one after another, the last a week ago at the latest;
    shape(rng) gives (length in seconds, whether it ended with a shutdown
    record)."""
    records = []
    when = START
    for _ in range(count):
        records.append(("boot", when))
        length, clean = shape(rng)
        if clean:
            records.append(("shutdown", when + datetime.timedelta(seconds=length)))
        when += datetime.timedelta(seconds=max(length, 0) + rng.randint(60, 300))
    # Boots to come could not be placed in time.
    latest = datetime.datetime.utcnow() - datetime.timedelta(days=7)
    shift = max(datetime.timedelta(0), records[-1][1] - latest)
    return [(kind, at - shift) for kind, at in records]


def at(text):
    return datetime.datetime.strptime(text, "%Y-%m-%d %H:%M:%S")


def timeline(*steps):
    """Records from (kind, "YYYY-mm-dd HH:MM:SS") pairs."""
    return [(kind, at(when)) for kind, when in steps]


# Histories that every `last` must read alike: name and records, oldest first.
SHARED = [
    ("clean boots only", timeline(
        ("boot", "2025-03-01 08:00:10"), ("shutdown", "2025-03-09 10:00:50"),
        ("boot", "2025-03-09 10:02:30"), ("shutdown", "2025-03-09 11:00:00"),
        ("boot", "2025-03-09 11:01:59"), ("shutdown", "2025-04-20 07:30:00"),
        ("boot", "2025-04-20 07:31:00"))),
    ("three crashes in three weeks", timeline(
        ("boot", "2025-01-01 08:00:00"), ("shutdown", "2025-01-11 08:00:00"),
        ("boot", "2025-01-11 08:05:00"), ("boot", "2025-01-12 08:05:00"),
        ("boot", "2025-01-13 08:05:00"), ("shutdown", "2025-01-23 08:00:00"),
        ("boot", "2025-01-23 08:05:00"), ("boot", "2025-01-24 10:00:00"))),
    ("a crash just below the running boot", timeline(
        ("boot", "2025-05-01 09:00:00"), ("shutdown", "2025-05-20 09:00:00"),
        ("boot", "2025-05-20 09:02:00"), ("boot", "2025-06-02 14:47:31"))),
    ("a crash, a short downtime, then clean boots", timeline(
        ("boot", "2025-06-01 00:00:00"), ("boot", "2025-06-04 12:00:45"),
        ("shutdown", "2025-06-06 12:00:00"), ("boot", "2025-06-06 12:03:00"),
        ("shutdown", "2025-07-01 00:00:00"), ("boot", "2025-07-01 00:01:00"))),
    ("across New Year", timeline(
        ("boot", "2024-12-20 10:00:00"), ("shutdown", "2024-12-31 23:50:00"),
        ("boot", "2024-12-31 23:55:00"), ("boot", "2025-01-01 00:10:00"),
        ("shutdown", "2025-01-05 00:00:00"), ("boot", "2025-01-05 00:02:00"))),
    ("across 29 February 2024", timeline(
        ("boot", "2024-02-27 22:00:00"), ("boot", "2024-02-29 23:59:00"),
        ("shutdown", "2024-03-01 00:30:00"), ("boot", "2024-03-01 00:35:00"),
        ("shutdown", "2024-03-04 00:00:00"), ("boot", "2024-03-04 00:01:00"))),
    ("two boots in one minute", timeline(
        ("boot", "2025-08-01 10:00:05"), ("boot", "2025-08-01 10:00:50"),
        ("shutdown", "2025-08-02 10:00:00"), ("boot", "2025-08-02 10:01:00"))),
    ("a clock that went back during a boot", timeline(
        ("boot", "2025-09-01 10:00:00"), ("shutdown", "2025-09-02 10:00:00"),
        ("boot", "2025-09-02 10:30:00"), ("shutdown", "2025-09-02 09:00:00"),
        ("boot", "2025-09-02 10:45:00"), ("boot", "2025-09-05 10:45:00"))),
    ("a boot over a year long", timeline(
        ("boot", "2023-01-10 10:00:00"), ("shutdown", "2024-03-01 00:00:00"),
        ("boot", "2024-03-01 00:10:00"), ("boot", "2024-04-01 00:00:00"))),
]


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
    def check(self, records, last=None):
        last = last or lasts()[0]
        history = History(records, last)
        try:
            result = history.run()
        finally:
            history.close()
        expected = host_last.expected(records, last.flavour)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.decode(), host_last.expected_output(expected))
        host_last.check_error_output(self, result.stderr, expected)
        return expected, result

    def test_every_last_gives_the_records_own_answer(self):
        if os.environ.get("CI") == "true":
            self.assertIsNotNone(BUILT_LAST, "CI must read the histories through a second last")
        for name, records in SHARED + [("the bundled sample", read_list(SAMPLE))]:
            answers = {}
            for last in lasts():
                with self.subTest(name, last=last.name):
                    _, result = self.check(records, last)
                    # The error lines quote each `last`'s own text; the rest is the same.
                    answers[last.name] = (result.stdout, [
                        line for line in result.stderr.split(b"\n")
                        if not line.startswith(b"Error reading from")])
            with self.subTest(name, every_last=sorted(answers)):
                self.assertEqual(len(set(map(repr, answers.values()))), 1, answers)

    def test_generated_histories(self):
        rng = random.Random(2026)
        seen = host_last.Expected()
        for shape in (clean, with_crashes, clock_went_back):
            for count in (1, 2, 7, 40):
                with self.subTest(shape=shape.__name__, boots=count):
                    expected, _ = self.check(boots(rng, count, shape))
                    seen.unreadable += expected.unreadable
                    seen.counted_to_next += expected.counted_to_next
        # The histories must reach what they are for.
        self.assertGreater(seen.unreadable, 0)
        self.assertGreater(seen.counted_to_next, 0)

    def test_a_boot_still_running_has_no_duration(self):
        self.check([("boot", START)])

    def test_empty_history(self):
        history = History([], lasts()[0])
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
    BUILT_LAST = os.path.abspath(sys.argv[4]) if len(sys.argv) > 4 and sys.argv[4] else None
    del sys.argv[1:5]
    harness.require_namespaces()
    unittest.main(verbosity=2)
