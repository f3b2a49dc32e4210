#!/usr/bin/env bash
# Runs every benchmark executable and keeps its results as JSON under BUILD/bench/.
set -euo pipefail
build=${1:-build}
mkdir -p "$build/bench"
status=0
for b in "$build"/bin/*_bench; do
  [ -x "$b" ] || continue
  name=$(basename "$b")
  echo "== $name"
  "$b" --benchmark_out="$build/bench/$name.json" --benchmark_out_format=json || status=1
done
echo "results: $build/bench/"
exit $status
