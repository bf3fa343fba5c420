#!/bin/sh
# Builds the Linux benchmarks and runs each the way the README's figures were taken.
# Every benchmark prints, at its end, each operation against its floor measured in
# the same run: read those ratios. QVTR_BENCH_LARGEST=10000 (the default here) leaves
# out the registry walks of 100,000 entries, which take minutes. remote_bench needs root
# (it starts an sshd of its own on the loopback address) and says so otherwise.
#   scripts/bench.sh [BENCHMARK...]    (default: all; names as in build/native/bin)
set -eu
cd "$(dirname "$0")/.."
cmake --preset native >/dev/null
cmake --build --preset native >/dev/null
export QVTR_BENCH_LARGEST=${QVTR_BENCH_LARGEST:-10000}
bin=build/native/bin
[ $# -gt 0 ] || set -- trace_bench load_bench profile_bench lock_bench registry_bench reg_import_bench remote_bench
for bench in "$@"; do
    echo "== $bench"
    case $bench in
        lock_bench | load_bench) "$bin/$bench" ;;
        remote_bench) "$bin/$bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true || [ $? -eq 77 ] ;;
        *) "$bin/$bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true ;;
    esac
done
