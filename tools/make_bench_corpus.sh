#!/usr/bin/env bash
# Builds the decode benchmark's corpus from the photographs of Debian's
# mate-backgrounds (tools/install-deps.sh bench):
#  - photographs as the package ships them, bytes unchanged (their own
#    layouts and qualities; two of them are progressive);
#  - one photograph re-encoded at qualities 75, 90 and 95 in 4:2:0, 4:2:2,
#    4:4:4 and greyscale, and a second one in 4:2:0;
#  - progressive files: jpegtran's own progression of two re-encodes, and
#    one from a scan script with two levels of successive approximation;
#  - a 4:2:0 file with a restart marker after every MCU row, and two
#    heavier ones with the same markers added losslessly, as cameras write
#    them (the 18 megapixel one and the shipped 4:2:2 photograph);
#  - the show's size (1024x768), one of about 18 megapixels, and two under
#    half a megapixel (where a decode is too short for threads to pay).
# Every progressive file has "prog" in its name; tools/bench_report.py
# reports those apart from the sequential ones.
# usage: make_bench_corpus.sh OUTPUT_DIR
set -euo pipefail
out=${1:?usage: make_bench_corpus.sh OUTPUT_DIR}
photos=/usr/share/backgrounds/mate
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# As shipped.
cp "$photos/nature/Storm.jpg" "$out/shipped-storm-422.jpg"
cp "$photos/nature/LadyBird.jpg" "$out/shipped-ladybird-420.jpg"
cp "$photos/nature/TwoWings.jpg" "$out/shipped-twowings-420.jpg"
cp "$photos/desktop/GreenTraditional.jpg" "$out/shipped-greentraditional-444.jpg"
cp "$photos/nature/FreshFlower.jpg" "$out/shipped-freshflower-prog420.jpg"
cp "$photos/abstract/Elephants.jpg" "$out/shipped-elephants-prog444.jpg"

djpeg -pnm "$photos/nature/Storm.jpg" > "$tmp/storm.ppm"
djpeg -pnm "$photos/nature/LadyBird.jpg" > "$tmp/ladybird.ppm"
djpeg -pnm "$photos/abstract/Elephants_5640x3172.jpg" > "$tmp/big.ppm"
djpeg -pnm -scale 1/2 "$photos/nature/TwoWings.jpg" > "$tmp/twowings.ppm"

for q in 75 90 95; do
  cjpeg -quality $q -sample 2x2 "$tmp/storm.ppm" > "$out/storm-420-q$q.jpg"
  cjpeg -quality $q -sample 2x1 "$tmp/storm.ppm" > "$out/storm-422-q$q.jpg"
  cjpeg -quality $q -sample 1x1 "$tmp/storm.ppm" > "$out/storm-444-q$q.jpg"
  cjpeg -quality $q -grayscale "$tmp/storm.ppm" > "$out/storm-grey-q$q.jpg"
done
cjpeg -quality 90 -sample 2x2 "$tmp/ladybird.ppm" > "$out/ladybird-420-q90.jpg"
cjpeg -quality 90 -sample 2x2 -restart 1 "$tmp/storm.ppm" > "$out/storm-420-q90-restart.jpg"

jpegtran -progressive "$out/storm-420-q90.jpg" > "$out/storm-prog420-q90.jpg"
jpegtran -progressive "$out/ladybird-420-q90.jpg" > "$out/ladybird-prog420-q90.jpg"
# DC in two steps of successive approximation, the AC bands of every
# component first to within 4, then refined bit by bit.
cat > "$tmp/scans.txt" <<'EOF'
0,1,2: 0-0, 0, 1;
0: 1-5, 0, 2;
1: 1-63, 0, 2;
2: 1-63, 0, 2;
0: 6-63, 0, 2;
0,1,2: 0-0, 1, 0;
0: 1-63, 2, 1;
1: 1-63, 2, 1;
2: 1-63, 2, 1;
0: 1-63, 1, 0;
1: 1-63, 1, 0;
2: 1-63, 1, 0;
EOF
jpegtran -scans "$tmp/scans.txt" "$out/storm-422-q90.jpg" > "$out/storm-prog422-sa-q90.jpg"

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
cjpeg -quality 90 -sample 2x2 "$tmp/show.ppm" > "$out/show-1024x768-420-q90.jpg"
cjpeg -quality 90 -sample 2x2 "$tmp/big.ppm" > "$out/elephants-18mp-420-q90.jpg"
jpegtran -restart 1 "$out/elephants-18mp-420-q90.jpg" > "$out/elephants-18mp-420-q90-restart.jpg"
jpegtran -restart 1 "$out/shipped-storm-422.jpg" > "$out/shipped-storm-422-restart.jpg"
djpeg -pnm -scale 1/4 "$photos/nature/LadyBird.jpg" > "$tmp/small.ppm"
cjpeg -quality 90 -sample 2x2 "$tmp/small.ppm" > "$out/small-640x400-420-q90.jpg"
jpegtran -progressive "$out/small-640x400-420-q90.jpg" > "$out/small-640x400-prog420-q90.jpg"
ls "$out"
