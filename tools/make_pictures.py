#!/usr/bin/env python3
"""Writes the show's thirteen sample pictures into data/.

Each picture is 1024x768, has its own colour pattern and carries its file
name and JPEG layout as large text, so a person watching the show can tell
them apart. Together they cover every layout the decoder accepts. Needs only
python3 and cjpeg (libjpeg-turbo-progs).

usage: make_pictures.py [OUTPUT_DIR]   (default: data/ beside tools/)
"""
import math
import os
import subprocess
import sys
import tempfile

WIDTH, HEIGHT = 1024, 768

# 5x7 glyphs, one string of five columns per row, '#' set.
FONT = {
    'a': [".....", ".....", ".###.", "....#", ".####", "#...#", ".####"],
    'b': ["#....", "#....", "####.", "#...#", "#...#", "#...#", "####."],
    'c': [".....", ".....", ".###.", "#....", "#....", "#...#", ".###."],
    'd': ["....#", "....#", ".####", "#...#", "#...#", "#...#", ".####"],
    'e': [".....", ".....", ".###.", "#...#", "#####", "#....", ".###."],
    'f': ["..##.", ".#..#", ".#...", "###..", ".#...", ".#...", ".#..."],
    'g': [".....", ".####", "#...#", "#...#", ".####", "....#", ".###."],
    'h': ["#....", "#....", "#.##.", "##..#", "#...#", "#...#", "#...#"],
    'i': ["..#..", ".....", ".##..", "..#..", "..#..", "..#..", ".###."],
    'j': ["...#.", ".....", "..##.", "...#.", "...#.", "#..#.", ".##.."],
    'k': ["#....", "#....", "#..#.", "#.#..", "##...", "#.#..", "#..#."],
    'l': [".##..", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."],
    'm': [".....", ".....", "##.#.", "#.#.#", "#.#.#", "#...#", "#...#"],
    'n': [".....", ".....", "#.##.", "##..#", "#...#", "#...#", "#...#"],
    'o': [".....", ".....", ".###.", "#...#", "#...#", "#...#", ".###."],
    'p': [".....", ".....", "####.", "#...#", "####.", "#....", "#...."],
    'q': [".....", ".....", ".####", "#...#", ".####", "....#", "....#"],
    'r': [".....", ".....", "#.##.", "##..#", "#....", "#....", "#...."],
    's': [".....", ".....", ".####", "#....", ".###.", "....#", "####."],
    't': [".#...", ".#...", "###..", ".#...", ".#...", ".#..#", "..##."],
    'u': [".....", ".....", "#...#", "#...#", "#...#", "#..##", ".##.#"],
    'v': [".....", ".....", "#...#", "#...#", "#...#", ".#.#.", "..#.."],
    'w': [".....", ".....", "#...#", "#...#", "#.#.#", "#.#.#", ".#.#."],
    'x': [".....", ".....", "#...#", ".#.#.", "..#..", ".#.#.", "#...#"],
    'y': [".....", ".....", "#...#", "#...#", ".####", "....#", ".###."],
    'z': [".....", ".....", "#####", "...#.", "..#..", ".#...", "#####"],
    '0': [".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."],
    '1': ["..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."],
    '2': [".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"],
    '3': ["#####", "...#.", "..#..", "...#.", "....#", "#...#", ".###."],
    '4': ["...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."],
    '5': ["#####", "#....", "####.", "....#", "....#", "#...#", ".###."],
    '6': ["..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."],
    '7': ["#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."],
    '8': [".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."],
    '9': [".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."],
    '.': [".....", ".....", ".....", ".....", ".....", ".##..", ".##.."],
    ':': [".....", ".##..", ".##..", ".....", ".##..", ".##..", "....."],
    '-': [".....", ".....", ".....", "#####", ".....", ".....", "....."],
    ' ': [".....", ".....", ".....", ".....", ".....", ".....", "....."],
}

# name, cjpeg options, layout label, pattern, base colour
PICTURES = [
    ("fank.jpg", ["-sample", "2x2"], "4:2:0", "rings", (230, 90, 40)),
    ("sun.jpg", ["-sample", "1x1"], "4:4:4", "sun", (250, 200, 30)),
    ("kick1.jpg", ["-sample", "2x1"], "4:2:2 h2v1", "stripes", (40, 200, 90)),
    ("kick2.jpg", ["-sample", "1x2"], "4:4:0 h1v2", "stripes_v", (40, 120, 230)),
    ("murvhat.jpg", ["-grayscale"], "grey", "checker", (200, 200, 200)),
    ("egyenlo.jpg", ["-sample", "2x2", "-progressive"], "4:2:0 progressive", "diagonal", (180, 40, 200)),
    ("murv.jpg", ["-sample", "2x2", "-restart", "1"], "4:2:0 restart 1 row", "rings", (30, 180, 200)),
    ("murvparaszt.jpg", ["-sample", "1x1", "-progressive"], "4:4:4 progressive", "waves", (220, 60, 120)),
    ("murvtabla.jpg", ["-sample", "2x2"], "4:2:0", "checker", (120, 220, 60)),
    ("function0.jpg", ["-sample", "1x1", "-restart", "3b"], "4:4:4 restart 3 blocks", "plasma", (255, 140, 0)),
    ("function1.jpg", ["-sample", "2x1", "-progressive"], "4:2:2 progressive", "plasma", (0, 160, 255)),
    ("function2.jpg", ["-sample", "1x2", "-restart", "2"], "4:4:0 restart 2 rows", "plasma", (160, 255, 0)),
    ("function3.jpg", ["-grayscale", "-progressive"], "grey progressive", "plasma", (255, 255, 255)),
]


def pattern_value(kind, x, y):
    """A brightness 0..1 for the background pattern."""
    cx, cy = x - WIDTH / 2, y - HEIGHT / 2
    if kind == "rings":
        return 0.5 + 0.5 * math.cos(math.hypot(cx, cy) / 18.0)
    if kind == "sun":
        a = math.atan2(cy, cx)
        return 0.55 + 0.45 * math.cos(a * 12) * max(0.0, 1 - math.hypot(cx, cy) / 700)
    if kind == "stripes":
        return 1.0 if (x // 64) % 2 else 0.35
    if kind == "stripes_v":
        return 1.0 if (y // 48) % 2 else 0.35
    if kind == "checker":
        return 1.0 if (x // 64 + y // 64) % 2 else 0.25
    if kind == "diagonal":
        return 0.5 + 0.5 * math.sin((x + y) / 40.0)
    if kind == "waves":
        return 0.5 + 0.5 * math.sin(x / 50.0 + 3 * math.sin(y / 90.0))
    # plasma
    return 0.5 + 0.25 * math.sin(x / 37.0) + 0.25 * math.sin(math.hypot(cx, cy + 200) / 29.0)


def render(kind, colour, lines):
    rows = []
    for y in range(HEIGHT):
        row = bytearray(WIDTH * 3)
        for x in range(WIDTH):
            v = pattern_value(kind, x, y)
            # Mix the base colour with a complementary tint so the picture is not flat.
            t = x / WIDTH
            for c in range(3):
                base = colour[c] * (0.35 + 0.65 * v)
                comp = (255 - colour[c]) * 0.3 * t
                row[x * 3 + c] = max(0, min(255, int(base + comp)))
        rows.append(row)
    draw_text(rows, lines)
    return rows


def draw_text(rows, lines):
    """Black text on a white box, centred; the first line large."""
    # As large as the widest line allows.
    scales = [min(12, (WIDTH - 80) // (6 * len(lines[0])))] + [6] * (len(lines) - 1)
    heights = [8 * s for s in scales]
    widths = [len(text) * 6 * s for text, s in zip(lines, scales)]
    box_w = max(widths) + 40
    box_h = sum(heights) + 40
    x0 = (WIDTH - box_w) // 2
    y0 = (HEIGHT - box_h) // 2
    for y in range(y0, y0 + box_h):
        for x in range(x0, x0 + box_w):
            rows[y][x * 3:x * 3 + 3] = b"\xff\xff\xff"
    ty = y0 + 20
    for text, s, w, h in zip(lines, scales, widths, heights):
        tx = (WIDTH - w) // 2
        for i, ch in enumerate(text):
            glyph = FONT[ch]
            for gy, bits in enumerate(glyph):
                for gx, bit in enumerate(bits):
                    if bit != '#':
                        continue
                    for py in range(s):
                        yy = ty + gy * s + py
                        xx = tx + (i * 6 + gx) * s
                        rows[yy][xx * 3:(xx + s) * 3] = b"\x00" * (3 * s)
        ty += h


def write_jpeg(path, rows, grey, options):
    with tempfile.NamedTemporaryFile(suffix=".pnm", delete=False) as f:
        if grey:
            f.write(b"P5\n%d %d\n255\n" % (WIDTH, HEIGHT))
            for row in rows:
                f.write(bytes((row[i] * 299 + row[i + 1] * 587 + row[i + 2] * 114) // 1000
                              for i in range(0, len(row), 3)))
        else:
            f.write(b"P6\n%d %d\n255\n" % (WIDTH, HEIGHT))
            for row in rows:
                f.write(row)
        source = f.name
    try:
        subprocess.run(["cjpeg", "-quality", "90", *options, "-outfile", path, source], check=True)
    finally:
        os.unlink(source)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")
    os.makedirs(out, exist_ok=True)
    for name, options, layout, kind, colour in PICTURES:
        rows = render(kind, colour, [name, layout])
        write_jpeg(os.path.join(out, name), rows, "-grayscale" in options, options)
        print("wrote", os.path.join(out, name))


if __name__ == "__main__":
    main()
