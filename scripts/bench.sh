#!/usr/bin/env bash
# Runs every benchmark executable, keeps its results as JSON under BUILD/bench/, and prints the
# figures side by side with their references (bench_report), also as BUILD/bench/summary.json.
# The natural-looking test pictures are made here with ffmpeg (once), so the run needs no files.
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
bash "$here/install-deps.sh" --bench
out="$build/bench"
pictures="$out/pictures"
mkdir -p "$pictures"
# A stretch of the Mandelbrot set, softened and with grain added: colour gradients, fine
# texture and noise, closer to what a camera sees than flat synthetic colour.
for size in 640x480 1280x720; do
  file="$pictures/natural-$size.rgb"
  [ -s "$file" ] && continue
  echo "making $file"
  ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi \
    -i "mandelbrot=size=$size:start_x=-0.743643887037151:start_y=0.13182590420533:start_scale=0.003:end_scale=0.003:outer=normalized_iteration_count:maxiter=2000,gblur=sigma=1.0,noise=alls=8:allf=t" \
    -frames:v 1 -pix_fmt rgb24 -f rawvideo "$file.tmp"
  mv "$file.tmp" "$file"
done
export QUORLINA_BENCH_PICTURES="$pictures"
status=0
for b in "$build"/bin/*_bench; do
  [ -x "$b" ] || continue
  name=$(basename "$b")
  echo "== $name"
  "$b" --benchmark_out="$out/$name.json" --benchmark_out_format=json || status=1
done
bash "$here/big_decode_bench.sh" "$build" "$out" || status=1
"$build/bin/bench_report" "$out" || status=1
exit $status
