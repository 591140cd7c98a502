#!/bin/sh
# Instructions a line, counted by callgrind (which does not swing with the
# machine's state the way wall times do): the scan over the benchmark's
# million realistic lines, and beside it the bare reader (the same chunks,
# nothing parsed). One pass of each, in the optimized build.
#
#   bench/instructions.sh build/bench/bench/scan-benchmark
set -eu

benchmark=$1
lines=1000000
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

count() {
    name=$1
    function=$2
    valgrind --tool=callgrind --callgrind-out-file="$out/$name.out" \
        --toggle-collect="$function" "$benchmark" --benchmark_filter="^$name\$" \
        --benchmark_min_time=0 >/dev/null 2>"$out/$name.log"
    collected=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$out/$name.log")
    echo "$name: $collected instructions, $((collected / lines)) a line"
}

count Scan 'scan_history_stream*'
count BareReader '*BareReader*'
