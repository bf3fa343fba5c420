#!/usr/bin/env bash
# Builds the module and its tool (Linux, POSIX backend) and prints the report.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native --target qvtr_tool
exec build/native/bin/qvtr report
