"""Each platform's own `last reboot`, replayed: outputs captured from the
real programs (util-linux 2.38 on Debian 12, wtmpdb 0.73 on Debian 13,
busybox) over the history in fixtures/platforms/records.txt, played by a
stand-in, with the means and statuses the tool must give there."""

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
CASES = [
    ("Debian 12: a crash runs on to the next shutdown, a clock gone back is unreadable",
     "debian12-util-linux.out", None, 0, 0,
     b"76+2:55\n0+0:27\n6+14:45\n21+11:37\n\n" + harness.summary_line(37526).encode(),
     b"Error reading from (-1:30)\n\n"),
    ("Debian 13: a crash has no duration and is counted apart, a wrapped one is unreadable",
     "debian13-wtmpdb.out", None, 0, 0,
     b"0+0:27\n76+2:55\n21+11:37\n\n" + harness.summary_line(46859).encode(),
     b"Error reading from (213503982+06:31)\n\n"
     b"Crashed boots with no duration, not counted: 1\n"),
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
