#!/usr/bin/env bash
# Writes the JPEG fuzzer's seed corpus into fuzz/seeds/jpeg_fuzz: small pictures of each kind the
# decoder handles (4:2:0, 4:2:2, 4:4:4, grey, progressive, restart intervals, an odd size), so the
# fuzzer starts from every path instead of finding the markers by chance. Needs cjpeg
# (libjpeg-turbo-progs); the seeds are committed, so this is only run to remake them.
set -euo pipefail
out=fuzz/seeds/jpeg_fuzz
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$out"
# A colour picture with gradients and some noise, as a binary PPM.
picture() {  # width height file
  python3 - "$1" "$2" "$3" <<'PY'
import random, sys
w, h, path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
random.seed(7)
px = bytearray()
for y in range(h):
    for x in range(w):
        n = random.randint(-20, 20)
        px += bytes(max(0, min(255, v + n)) for v in (x * 255 // w, y * 255 // h, (x ^ y) * 8 % 256))
open(path, "wb").write(b"P6 %d %d 255\n" % (w, h) + px)
PY
}
picture 48 32 "$tmp/a.ppm"
picture 17 13 "$tmp/odd.ppm"
cjpeg -quality 75 -sample 2x2 "$tmp/a.ppm" > "$out/yuv420_q75.jpg"
cjpeg -quality 90 -sample 2x1 "$tmp/a.ppm" > "$out/yuv422_q90.jpg"
cjpeg -quality 90 -sample 1x1 "$tmp/a.ppm" > "$out/yuv444_q90.jpg"
cjpeg -quality 80 -grayscale "$tmp/a.ppm" > "$out/grey_q80.jpg"
cjpeg -quality 75 -progressive "$tmp/a.ppm" > "$out/progressive_q75.jpg"
cjpeg -quality 75 -progressive -grayscale "$tmp/a.ppm" > "$out/progressive_grey.jpg"
cjpeg -quality 75 -restart 1B "$tmp/a.ppm" > "$out/restart_every_mcu.jpg"
cjpeg -quality 75 -optimize "$tmp/a.ppm" > "$out/optimized_tables.jpg"
cjpeg -quality 60 "$tmp/odd.ppm" > "$out/odd_17x13.jpg"
ls -l "$out"
