"""Each platform's own `last reboot`, replayed: outputs captured from the
real programs (util-linux 2.38 on Debian 12, wtmpdb 0.73 on Debian 13,
util-linux 2.41, busybox) over the histories in fixtures/platforms/, played
by a stand-in, with the means and statuses the tool must give there."""

import os
import shlex
import sys
import unittest

import harness

TOOL = None
FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures", "platforms")
NO_HISTORY = b"Unable to read history from '/usr/bin/last reboot' (exit status %d)\n"

# name, captured stdout, captured stderr, last's status, the tool's status,
# its stdout and what its stderr ends with.
CRASHES = (b"1+1:55\n9+23:55\n1+0:0\n1+0:0\n10+0:0\n\n" + harness.summary_line(6646).encode(),
           b"Crashed boots counted to the next boot: 3\n")
CASES = [
    ("Debian 12: a crash run on to the next shutdown ends at the next boot",
     "debian12-util-linux.out", None, 0, 0,
     b"76+2:55\n0+0:27\n6+14:18\n21+11:37\n\n" + harness.summary_line(37519).encode(),
     b"Error reading from (-1:30)\n\nCrashed boots counted to the next boot: 1\n"),
    # wtmpdb lists boots by their start: the 09:05 boot, started after the
    # clock went back, shows below the 10:00 one. Its 76 days cannot end
    # before 10:00, so its start is not placed and it keeps them; the crash
    # below it has no next start it could be counted to.
    ("Debian 13: a clock gone back past an older boot's start reorders the list",
     "debian13-wtmpdb.out", None, 0, 0,
     b"0+0:27\n76+2:55\n21+11:37\n\n" + harness.summary_line(46859).encode(),
     b"Error reading from (213503982+06:31)\n\nCrashed boots with no duration, not counted: 1\n"),
    ("three crashes through util-linux 2.38", "crashes-util-linux-2.38.out", None, 0, 0)
    + CRASHES,
    ("three crashes through util-linux 2.41", "crashes-util-linux-2.41.out", None, 0, 0)
    + CRASHES,
    ("three crashes through wtmpdb", "crashes-wtmpdb.out", None, 0, 0) + CRASHES,
    ("Debian 12 without /var/log/wtmp", None, "debian12-no-wtmp.err", 1, 255, b"",
     NO_HISTORY % 1),
    ("Debian 13 without /var/log/wtmp.db", None, "debian13-wtmpdb-no-database.err", 1, 255, b"",
     NO_HISTORY % 1),
    ("Debian 13 without wtmpdb: no last at all", None, "debian13-no-last.err", 127, 255, b"",
     NO_HISTORY % 127),
    ("busybox's last takes no argument", None, "busybox.err", 1, 255, b"", NO_HISTORY % 1),
]


def fixture(name):
    if name is None:
        return b""
    with open(os.path.join(FIXTURES, name), "rb") as handle:
        return handle.read()


class Platforms(unittest.TestCase):
    def test_replayed_histories(self):
        for name, out, err, status, code, tool_out, tool_err in CASES:
            with self.subTest(name):
                captured_err = fixture(err)
                after = "" if err is None else "cat %s >&2" % shlex.quote(
                    os.path.join(FIXTURES, err))
                stand_in = harness.StandIn(fixture(out), status, after=after)
                result = harness.run_isolated([TOOL, "-v"], binds=stand_in.bind())
                stand_in.close()
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertEqual(result.stdout, tool_out)
                self.assertEqual(result.stderr, captured_err + tool_err)


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1))
    harness.require_namespaces()
    unittest.main(verbosity=2)
