#!/usr/bin/env bash
# Runs every fuzz target for a bounded time (FUZZ_SECONDS each, default 60) from its seed corpus
# and fails on any crash, leak or time-out. Corpora grow under build-fuzz/corpus/NAME.
set -euo pipefail
build=${1:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
status=0
for f in "$build"/bin/*_fuzz; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  seeds="fuzz/seeds/$name"
  [ -d "$seeds" ] && cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
  [ -d "fuzz/corpus/$name" ] && cp -n "fuzz/corpus/$name"/* "$corpus"/ 2>/dev/null || true
  echo "== $name (${seconds}s)"
  if ! "$f" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$build/crash-$name-" "$corpus" 2> "$build/$name.log"; then
    echo "FAILED: $name (see $build/$name.log)"; tail -30 "$build/$name.log"; status=1
  else
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$build/$name.log" | sed 's/^/  /'
  fi
done
exit $status
