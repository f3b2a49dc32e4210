#!/usr/bin/env bash
# A long fuzzing campaign: every target runs until FUZZ_RUNS executions (default 5 million) or
# FUZZ_SECONDS (default 1800), whichever comes first, FUZZ_JOBS targets at a time (default 2).
# Each starts from its kept corpus (fuzz/corpus/NAME) and its seeds; what it reaches is minimised
# and written back to fuzz/corpus/NAME, replacing the old one only when the merge succeeded.
# Prints per target: executions, coverage at the start and at the end, and any finding.
set -euo pipefail
build=${1:-build-fuzz}
seconds=${FUZZ_SECONDS:-1800}
runs=${FUZZ_RUNS:-5000000}
jobs=${FUZZ_JOBS:-2}
work="$build/long"
mkdir -p "$work"

run_one() {
  local f=$1 name corpus seeds scratch log merged
  name=$(basename "$f")
  corpus="fuzz/corpus/$name"
  seeds="fuzz/seeds/$name"
  scratch="$work/$name.new"
  log="$work/$name.log"
  rm -rf "$scratch" && mkdir -p "$scratch" "$corpus"
  local dirs=("$scratch" "$corpus")
  [ -d "$seeds" ] && dirs+=("$seeds")
  local status=0
  "$f" -max_total_time="$seconds" -runs="$runs" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$work/crash-$name-" "${dirs[@]}" > "$log" 2>&1 || status=$?
  merged="$work/$name.merged"
  rm -rf "$merged" && mkdir -p "$merged"
  if "$f" -merge=1 "$merged" "$corpus" "$scratch" > "$work/$name.merge.log" 2>&1; then
    rm -rf "$corpus" && mv "$merged" "$corpus"
  fi
  local execs start end
  execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
  start=$(grep -m1 -o 'INITED cov: [0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
  end=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || echo '?')
  local finding="none"
  if [ $status -ne 0 ]; then
    finding="FAILED (exit $status): $(ls "$work"/crash-"$name"-* 2>/dev/null | tr '\n' ' ')"
  fi
  printf '%-22s executions %-10s edges %s -> %s  corpus %s files  findings: %s\n' \
    "$name" "$execs" "$start" "$end" "$(ls "$corpus" | wc -l)" "$finding"
  [ $status -eq 0 ]
}
export -f run_one
export work seconds runs

ls "$build"/bin/*_fuzz | xargs -P "$jobs" -I{} bash -c 'run_one "$@"' _ {}
