# The same computation as the tool, for timing against: the duration after
# the last "(" of each line, and the truncated mean in the summary format.
{
    n = split($0, parts, "(")
    if (n < 2) next
    field = parts[n]
    if (index(field, "+")) {
        split(field, v, /[+:)]/)
        minutes = v[1] * 1440 + v[2] * 60 + v[3]
    } else {
        split(field, v, /[:)]/)
        minutes = v[1] * 60 + v[2]
    }
    total += minutes
    count++
}
END {
    if (count) {
        mean = (total - total % count) / count
        printf "* Mean time between reboots:\t\t%d minutes (%d+%d:%d)\n", mean, int(mean / 1440), int((mean % 1440) / 60), mean % 60
    }
}
