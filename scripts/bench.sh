#!/usr/bin/env bash
# Runs every benchmark of bench/ against its peer and prints the ratios.
set -euo pipefail
build=${1:-build}
found=0
for exe in "$build"/bench/*/bench_* "$build"/bin/bench_*; do
  [ -x "$exe" ] || continue
  found=1
  echo "== $(basename "$exe")"
  "$exe"
  echo
done
if [ $found -eq 0 ]; then
  echo "bench: no benchmarks in $build/bench (is Google Benchmark installed?)" >&2
  exit 1
fi
