#!/usr/bin/awk -f
# fleet-mean.awk: one mean time between reboots for a whole fleet.
#
# Reads the output of `mean-reboot-interval -v` gathered from many nodes, one
# "node: line" per line, as `clush -L` and pdsh print it (the lines of
# different nodes may interleave):
#
#   clush -L -w 'node[01-16]' mean-reboot-interval -v | awk -f fleet-mean.awk
#   pdsh -R ssh -w 'node[01-16]' mean-reboot-interval -v | awk -f fleet-mean.awk
#
# Prints one line per node with its number of boots and its mean, the most
# often rebooted first; then "N boots on K nodes"; and last the fleet-wide
# mean over all boots in the tool's own summary format. A node's mean can't
# be weighted without its number of boots, so the means are taken from the
# listed durations, not from the nodes' summary lines.
#
# Works with mawk and gawk, without extensions of either.

BEGIN {
    summary_prefix = "* Mean time between reboots:"
    nodes = 0
}

# The listing writes a negative duration as the history command does, with
# the sign on its first number: -1+1:0, or 0+-1:30 where there are no days.
function listed_minutes(text,    parts, d, h, m, negative) {
    split(text, parts, /[+:]/)
    d = parts[1]; h = parts[2]; m = parts[3]
    negative = (d ~ /^-/) || (d == "0" && h ~ /^-/)
    if (negative) {
        return -(magnitude(d) * 1440 + magnitude(h) * 60 + magnitude(m))
    }
    return d * 1440 + h * 60 + m
}

function magnitude(x) { return x < 0 ? -x : x + 0 }

# Truncated toward zero, exactly: the quotient of two doubles may round to
# the next whole number, so it is checked against the remainder.
function truncated_mean(total, count,    q, r) {
    q = int(total / count)
    r = total - q * count
    if (total >= 0) {
        if (r < 0) q--
        else if (r >= count) q++
    } else {
        if (r > 0) q++
        else if (-r >= count) q--
    }
    return q
}

# The tool's summary format; a negative mean carries its sign on both the
# minutes and the breakdown of its magnitude.
function breakdown(mean,    size, sign) {
    size = magnitude(mean)
    sign = mean < 0 ? "-" : ""
    return sprintf("%s%d+%d:%d", sign, int(size / 1440), int((size % 1440) / 60), size % 60)
}

{
    split_at = index($0, ": ")
    if (split_at == 0) next
    node = substr($0, 1, split_at - 1)
    text = substr($0, split_at + 2)
    if (text ~ /^-?[0-9]+\+-?[0-9]+:-?[0-9]+$/) {
        if (!(node in count)) {
            order[++nodes] = node
            total[node] = 0
        }
        total[node] += listed_minutes(text)
        count[node]++
    }
    # The blank line, the summary line and anything else say nothing more.
}

END {
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
        printf "%s: %d boots, mean %d minutes (%s)\n", n, count[n], mean, breakdown(mean)
        fleet_total += total[n]
        fleet_count += count[n]
    }
    printf "%d boots on %d nodes\n", fleet_count, nodes
    if (fleet_count > 0) {
        mean = truncated_mean(fleet_total, fleet_count)
        printf "%s\t\t%d minutes (%s)\n", summary_prefix, mean, breakdown(mean)
    }
}
