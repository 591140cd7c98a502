#!/usr/bin/awk -f
# fleet-mean.awk: one mean time between reboots for a whole fleet, and the
# one reader of the tool's verbose listing that the monitoring scripts share.
#
# Reads the output of `mean-reboot-interval -v` gathered from many nodes, one
# "node: line" per line, as `clush -L` and pdsh print it (the lines of
# different nodes may interleave):
#
#   clush -L -w 'node[01-16]' mean-reboot-interval -v 2>&1 | awk -f fleet-mean.awk
#   pdsh -R ssh -w 'node[01-16]' mean-reboot-interval -v 2>&1 | awk -f fleet-mean.awk
#
# Prints one line per node with its number of boots and its mean, the most
# often rebooted first; then "N boots on K nodes"; and last the fleet-wide
# mean over all boots in the tool's own summary format. A node's mean can't
# be weighted without its number of boots, so the means are taken from the
# listed durations, not from the nodes' summary lines. Given the nodes'
# standard error too (2>&1), it also says how many crashed boots, on how
# many nodes, were counted to the next boot's start, and how many had no
# end that could be known and were not counted. Without a single listed
# duration (the tool was run without -v, or no node answered) it says so on
# standard error and exits with 1.
#
# Two variables change what it does:
#   -v node=NAME   every line is NAME's, as the tool itself prints it
#                  (no "node: " before it);
#   -v totals=1    prints instead, for every node that said anything, one
#                  line "NODE BOOTS MINUTES CRASHED UNREADABLE": the boots
#                  counted, the sum of their lengths in minutes, the crashed
#                  boots (counted to the next boot or not counted), and the
#                  unreadable durations.
#
# Works with mawk and gawk, without extensions of either.

BEGIN {
    summary_prefix = "* Mean time between reboots:"
    crash_prefix = "Crashed boots with no duration, not counted: "
    counted_prefix = "Crashed boots counted to the next boot: "
    error_prefix = "Error reading from ("
    nodes = 0
    seen_nodes = 0
    crash_nodes = 0
    crash_total = 0
    counted_nodes = 0
    counted_total = 0
}

# A listed duration is days+hours:minutes as read; a number inside it may
# carry its own sign (1+-2:3), but no boot's length is below zero.
function listed_minutes(text,    parts) {
    split(text, parts, /[+:]/)
    return parts[1] * 1440 + parts[2] * 60 + parts[3]
}

# Truncated, exactly: the quotient of two doubles may round up to the next
# whole number, so it is checked against the remainder.
function truncated_mean(total, count,    q, r) {
    q = int(total / count)
    r = total - q * count
    if (r < 0) q--
    else if (r >= count) q++
    return q
}

function breakdown(mean) {
    return sprintf("%d+%d:%d", int(mean / 1440), int((mean % 1440) / 60), mean % 60)
}

function plural(n, word) { return n " " word (n == 1 ? "" : "s") }

function saw(name) {
    if (!(name in seen)) {
        seen[name] = 1
        seen_order[++seen_nodes] = name
        count[name] = 0
        total[name] = 0
        crashed[name] = 0
        unreadable[name] = 0
    }
}

{
    # clush draws its progress meter on standard error, ending each draw
    # with a carriage return; joined with 2>&1, a line begins after the last.
    sub(/^.*\r/, "")
    if (node != "") {
        name = node
        text = $0
    } else {
        split_at = index($0, ": ")
        if (split_at == 0) next
        name = substr($0, 1, split_at - 1)
        text = substr($0, split_at + 2)
    }
    if (text ~ /^-?[0-9]+\+-?[0-9]+:-?[0-9]+$/) {
        saw(name)
        if (count[name] == 0) order[++nodes] = name
        total[name] += listed_minutes(text)
        count[name]++
    } else if (index(text, crash_prefix) == 1) {
        saw(name)
        crash_nodes++
        crashed[name] += substr(text, length(crash_prefix) + 1)
        crash_total += substr(text, length(crash_prefix) + 1)
    } else if (index(text, counted_prefix) == 1) {
        saw(name)
        counted_nodes++
        crashed[name] += substr(text, length(counted_prefix) + 1)
        counted_total += substr(text, length(counted_prefix) + 1)
    } else if (index(text, error_prefix) == 1) {
        saw(name)
        unreadable[name]++
    }
    # The blank line, the summary line and anything else say nothing more.
}

function print_totals(    i, n) {
    for (i = 1; i <= seen_nodes; i++) {
        n = seen_order[i]
        printf "%s %d %.0f %d %d\n", n, count[n], total[n], crashed[n], unreadable[n]
    }
}

END {
    if (totals) {
        print_totals()
        exit 0
    }
    # Insertion sort: most boots first, then by name, for a stable report.
    for (i = 2; i <= nodes; i++) {
        n = order[i]
        for (j = i - 1; j >= 1; j--) {
            o = order[j]
            if (count[o] > count[n] || (count[o] == count[n] && o <= n)) break
            order[j + 1] = o
        }
        order[j + 1] = n
    }
    fleet_total = 0
    fleet_count = 0
    for (i = 1; i <= nodes; i++) {
        n = order[i]
        mean = truncated_mean(total[n], count[n])
        printf "%s: %s, mean %d minutes (%s)\n", n, plural(count[n], "boot"), mean, breakdown(mean)
        fleet_total += total[n]
        fleet_count += count[n]
    }
    if (counted_total > 0) {
        printf "%s on %s counted to the next boot's start\n", plural(counted_total, "crashed boot"),
            plural(counted_nodes, "node")
    }
    if (crash_total > 0) {
        printf "%s on %s with no duration, not counted\n", plural(crash_total, "crashed boot"),
            plural(crash_nodes, "node")
    }
    if (fleet_count == 0) {
        print "fleet-mean.awk: no listed duration in the input; run the tool with -v," > "/dev/stderr"
        print "fleet-mean.awk: as in: clush -L -w NODES mean-reboot-interval -v | awk -f fleet-mean.awk" > "/dev/stderr"
        exit 1
    }
    printf "%s on %s\n", plural(fleet_count, "boot"), plural(nodes, "node")
    mean = truncated_mean(fleet_total, fleet_count)
    printf "%s\t\t%d minutes (%s)\n", summary_prefix, mean, breakdown(mean)
}
