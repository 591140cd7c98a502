#!/usr/bin/env python3
"""Times the real binary end to end, beside the fastest honest baselines, and
prints medians and ratios; it never judges them.

1. The fastest producer there is: a stand-in /usr/bin/last that is `cat` of a
   history file already in the page cache (LINES lines from generate-history).
   The tool against `last reboot | cat > /dev/null` (the pass-through: every
   byte crosses one pipe, as it does for the tool) and against mawk doing the
   same computation.
2. The host's real `last` reading a wtmp of BOOTS boots written by make-wtmp:
   the tool against `last reboot > /dev/null` and `last reboot | cat > /dev/null`.

Runs are interleaved, RUNS of each, and medians are printed. Wall times on a
shared machine swing, so the CPU time of the tool's own process (not of the
history command it starts) is printed beside them, read from its zombie
before it is reaped.

    bench/end_to_end.py TOOL GENERATE_HISTORY MAKE_WTMP [LINES] [BOOTS] [RUNS]

Needs a private mount namespace (root, or unprivileged user namespaces)."""

import datetime
import os
import shlex
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import harness  # noqa: E402

AWK = os.path.join(HERE, "mean.awk")
NANOSECONDS = 1e9


def own_cpu_seconds(pid):
    """CPU time of the process itself, read from /proc while it is a zombie:
    the first field of schedstat counts only this (single-threaded) task,
    not the children it reaped."""
    os.waitid(os.P_PID, pid, os.WEXITED | os.WNOWAIT)
    with open("/proc/%d/schedstat" % pid, encoding="ascii") as handle:
        return int(handle.read().split()[0]) / NANOSECONDS


def timed(command, own_cpu):
    """Wall seconds of a shell command line, and the tool's own CPU seconds
    when the command is the tool itself (own_cpu)."""
    start = time.perf_counter()
    if own_cpu:
        process = subprocess.Popen(shlex.split(command), stdout=subprocess.DEVNULL)
        cpu = own_cpu_seconds(process.pid)
        process.wait()
    else:
        process = subprocess.Popen(command, shell=True)
        cpu = None
        process.wait()
    wall = time.perf_counter() - start
    if process.returncode != 0:
        sys.exit("%s failed with %d" % (command, process.returncode))
    return wall, cpu


def compare(title, commands, tool_name, runs):
    """commands: name -> shell command; the one named tool_name is the tool."""
    walls = {name: [] for name in commands}
    cpus = []
    for _ in range(runs):  # interleaved, so that drift hits all alike
        for name, command in commands.items():
            wall, cpu = timed(command, name == tool_name)
            walls[name].append(wall)
            if cpu is not None:
                cpus.append(cpu)
    medians = {name: statistics.median(values) for name, values in walls.items()}
    print("%s, median of %d interleaved runs:" % (title, runs))
    for name, seconds in medians.items():
        extra = ""
        if name == tool_name:
            extra = "  (its own CPU: %.3f s)" % statistics.median(cpus)
        print("  %-28s %7.3f s wall%s" % (name, seconds, extra))
    return medians, statistics.median(cpus)


def inside_cat(tool, runs):
    commands = {
        "last reboot | cat": "/usr/bin/last reboot | cat > /dev/null",
        "mean-reboot-interval": tool,
        "last reboot | mawk": "/usr/bin/last reboot | mawk -f %s > /dev/null" % AWK,
    }
    ours = subprocess.run([tool], capture_output=True, check=True).stdout
    theirs = subprocess.run("/usr/bin/last reboot | mawk -f %s" % AWK, shell=True,
                            capture_output=True, check=True).stdout
    if ours != theirs:
        sys.exit("the tool and mawk disagree: %r and %r" % (ours, theirs))
    medians, cpu = compare("cat of a page-cached history", commands, "mean-reboot-interval", runs)
    tool_time = medians["mean-reboot-interval"]
    print("  tool / pass-through: %.2f (goal: at most 1.1)"
          % (tool_time / medians["last reboot | cat"]))
    print("  mawk / tool:         %.2f (goal: at least 5)"
          % (medians["last reboot | mawk"] / tool_time))
    print("  tool's own CPU / pass-through wall: %.2f" % (cpu / medians["last reboot | cat"]))
    print("  summary: %s" % ours.decode().rstrip())


def inside_wtmp(tool, runs):
    commands = {
        "last reboot > /dev/null": "/usr/bin/last reboot > /dev/null",
        "last reboot | cat": "/usr/bin/last reboot | cat > /dev/null",
        "mean-reboot-interval": tool,
    }
    medians, cpu = compare("the host's real last over the wtmp", commands,
                           "mean-reboot-interval", runs)
    tool_time = medians["mean-reboot-interval"]
    print("  tool / last alone:   %.2f" % (tool_time / medians["last reboot > /dev/null"]))
    print("  tool / last | cat:   %.2f" % (tool_time / medians["last reboot | cat"]))
    print("  tool's own CPU / last alone: %.3f" % (cpu / medians["last reboot > /dev/null"]))


def write_boots(path, boots):
    """Boots of a day and a little more, each ended by a clean shutdown."""
    moment = datetime.datetime(2000, 1, 1)
    with open(path, "w", encoding="ascii") as handle:
        for index in range(boots):
            handle.write("boot     %s 6.1.0-18-amd64\n" % moment.strftime("%Y-%m-%d %H:%M:%S"))
            moment += datetime.timedelta(minutes=60 + index % 97)
            handle.write("shutdown %s 6.1.0-18-amd64\n" % moment.strftime("%Y-%m-%d %H:%M:%S"))
            moment += datetime.timedelta(minutes=2)


def run_inside(mode, tool, runs, binds):
    result = harness.run_isolated(
        [sys.executable, os.path.abspath(__file__), mode, tool, str(runs)],
        binds=binds, stdout=None)
    sys.stderr.write(result.stderr.decode())
    if result.returncode != 0:
        sys.exit(result.returncode)


def main():
    if len(sys.argv) > 1 and sys.argv[1].startswith("--inside-"):
        {"--inside-cat": inside_cat, "--inside-wtmp": inside_wtmp}[sys.argv[1]](
            sys.argv[2], int(sys.argv[3]))
        return
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    tool, generator, make_wtmp = (os.path.abspath(a) for a in sys.argv[1:4])
    lines = int(sys.argv[4]) if len(sys.argv) > 4 else 2_000_000
    boots = int(sys.argv[5]) if len(sys.argv) > 5 else 100_000
    runs = int(sys.argv[6]) if len(sys.argv) > 6 else 7
    harness.require_namespaces()
    with tempfile.TemporaryDirectory(prefix="mri-bench-") as work:
        os.chmod(work, 0o755)
        history = os.path.join(work, "history")
        with open(history, "wb") as handle:
            subprocess.run([generator, str(lines)], stdout=handle, check=True)
        with open(history, "rb") as handle:  # into the page cache
            while handle.read(1 << 20):
                pass
        print("%d lines, %.0f MB" % (lines, os.path.getsize(history) / 1e6))
        stand_in = harness.StandIn(script="#!/bin/sh\nexec cat %s\n" % shlex.quote(history))
        run_inside("--inside-cat", tool, runs, stand_in.bind())
        stand_in.close()

        listing = os.path.join(work, "boots")
        wtmp = os.path.join(work, "wtmp")
        write_boots(listing, boots)
        subprocess.run([make_wtmp, listing, wtmp], check=True)
        print("\n%d boots in a wtmp of %.0f MB" % (boots, os.path.getsize(wtmp) / 1e6))
        run_inside("--inside-wtmp", tool, runs, [(wtmp, harness.WTMP)])


if __name__ == "__main__":
    main()
