"""The real binary reading real `last`s over histories written from chosen
records and bound over the file that each reads: the host's own
(util-linux's or wtmpdb's) and those the build made from their sources:
util-linux's (2.40 and later) and sysvinit's (2.88 and 3.x). Expected
results come from the records' own times, not from `last`'s text, and every
`last` must give the same. sysvinit's output, captured in fixtures, is
replayed where its sources were not at hand."""

import datetime
import os
import random
import sys
import re
import tempfile
import time
import unittest

import harness
import host_last

TOOL = None
MAKE_WTMP = None
SAMPLE = None
BUILT_LASTS = []
START = host_last.START
DAY = 86400
YEAR = 365 * DAY
SYSVINIT_FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures",
                                 "sysvinit")


class Last:
    """A `last` to read histories through: the host's own, or a binary
    bound over /usr/bin/last that reads a wtmp file as util-linux's does."""

    def __init__(self, name, flavour, binary=None):
        self.name, self.flavour, self.binary = name, flavour, binary


def lasts():
    """The host's own, then each built one: util-linux's and sysvinit's read
    wtmp alike."""
    found = [Last("the host's " + host_last.flavour(), host_last.flavour())]
    for name, binary in BUILT_LASTS:
        found.append(Last(name, "util-linux", binary))
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
    ("boots and downtimes over one, two and four years", timeline(
        ("boot", "2014-05-02 07:00:00"), ("shutdown", "2014-05-03 07:00:00"),
        ("boot", "2014-05-03 07:10:00"), ("shutdown", "2018-06-01 12:00:00"),
        ("boot", "2018-06-01 12:05:00"), ("shutdown", "2018-06-02 12:00:00"),
        ("boot", "2022-07-04 09:00:00"), ("shutdown", "2024-07-05 09:00:00"),
        ("boot", "2024-07-05 09:03:00"), ("shutdown", "2024-07-06 09:00:00"),
        ("boot", "2025-08-01 08:00:00"), ("boot", "2025-08-03 08:00:00"),
        ("shutdown", "2026-09-03 08:00:00"), ("boot", "2026-09-03 08:02:00"))),
    ("a crash over a year long just below the running boot", timeline(
        ("boot", "2025-10-29 20:45:00"), ("boot", "2026-12-03 23:45:00"))),
    ("a crash over a year long below a clean boot", timeline(
        ("boot", "2025-10-09 10:00:00"), ("boot", "2026-11-23 10:00:00"),
        ("shutdown", "2026-12-01 10:00:00"), ("boot", "2026-12-03 10:00:00"))),
    ("a crash below a boot over a year long", timeline(
        ("boot", "2025-04-18 15:39:00"), ("boot", "2025-04-19 09:59:00"),
        ("shutdown", "2026-07-07 09:30:00"), ("boot", "2026-07-07 09:33:00"))),
    ("a crash, then a boot shut down within a minute", timeline(
        ("boot", "2026-11-10 10:00:00"), ("shutdown", "2026-11-12 10:00:00"),
        ("boot", "2026-11-23 23:46:30"), ("boot", "2026-11-26 23:46:10"),
        ("shutdown", "2026-11-26 23:47:20"), ("boot", "2026-12-03 23:45:00"))),
    ("a clean boot a minute short of the gap below a boot of a minute", timeline(
        ("boot", "2023-07-27 08:01:30"), ("shutdown", "2023-07-28 08:51:40"),
        ("boot", "2023-07-28 08:52:30"), ("shutdown", "2023-07-28 08:54:19"))),
]

# A clock set back by hours after a crash: the next boot's start looks
# earlier than the crashed one's, and no `last` can tell when the crash
# was. The crash is said, and not counted.
SET_BACK_AFTER_A_CRASH = timeline(
    ("boot", "2026-10-01 08:00:00"), ("shutdown", "2026-10-20 08:00:00"),
    ("boot", "2026-10-20 08:05:00"), ("boot", "2026-10-20 06:10:00"),
    ("shutdown", "2026-11-20 07:00:00"), ("boot", "2026-11-20 07:02:00"))
SET_BACK_HOURS = 3
# The same, by two years. Where `last` writes the crash's length, below
# zero, no year is made up; where it writes `still running` below the
# newer boot, the crash's start falls on its weekday six years before its
# own and is placed four years back: nothing in the line tells.
SET_BACK_YEARS_AFTER_A_CRASH = timeline(
    ("boot", "2026-03-09 08:00:00"), ("shutdown", "2026-03-09 10:00:00"),
    ("boot", "2026-03-10 10:55:00"), ("boot", "2024-03-10 07:00:00"))


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


def random_history(rng):
    """2 to 60 boots as operators' nodes have them, the newest still running:
    clean boots of a minute to three years, crashes (some within a minute
    of the next boot, some right below the running boot), downtimes of
    seconds to a year, New Year and 29 February; no clock set back, and no
    start four years or more before the next one."""
    when = datetime.datetime(2012, 1, 1) + datetime.timedelta(seconds=rng.randint(0, 3 * YEAR))
    records = []
    crashed = False
    for number in range(rng.randint(2, 60)):
        if rng.random() < 0.05:
            # Just before a New Year or a 29 February, where one comes soon.
            year = when.year + 1
            day = datetime.datetime(year, 1, 1)
            if rng.random() < 0.5:
                year = next(y for y in range(when.year, when.year + 4) if y % 4 == 0)
                day = datetime.datetime(year, 2, 29)
            day -= datetime.timedelta(seconds=rng.randint(0, 3 * 3600))
            boots = [at for kind, at in records if kind == "boot"]
            if boots and when < day < boots[-1] + datetime.timedelta(days=3 * 365):
                when = day
        records.append(("boot", when))
        length = rng.choice([rng.randint(20, 119), rng.randint(120, 3600), rng.randint(3600, DAY),
                             rng.randint(DAY, 90 * DAY), rng.randint(90 * DAY, 3 * YEAR)])
        # A boot of under two minutes ends in a later minute than it began,
        # and only after a crash: a crashed boot run on to its end, or one
        # shut down in the minute it began, then read alike, and no `last`
        # could tell them apart.
        if length < 120:
            length = max(length, 60 - when.second) if crashed else length + 120
        crashed = rng.random() < 0.25
        if crashed:
            when += datetime.timedelta(seconds=length)  # no shutdown
            continue
        records.append(("shutdown", when + datetime.timedelta(seconds=length)))
        down = rng.choice([rng.randint(5, 300), rng.randint(300, DAY), rng.randint(DAY, YEAR // 4)])
        if length + down >= int(3.9 * YEAR):
            down = rng.randint(5, 300)
        when += datetime.timedelta(seconds=length + down)
    # The running boot, and a history that ends before now.
    while records[-1][0] != "boot":
        records.pop()
    # Shifted by whole minutes, so that `last` truncates each time alike.
    now = datetime.datetime.utcnow().replace(second=0, microsecond=0)
    latest = now - datetime.timedelta(minutes=rng.randint(2, 30 * 1440))
    shift = records[-1][1].replace(second=0) - latest
    return [(kind, at - shift) for kind, at in records]


def replayed_sysvinit(text, captured, now):
    """sysvinit's output captured at a time, as it would be read now: the
    boots it ended at the clock it read (the running boot, and crashes it ran
    on to it) end at the new clock, whole minutes later."""
    later = int(now) // 60 - int(captured) // 60
    captured_minute = int(captured) // 60
    lines = []
    for line in text.decode().split("\n"):
        match = re.match(r"(reboot .* )(\w{3} \w{3} [ \d]\d) (\d\d):(\d\d) - (\d\d:\d\d) "
                         r"( ?\((?:(\d+)\+)?(\d\d):(\d\d)\))\s*$", line)
        if match:
            year = datetime.datetime.utcfromtimestamp(captured).year
            while True:
                try:
                    start = datetime.datetime.strptime("%s %d %s:%s" % (
                        match[2][4:], year, match[3], match[4]), "%b %d %Y %H:%M")
                except ValueError:  # 29 February of a common year
                    start = None
                if start and start.strftime("%a") == match[2][:3] and start <= captured_at(
                        captured):
                    break
                year -= 1
            length = int(match[7] or 0) * 1440 + int(match[8]) * 60 + int(match[9])
            start_minute = int(start.replace(tzinfo=datetime.timezone.utc).timestamp()) // 60
            if abs(start_minute + length - captured_minute) <= 1:
                length += later
                field = ("(%d+%02d:%02d)" % (length // 1440, length % 1440 // 60, length % 60)
                         if length >= 1440 else " (%02d:%02d)" % (length // 60, length % 60))
                end = match[5]
                if end != "%s:%s" % (match[3], match[4]):  # 3.x writes the start's time
                    end_minute = (start_minute + length) % 1440
                    end = "%02d:%02d" % (end_minute // 60, end_minute % 60)
                line = "%s%s %s:%s - %s %-12.12s" % (match[1], match[2], match[3], match[4], end,
                                                      field)
        lines.append(line)
    return "\n".join(lines).encode()


def captured_at(epoch):
    return datetime.datetime.utcfromtimestamp(epoch)


RANDOM_HISTORIES = 100


def shared_histories():
    return SHARED + [("the bundled sample", read_list(SAMPLE))]


def capture_sysvinit(folder):
    """Writes each built sysvinit `last`'s output over the shared histories
    into folder/VERSION/, with the clock it read, for the replay."""
    for name, binary in BUILT_LASTS:
        if not name.startswith("sysvinit"):
            continue
        target = os.path.join(folder, name[len("sysvinit-"):])
        os.makedirs(target, exist_ok=True)
        with open(os.path.join(target, "captured-at"), "w", encoding="ascii") as handle:
            handle.write("%d\n" % time.time())
        for history_name, records in shared_histories():
            history = History(records, Last(name, "util-linux", binary))
            result = harness.run_isolated(
                ["env", "TZ=UTC0", "LC_ALL=C", harness.HISTORY_COMMAND, "reboot"],
                binds=history.binds)
            history.close()
            with open(os.path.join(target, slug(history_name) + ".out"), "wb") as handle:
                handle.write(result.stdout)


def slug(name):
    return re.sub(r"[^a-z0-9]+", "-", name.lower()).strip("-")


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
            self.assertTrue(BUILT_LASTS, "CI must read the histories through a second last")
        for name, records in shared_histories():
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

    def test_random_histories_on_every_last(self):
        rng = random.Random(22)
        agree = {last.name: 0 for last in lasts()}
        histories = [random_history(rng) for _ in range(RANDOM_HISTORIES)]
        for number, records in enumerate(histories):
            for last in lasts():
                with self.subTest(history=number, last=last.name):
                    self.check(records, last)
                    agree[last.name] += 1
        sys.stderr.write("random histories giving the records' answer:\n" + "".join(
            "  %s: %d / %d\n" % (name, count, len(histories)) for name, count in agree.items()))

    def test_sysvinit_replayed_from_its_captured_output(self):
        # Where sysvinit's sources were at hand its `last` has read the
        # histories itself; its captured output stands in everywhere else.
        versions = sorted(os.listdir(SYSVINIT_FIXTURES))
        self.assertTrue(versions)
        for version in versions:
            folder = os.path.join(SYSVINIT_FIXTURES, version)
            with open(os.path.join(folder, "captured-at"), encoding="ascii") as handle:
                captured = int(handle.read())
            for name, records in shared_histories():
                with self.subTest(name, version=version):
                    with open(os.path.join(folder, slug(name) + ".out"), "rb") as handle:
                        text = handle.read()
                    stand_in = harness.StandIn(replayed_sysvinit(text, captured, time.time()))
                    result = harness.run_isolated([TOOL, "-v"], binds=stand_in.bind())
                    stand_in.close()
                    expected = host_last.expected(records)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertEqual(result.stdout.decode(), host_last.expected_output(expected))
                    host_last.check_error_output(self, result.stderr, expected)

    def test_a_clock_set_back_after_a_crash(self):
        # Each `last` writes it its own way; none can tell when the crash
        # was, and no length of years is made up.
        for name, records in (("hours", SET_BACK_AFTER_A_CRASH),
                              ("two years", SET_BACK_YEARS_AFTER_A_CRASH)):
            for last in lasts():
                with self.subTest(name, last=last.name):
                    history = History(records, last)
                    result = history.run()
                    history.close()
                    self.assertEqual(result.returncode, 0, result.stderr)
                    sys.stderr.write("%s, a clock set back %s after a crash:\n%s%s" % (
                        last.name, name, result.stdout.decode(), result.stderr.decode()))

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
    # Each built `last` as NAME=PATH.
    capture = "--capture-sysvinit" in sys.argv
    arguments = [a for a in sys.argv[4:] if a != "--capture-sysvinit"]
    BUILT_LASTS = [tuple(a.split("=", 1)) for a in arguments if a and "=" in a]
    del sys.argv[1:]
    harness.require_namespaces()
    if capture:
        capture_sysvinit(SYSVINIT_FIXTURES)
        sys.exit(0)
    unittest.main(verbosity=2)
