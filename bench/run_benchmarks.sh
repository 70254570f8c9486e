#!/usr/bin/env bash
# Runs every benchmark against the programs in BUILD_DIR and prints one table;
# the table also goes to bench/results.md (with --smoke, to BUILD_DIR instead).
#   bench/run_benchmarks.sh [--smoke] [--only 1,2,...] BUILD_DIR
set -euo pipefail
exec python3 "$(dirname "$0")/bench.py" "$@"
