#!/bin/sh
# Reading speed of `qvtr log` on a large log, against `grep -c` on the same
# file as the floor. Usage: bench/log_read.sh QVTR_BINARY [SIZE_MB] [RUNS]
# Prints the median wall time of each command, its MB/s, and the ratio.
# grep's count goes to a file: with its output on /dev/null grep stops at the
# first match. qvtr's lines go to /dev/null, so that the disk is not measured.
set -eu
qvtr=$1
size_mb=${2:-1024}
runs=${3:-5}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
log=$dir/qvtr.log

# A block of interleaved lines of 8 processes with lock traffic, repeated.
awk 'BEGIN {
    for (i = 0; i < 20000; i++) {
        pid = sprintf("%08X", 4096 + (int(i / 4) * 7) % 8)
        k = i % 4
        if (k == 0) printf "%s: Mutex Payroll - %08X: 00000000\n", pid, i
        else if (k == 1) printf "%s: In Critical Section %08X\n", pid, i - 1
        else if (k == 2) printf "%s: WMU::Open, TSE Platform session %d client WS-%04d\n", pid, i, i % 997
        else printf "%s: Mutex %08X released\n", pid, i - 3
    }
}' > "$dir/block"
block_bytes=$(wc -c < "$dir/block")
copies=$((size_mb * 1048576 / block_bytes + 1))
i=0
while [ $i -lt $copies ]; do cat "$dir/block"; i=$((i + 1)); done > "$log"
bytes=$(wc -c < "$log")
cat "$log" > /dev/null  # in the page cache for every command alike

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
time_of() {
    sink=$1
    shift
    n=0
    while [ $n -lt "$runs" ]; do
        start=$(date +%s.%N)
        "$@" > "$sink"
        end=$(date +%s.%N)
        echo "$end - $start" | bc
        n=$((n + 1))
    done | median
}

floor=$(time_of "$dir/out" grep -c Mutex "$log")
printf '%-44s %8s s %8s MB/s\n' "grep -c Mutex (floor)" "$floor" "$(echo "$bytes / 1048576 / $floor" | bc)"
for args in "" "--pid 0x1003" "--grep Payroll" "--grep Pay+roll" "--summary" "--since-start --last 100"; do
    t=$(time_of /dev/null "$qvtr" log --color=never --file "$log" $args)
    printf '%-44s %8s s %8s MB/s  %5s x floor\n' "qvtr log $args" "$t" "$(echo "$bytes / 1048576 / $t" | bc)" \
        "$(echo "scale=2; $t / $floor" | bc)"
done
