#!/usr/bin/env bash
# Whole-process decode of 3200x2400 pictures: `quorlina decode` against
# `djpeg -dct int -nosmooth -ppm` on the same files, RUNS interleaved runs of each (the two
# alternate, so both see the same share of whatever else the machine is doing). Writes the
# medians of wall time and peak memory, with the output sizes, as OUT_DIR/big_decode.json in the
# shape bench_report reads.
# usage: big_decode_bench.sh BUILD_DIR OUT_DIR [RUNS]
set -euo pipefail
build=$1
out=$2
runs=${3:-5}
quorlina="$build/bin/quorlina"
pictures="$out/pictures"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$pictures"

source_ppm="$pictures/natural-3200x2400.ppm"
if [ ! -s "$source_ppm" ]; then
  echo "making $source_ppm"
  ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi \
    -i "mandelbrot=size=3200x2400:start_x=-0.743643887037151:start_y=0.13182590420533:start_scale=0.003:end_scale=0.003:outer=normalized_iteration_count:maxiter=300,gblur=sigma=1.0,noise=alls=8:allf=t" \
    -frames:v 1 -pix_fmt rgb24 "$source_ppm.tmp.ppm"
  mv "$source_ppm.tmp.ppm" "$source_ppm"
fi
declare -A options=(
  [420_q75]="-quality 75 -sample 2x2"
  [444_q90]="-quality 90 -sample 1x1"
  [progressive_420_q75]="-quality 75 -sample 2x2 -progressive"
)

median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

# Wall seconds and peak kilobytes of one run, as "wall kb".
measure() { /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null 2>&1; cat "$work/time"; }

entries=()
for kind in 420_q75 444_q90 progressive_420_q75; do
  jpeg="$pictures/natural-3200x2400-$kind.jpg"
  [ -s "$jpeg" ] || cjpeg ${options[$kind]} -outfile "$jpeg" "$source_ppm"
  : > "$work/ours" ; : > "$work/theirs"
  for ((i = 0; i < runs; i++)); do
    if ((i % 2 == 0)); then
      measure "$quorlina" decode "$jpeg" "$work/out.bmp" >> "$work/ours"
      measure djpeg -dct int -nosmooth -ppm -outfile "$work/out.ppm" "$jpeg" >> "$work/theirs"
    else
      measure djpeg -dct int -nosmooth -ppm -outfile "$work/out.ppm" "$jpeg" >> "$work/theirs"
      measure "$quorlina" decode "$jpeg" "$work/out.bmp" >> "$work/ours"
    fi
  done
  ours_wall=$(cut -d' ' -f1 "$work/ours" | median)
  ours_kb=$(cut -d' ' -f2 "$work/ours" | median)
  djpeg_wall=$(cut -d' ' -f1 "$work/theirs" | median)
  djpeg_kb=$(cut -d' ' -f2 "$work/theirs" | median)
  ours_worst=$(cut -d' ' -f1 "$work/ours" | sort -g | tail -1)
  bmp_bytes=$(stat -c %s "$work/out.bmp")
  entries+=("{\"name\": \"BigDecode/$kind\", \"run_type\": \"iteration\", \"runs\": $runs, \"ours_wall_s\": $ours_wall, \"ours_wall_worst_s\": $ours_worst, \"djpeg_wall_s\": $djpeg_wall, \"ours_peak_kb\": $ours_kb, \"djpeg_peak_kb\": $djpeg_kb, \"output_bytes\": $bmp_bytes}")
done
{
  echo '{"benchmarks": ['
  (IFS=,; echo "${entries[*]}")
  echo ']}'
} > "$out/big_decode.json"
echo "wrote $out/big_decode.json"
