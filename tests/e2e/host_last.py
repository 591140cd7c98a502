"""Chosen boot histories for whichever `last` this host has, and what that
`last` makes of them.

util-linux's `last` (Debian 12) reads /var/log/wtmp: the records are written
as a wtmp file to bind over it. wtmpdb's (Debian 13) reads /var/log/wtmp.db:
the same wtmp file is imported with `wtmpdb import` into a private database
to bind over that. The expected durations come from the records' own times:
a boot ends at its shutdown, or where it crashed, at the next boot's start,
the same whichever `last` reads them."""

import datetime
import os
import shlex
import sqlite3
import subprocess

import harness

MINUTE = 60
CENTURY_MINUTES = 36525 * 1440
CRASH_LINE = "Crashed boots with no duration, not counted: %d\n"
COUNTED_LINE = "Crashed boots counted to the next boot: %d\n"


def flavour():
    """'wtmpdb' where /usr/bin/last is wtmpdb's, 'util-linux' otherwise."""
    target = os.path.realpath(harness.HISTORY_COMMAND)
    return "wtmpdb" if os.path.basename(target) == "wtmpdb" else "util-linux"


def history_file():
    return "/var/log/wtmp.db" if flavour() == "wtmpdb" else "/var/log/wtmp"


def write_list(records, path):
    with open(path, "w", encoding="ascii") as handle:
        for kind, when in records:
            handle.write("%-8s %s 6.1.0-%d-amd64\n"
                         % (kind, when.strftime("%Y-%m-%d %H:%M:%S"), when.month))


def write_history(records, directory, make_wtmp, name="history", wtmp_flavour=None):
    """Writes the records where this host's `last` reads them, in a folder of
    their own; returns the (source, target) bind that puts that folder over
    /var/log (a fresh system may have no history file to bind a file over)."""
    log = os.path.join(directory, name + "-log")
    os.mkdir(log)
    os.chmod(log, 0o755)
    listing = os.path.join(directory, name + ".list")
    wtmp = os.path.join(log, "wtmp")
    write_list(records, listing)
    subprocess.run([make_wtmp, listing, wtmp], check=True)
    if (wtmp_flavour or flavour()) == "wtmpdb":
        database = os.path.join(log, "wtmp.db")
        if records:
            subprocess.run(["wtmpdb", "import", "-f", database, wtmp], check=True,
                           stdout=subprocess.DEVNULL)
        else:
            # wtmpdb imports no empty file: let it write one boot, so that
            # the database is its own, then take the boot out again.
            subprocess.run(["wtmpdb", "boot", "-f", database], check=True)
            with sqlite3.connect(database) as connection:
                connection.execute("DELETE FROM wtmp")
        os.unlink(wtmp)
    return log, "/var/log"


def mount_history(log):
    """The shell command that puts a folder from write_history() over
    /var/log, or, for None, an empty /var/log: a node without a history file."""
    if log is None:
        return "mount -t tmpfs tmpfs /var/log"
    return "mount --bind %s /var/log" % shlex.quote(log)


class Expected:
    """What the tool must give over the records: the lengths it counts in
    minutes, newest first as `last` lists them; how many durations are
    unreadable (a clock that went back); how many crashed boots it counts to
    the next boot's start, and how many it cannot."""

    def __init__(self):
        self.lengths = []
        self.unreadable = 0
        self.counted_to_next = 0
        self.crashed = 0

    def every_crash(self):
        """Crashed boots, counted to the next boot or not."""
        return self.counted_to_next + self.crashed


def shown_minute(when):
    """The minute `last` shows a time in."""
    return int(when.replace(tzinfo=datetime.timezone.utc).timestamp()) // MINUTE


def expected(records, wtmp_flavour=None):
    """The records' own answer, the same through every `last`: a boot ends
    at its shutdown, or where it crashed, at the next boot's start, in the
    minutes `last` shows; the newest boot without a shutdown still runs."""
    wtmpdb = (wtmp_flavour or flavour()) == "wtmpdb"
    result = Expected()
    boots = [index for index, (kind, _) in enumerate(records) if kind == "boot"]
    for number, index in enumerate(boots):
        when = records[index][1]
        following = boots[number + 1] if number + 1 < len(boots) else len(records)
        shutdowns = [w for kind, w in records[index + 1:following] if kind == "shutdown"]
        if not shutdowns:
            if following < len(records):
                result.counted_to_next += 1
                result.lengths.append(shown_minute(records[following][1]) - shown_minute(when))
            continue
        seconds = int((shutdowns[0] - when).total_seconds())
        # Under a minute back, util-linux writes (-00:00): zero, a boot that
        # counts. wtmpdb wraps any negative length to some 213503982 days.
        if seconds < 0 and (wtmpdb or -seconds >= MINUTE):
            result.unreadable += 1
        else:
            result.lengths.append(max(seconds, 0) // MINUTE)
    result.lengths.reverse()
    return result


def listing_line(minutes):
    return "%d+%d:%d\n" % (minutes // 1440, minutes % 1440 // 60, minutes % 60)


def expected_output(result, verbose=True):
    """The tool's standard output."""
    if not result.lengths:
        return ""
    mean = sum(result.lengths) // len(result.lengths)
    listing = "".join(listing_line(m) for m in result.lengths) + "\n" if verbose else ""
    return listing + harness.summary_line(mean)


def check_error_output(test, err, result):
    """Standard error: one 'Error reading from' line, and its empty line,
    per unreadable duration, then the crashed boots' counts where there are any."""
    text = err.decode()
    lines = text.split("\n")
    errors = [line for line in lines if line.startswith("Error reading from (")]
    test.assertEqual(len(errors), result.unreadable, text)
    test.assertTrue(text.endswith(notes(result)), text)
    test.assertEqual(text.count("\n"), 2 * result.unreadable + notes(result).count("\n"), text)


def notes(result):
    """The crashed boots' lines that end standard error."""
    return ((COUNTED_LINE % result.counted_to_next if result.counted_to_next else "")
            + (CRASH_LINE % result.crashed if result.crashed else ""))


START = datetime.datetime(2024, 1, 1, 6, 0, 0)
