#!/usr/bin/env bash
# Builds and runs every test: Linux natively and with AddressSanitizer and
# UndefinedBehaviorSanitizer, the Windows x86_64 build under Wine, the Windows
# i686 build (compiled, not run), and a short run of each fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

step() { printf '\n==== %s ====\n' "$*"; }
started=$(date +%s)

step "Linux (native)"
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native

step "Installed package: moved prefix, find_package and pkg-config from outside the tree, exported symbols"
ctest --test-dir build/native -R '^package$' --output-on-failure

step "Linux (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake --preset asan >/dev/null
cmake --build --preset asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --preset asan

step "Windows x86_64 under Wine"
export WINEPREFIX="${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/qvtr-wine}"
export WINEDEBUG=-all
mkdir -p "$(dirname "$WINEPREFIX")"
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

step "Windows i686 (the module and the tool, built only)"
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target qvtr qvtr_core qvtr_tool

step "Fuzzers (short runs)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
for fuzzer in build/fuzz/bin/*_fuzz; do
    [ -x "$fuzzer" ] || continue
    echo "$(basename "$fuzzer"): 20 s"
    "$fuzzer" -max_total_time=20 -print_final_stats=0 2>&1 | tail -n 2
done

step "All tests passed in $(( $(date +%s) - started )) s"
