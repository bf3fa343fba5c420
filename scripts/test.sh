#!/usr/bin/env bash
# Builds and runs every test: Linux natively and with AddressSanitizer and
# UndefinedBehaviorSanitizer, the Windows x86_64 build under Wine, the Windows
# i686 build (compiled, not run), and a short run of each fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

step() { printf '\n==== %s ====\n' "$*"; }
started=$(date +%s)

# Compiler cache: every preset compiles the same sources, and a second run of
# this script (or another clone on the same machine) compiles only what changed.
if command -v ccache >/dev/null 2>&1; then
    export CMAKE_C_COMPILER_LAUNCHER="${CMAKE_C_COMPILER_LAUNCHER:-ccache}"
    export CMAKE_CXX_COMPILER_LAUNCHER="${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}"
    export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
fi
# One Wine prefix for the whole run: the Windows tests and the reg.exe differential.
export WINEPREFIX="${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/qvtr-wine}"
export WINEDEBUG=-all
export QVTR_DIFF_WINEPREFIX="$WINEPREFIX"
mkdir -p "$(dirname "$WINEPREFIX")"

step "Linux (native)"
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native

step "Linux (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake --preset asan >/dev/null
cmake --build --preset asan
# The reg.exe differential runs once, natively: it checks output, not memory.
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --preset asan -E '^reg_diff$'

step "Windows x86_64 under Wine"
cmake --preset win64 >/dev/null
cmake --build --preset win64
# A fresh Wine server and its services, started here with no terminal or pipe
# of ours: a service process that inherited a test's output would hold it open.
wineserver -k </dev/null >/dev/null 2>&1 || true
wineserver -w </dev/null >/dev/null 2>&1 || true
# The first program makes (or updates) the prefix and starts the services.
cmake/wine-run.sh cmd /c ver </dev/null >/dev/null 2>&1 || true
# One server for the whole run, so that each test starts in milliseconds.
wineserver -p </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k 2>/dev/null || true' EXIT
ctest --preset win64

step "Windows i686 (everything, tests included, built only)"
cmake --preset win32 >/dev/null
cmake --build --preset win32

step "Fuzzers (short runs)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
for fuzzer in build/fuzz/bin/*_fuzz; do
    [ -x "$fuzzer" ] || continue
    echo "$(basename "$fuzzer"): 10 s"
    "$fuzzer" -max_total_time=10 -print_final_stats=0 2>&1 | tail -n 2
done

step "All tests passed in $(( $(date +%s) - started )) s"
