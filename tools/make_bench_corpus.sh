#!/usr/bin/env bash
# Re-encodes real photographs (from Debian's mate-backgrounds) for the decode
# benchmark: 4:2:0, 4:2:2, 4:4:4 and greyscale at quality 90, a 1024x768
# picture, and one of about 18 megapixels.
# usage: make_bench_corpus.sh OUTPUT_DIR
set -euo pipefail
out=${1:?usage: make_bench_corpus.sh OUTPUT_DIR}
photos=/usr/share/backgrounds/mate
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

djpeg -pnm "$photos/nature/Storm.jpg" > "$tmp/storm.ppm"
djpeg -pnm "$photos/nature/LadyBird.jpg" > "$tmp/ladybird.ppm"
djpeg -pnm "$photos/abstract/Elephants_5640x3172.jpg" > "$tmp/big.ppm"
djpeg -pnm -scale 1/2 "$photos/nature/TwoWings.jpg" > "$tmp/twowings.ppm"

cjpeg -quality 90 -sample 2x2 "$tmp/storm.ppm" > "$out/storm-420.jpg"
cjpeg -quality 90 -sample 2x1 "$tmp/storm.ppm" > "$out/storm-422.jpg"
cjpeg -quality 90 -sample 1x1 "$tmp/storm.ppm" > "$out/storm-444.jpg"
cjpeg -quality 90 -grayscale "$tmp/storm.ppm" > "$out/storm-grey.jpg"
cjpeg -quality 90 -sample 2x2 "$tmp/ladybird.ppm" > "$out/ladybird-420.jpg"
# The show's own size: a photograph cropped to 1024x768.
python3 - "$tmp/twowings.ppm" "$tmp/show.ppm" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
# Binary PPM header: magic, width, height, maxval, each followed by white space.
fields, pos = [], 0
while len(fields) < 4:
    while data[pos:pos + 1].isspace():
        pos += 1
    start = pos
    while not data[pos:pos + 1].isspace():
        pos += 1
    fields.append(data[start:pos])
pos += 1
w, h = int(fields[1]), int(fields[2])
assert w >= 1024 and h >= 768, (w, h)
rows = [data[pos + y * w * 3: pos + y * w * 3 + 1024 * 3] for y in range(768)]
open(sys.argv[2], 'wb').write(b"P6\n1024 768\n255\n" + b"".join(rows))
PY
cjpeg -quality 90 -sample 2x2 "$tmp/show.ppm" > "$out/show-1024x768-420.jpg"
cjpeg -quality 90 -sample 2x2 "$tmp/big.ppm" > "$out/elephants-18mp-420.jpg"
ls "$out"
