#!/usr/bin/env python3
"""Times the real binary end to end on a history of 2 million lines served by
a stand-in /usr/bin/last, in one run beside a plain pass-through reader of the
same stream and the same computation in mawk. Prints the medians and ratios;
it never judges them.

    bench/end_to_end.py TOOL GENERATE_HISTORY [LINES] [RUNS]

Needs a private mount namespace (root, or unprivileged user namespaces)."""

import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import harness  # noqa: E402

AWK = os.path.join(HERE, "mean.awk")


def inside(tool, lines, runs):
    commands = {
        "pass-through": "/usr/bin/last reboot | cat > /dev/null",
        "mean-reboot-interval": "%s > /dev/null" % tool,
        "mawk": "/usr/bin/last reboot | mawk -f %s > /dev/null" % AWK,
    }
    ours = subprocess.run([tool], capture_output=True, check=True).stdout
    theirs = subprocess.run("/usr/bin/last reboot | mawk -f %s" % AWK, shell=True,
                            capture_output=True, check=True).stdout
    if ours != theirs:
        sys.exit("the tool and mawk disagree: %r and %r" % (ours, theirs))
    times = {name: [] for name in commands}
    for _ in range(runs):  # interleaved, so that drift hits all alike
        for name, command in commands.items():
            start = time.perf_counter()
            subprocess.run(command, shell=True, check=True)
            times[name].append(time.perf_counter() - start)
    medians = {name: statistics.median(values) for name, values in times.items()}
    print("%d lines, median of %d runs each:" % (lines, runs))
    for name, seconds in medians.items():
        print("  %-22s %7.3f s" % (name, seconds))
    print("tool / pass-through: %.2f (goal: at most 1.3)"
          % (medians["mean-reboot-interval"] / medians["pass-through"]))
    print("mawk / tool: %.2f (goal: at least 4)"
          % (medians["mawk"] / medians["mean-reboot-interval"]))
    print("summary: %s" % ours.decode().rstrip())


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--inside":
        inside(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
        return
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    tool, generator = (os.path.abspath(a) for a in sys.argv[1:3])
    lines = int(sys.argv[3]) if len(sys.argv) > 3 else 2_000_000
    runs = int(sys.argv[4]) if len(sys.argv) > 4 else 7
    harness.require_namespaces()
    stand_in = harness.StandIn(script="#!/bin/sh\nexec %s %d\n" % (generator, lines))
    result = harness.run_isolated(
        [sys.executable, os.path.abspath(__file__), "--inside", tool, str(lines), str(runs)],
        binds=stand_in.bind(), stdout=None)
    stand_in.close()
    sys.stderr.write(result.stderr.decode())
    sys.exit(result.returncode)


if __name__ == "__main__":
    main()
