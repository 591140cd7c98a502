#!/usr/bin/env python3
"""Times the real binary end to end, beside the fastest honest baselines, and
prints medians and ratios; it never judges them.

1. The fastest producer there is: a stand-in /usr/bin/last that is `cat` of a
   history file already in the page cache (LINES lines from generate-history).
   The tool against `last reboot | cat > /dev/null` (the pass-through: every
   byte crosses one pipe, as it does for the tool), against `last reboot |
   drain` (the floor: the tool's own 1 MiB pipe and 64 KiB reads, and no work
   at all) and against mawk doing the same computation.
2. The host's real `last` reading a wtmp of BOOTS boots written by make-wtmp:
   the tool against `last reboot > /dev/null` and `last reboot | cat > /dev/null`.

Runs are interleaved, RUNS of each, and medians are printed. Wall times on a
shared machine swing, so the CPU time of the tool's own process (not of the
history command it starts) is printed beside them, read from its zombie
before it is reaped.

    bench/end_to_end.py TOOL GENERATE_HISTORY MAKE_WTMP DRAIN [LINES] [BOOTS] [RUNS]

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
import host_last  # noqa: E402

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
    """Wall seconds of a shell command line, and the CPU seconds of its last
    process when own_cpu is set (the tool itself, or the drain that a
    history pipes into)."""
    start = time.perf_counter()
    if own_cpu and "|" in command:
        producer, consumer = (shlex.split(part) for part in command.split("|"))
        source = subprocess.Popen(producer, stdout=subprocess.PIPE)
        process = subprocess.Popen(consumer, stdin=source.stdout, stdout=subprocess.DEVNULL)
        source.stdout.close()
        cpu = own_cpu_seconds(process.pid)
        process.wait()
        source.wait()
    elif own_cpu:
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


def compare(title, commands, measured, runs):
    """commands: name -> shell command; those named in measured also have
    the CPU time of their own (last) process taken."""
    walls = {name: [] for name in commands}
    cpus = {name: [] for name in measured}
    for _ in range(runs):  # interleaved, so that drift hits all alike
        for name, command in commands.items():
            wall, cpu = timed(command, name in measured)
            walls[name].append(wall)
            if cpu is not None:
                cpus[name].append(cpu)
    medians = {name: statistics.median(values) for name, values in walls.items()}
    cpu_medians = {name: statistics.median(values) for name, values in cpus.items()}
    print("%s, median of %d interleaved runs:" % (title, runs))
    for name, seconds in medians.items():
        extra = ""
        if name in cpu_medians:
            extra = "  (its own CPU: %.3f s)" % cpu_medians[name]
        print("  %-28s %7.3f s wall%s" % (name, seconds, extra))
    return medians, cpu_medians


def inside_cat(tool, runs, drain):
    commands = {
        "last reboot | cat": "/usr/bin/last reboot | cat > /dev/null",
        "last reboot | drain": "/usr/bin/last reboot | %s" % shlex.quote(drain),
        "mean-reboot-interval": tool,
        "last reboot | mawk": "/usr/bin/last reboot | mawk -f %s > /dev/null" % AWK,
    }
    ours = subprocess.run([tool], capture_output=True, check=True).stdout
    theirs = subprocess.run("/usr/bin/last reboot | mawk -f %s" % AWK, shell=True,
                            capture_output=True, check=True).stdout
    if ours != theirs:
        sys.exit("the tool and mawk disagree: %r and %r" % (ours, theirs))
    medians, cpus = compare("cat of a page-cached history", commands,
                            ["mean-reboot-interval", "last reboot | drain"], runs)
    cpu = cpus["mean-reboot-interval"]
    tool_time = medians["mean-reboot-interval"]
    print("  tool / pass-through: %.2f (goal: at most 1.1)"
          % (tool_time / medians["last reboot | cat"]))
    print("  tool / drain:        %.2f" % (tool_time / medians["last reboot | drain"]))
    print("  mawk / tool:         %.2f (goal: at least 5)"
          % (medians["last reboot | mawk"] / tool_time))
    print("  tool's own CPU / pass-through wall: %.2f" % (cpu / medians["last reboot | cat"]))
    print("  tool's own CPU / drain's own CPU:   %.2f" % (cpu / cpus["last reboot | drain"]))
    print("  summary: %s" % ours.decode().rstrip())


def inside_wtmp(tool, runs, _drain):
    commands = {
        "last reboot > /dev/null": "/usr/bin/last reboot > /dev/null",
        "last reboot | cat": "/usr/bin/last reboot | cat > /dev/null",
        "mean-reboot-interval": tool,
    }
    medians, cpus = compare("the host's real last over the wtmp", commands,
                            ["mean-reboot-interval"], runs)
    cpu = cpus["mean-reboot-interval"]
    tool_time = medians["mean-reboot-interval"]
    print("  tool / last alone:   %.2f" % (tool_time / medians["last reboot > /dev/null"]))
    print("  tool / last | cat:   %.2f" % (tool_time / medians["last reboot | cat"]))
    print("  tool's own CPU / last alone: %.3f" % (cpu / medians["last reboot > /dev/null"]))


def boot_records(boots):
    """Boots of a day and a little more, each ended by a clean shutdown."""
    records = []
    moment = datetime.datetime(2000, 1, 1)
    for index in range(boots):
        records.append(("boot", moment))
        moment += datetime.timedelta(minutes=60 + index % 97)
        records.append(("shutdown", moment))
        moment += datetime.timedelta(minutes=2)
    return records


def run_inside(mode, tool, runs, drain, binds):
    result = harness.run_isolated(
        [sys.executable, os.path.abspath(__file__), mode, tool, str(runs), drain],
        binds=binds, stdout=None)
    sys.stderr.write(result.stderr.decode())
    if result.returncode != 0:
        sys.exit(result.returncode)


def main():
    if len(sys.argv) > 1 and sys.argv[1].startswith("--inside-"):
        {"--inside-cat": inside_cat, "--inside-wtmp": inside_wtmp}[sys.argv[1]](
            sys.argv[2], int(sys.argv[3]), sys.argv[4])
        return
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    tool, generator, make_wtmp, drain = (os.path.abspath(a) for a in sys.argv[1:5])
    lines = int(sys.argv[5]) if len(sys.argv) > 5 else 2_000_000
    boots = int(sys.argv[6]) if len(sys.argv) > 6 else 100_000
    runs = int(sys.argv[7]) if len(sys.argv) > 7 else 7
    harness.require_namespaces()
    with tempfile.TemporaryDirectory(prefix="mri-bench-") as work:
        os.chmod(work, 0o755)
        history = os.path.join(work, "history")
        with open(history, "wb") as handle:
            subprocess.run([generator, str(lines)], stdout=handle, check=True)
        with open(history, "rb") as handle:  # into the page cache
            while handle.read(1 << 20):
                pass
        print("runs: %d of each command, interleaved; load average before: %s"
              % (runs, " ".join("%.2f" % x for x in os.getloadavg())))
        print("%d lines, %.0f MB" % (lines, os.path.getsize(history) / 1e6))
        stand_in = harness.StandIn(script="#!/bin/sh\nexec cat %s\n" % shlex.quote(history))
        run_inside("--inside-cat", tool, runs, drain, stand_in.bind())
        stand_in.close()

        log, _ = host_last.write_history(boot_records(boots), work, make_wtmp, "boots")
        (history_file,) = os.listdir(log)
        print("\n%d boots in a %s of %.0f MB, read by %s's last"
              % (boots, history_file, os.path.getsize(os.path.join(log, history_file)) / 1e6,
                 host_last.flavour()))
        run_inside("--inside-wtmp", tool, runs, drain, [(log, "/var/log")])
        print("load average after: %s" % " ".join("%.2f" % x for x in os.getloadavg()))


if __name__ == "__main__":
    main()
