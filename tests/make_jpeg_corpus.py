#!/usr/bin/env python3
"""Builds the JPEG test corpus into a directory: PPM/PGM pictures written
here, compressed with cjpeg and rewritten with jpegtran in every layout and
coding mode the decoder accepts, plus a few it must refuse.

Writes MANIFEST there: one line per file, "name expected_status offset",
where the status is the decoder's code after reading the headers (0 =
accepted) and offset is where the start-of-image marker begins (a reference
reader that wants it at the front starts there).

usage: make_jpeg_corpus.py OUTPUT_DIR
"""
import os
import re
import subprocess
import sys


def status_codes():
    """The decoder's status codes by name, from the one list in its header."""
    header = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "jpeg", "jpeg_decoder.h")
    with open(header) as f:
        codes = dict((name, int(value)) for name, value in re.findall(r"X\((\w+), (-\d+)\)", f.read()))
    assert codes, "no status codes found in " + header
    return codes


STATUS = status_codes()


def picture(width, height, channels, seed):
    """A smooth gradient with some texture, so that every code length and
    several Huffman symbols occur."""
    data = bytearray()
    for y in range(height):
        for x in range(width):
            for c in range(channels):
                v = (x * (3 + c) + y * (5 - c) + seed * 17 + ((x * y) % 7) * 9) & 255
                data.append(v)
    return data


def write_pnm(path, width, height, channels, seed):
    magic = b"P6" if channels == 3 else b"P5"
    with open(path, "wb") as f:
        f.write(magic + b"\n%d %d\n255\n" % (width, height))
        f.write(picture(width, height, channels, seed))


def run(args):
    # cjpeg warns about coarse tables on purpose here; show its words only
    # when it fails.
    done = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if done.returncode != 0:
        sys.stderr.write(done.stderr.decode(errors="replace"))
        raise SystemExit("failed: " + " ".join(args))


def insert_after_soi(data, segments):
    assert data[:2] == b"\xff\xd8"
    return data[:2] + segments + data[2:]


def segment(code, payload):
    return bytes([0xFF, code]) + (len(payload) + 2).to_bytes(2, "big") + payload


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    manifest = []

    def cjpeg(name, source, *options):
        path = os.path.join(out, name)
        run(["cjpeg", *options, "-outfile", path, source])
        manifest.append((name, 0))
        return path

    sizes = [(1, 1), (17, 9), (37, 23), (64, 48), (255, 129), (16, 16), (8, 600), (7, 3), (17, 17), (33, 31)]
    layouts = {"444": "1x1,1x1,1x1", "422": "2x1,1x1,1x1", "440": "1x2,1x1,1x1", "420": "2x2,1x1,1x1"}
    for i, (w, h) in enumerate(sizes):
        rgb = os.path.join(out, "src_%dx%d.ppm" % (w, h))
        grey = os.path.join(out, "src_%dx%d.pgm" % (w, h))
        write_pnm(rgb, w, h, 3, i)
        write_pnm(grey, w, h, 1, i)
        tag = "%dx%d" % (w, h)
        cjpeg("grey_%s.jpg" % tag, grey, "-grayscale")
        cjpeg("grey_prog_%s.jpg" % tag, grey, "-grayscale", "-progressive")
        for name, sample in layouts.items():
            cjpeg("%s_%s.jpg" % (name, tag), rgb, "-sample", sample)
            cjpeg("%s_prog_%s.jpg" % (name, tag), rgb, "-sample", sample, "-progressive")
            cjpeg("%s_opt_%s.jpg" % (name, tag), rgb, "-sample", sample, "-optimize")

    rgb = os.path.join(out, "src_37x23.ppm")
    grey = os.path.join(out, "src_37x23.pgm")
    big = os.path.join(out, "src_255x129.ppm")
    odd = os.path.join(out, "src_33x31.ppm")
    # Every layout over the range of qualities, and restarts after every MCU.
    for quality in (5, 30, 60, 85, 100):
        cjpeg("grey_q%d_33x31.jpg" % quality, os.path.join(out, "src_33x31.pgm"), "-grayscale",
              "-quality", str(quality))
        for name, sample in layouts.items():
            cjpeg("%s_q%d_33x31.jpg" % (name, quality), odd, "-sample", sample, "-quality", str(quality))
    # Noise: large coefficients, long codes and the full run/size alphabet.
    noise = os.path.join(out, "src_noise_41x27.ppm")
    state = 12345
    with open(noise, "wb") as f:
        f.write(b"P6\n41 27\n255\n")
        pixels = bytearray()
        for _ in range(41 * 27 * 3):
            state = (state * 1103515245 + 12345) & 0x7FFFFFFF
            pixels.append(state >> 23)
        f.write(pixels)
    for quality in (75, 100):
        cjpeg("grey_noise_q%d_41x27.jpg" % quality, noise, "-grayscale", "-quality", str(quality))
        for name, sample in layouts.items():
            cjpeg("%s_noise_q%d_41x27.jpg" % (name, quality), noise, "-sample", sample, "-quality", str(quality))
    for name, sample in layouts.items():
        cjpeg("%s_restart_1b_33x31.jpg" % name, odd, "-sample", sample, "-restart", "1B")
        # Quality 2 needs quantisation steps above 255: 16-bit tables.
        cjpeg("%s_q2_16bit_33x31.jpg" % name, odd, "-sample", sample, "-quality", "2")
    # Restart markers every MCU row, every block, every three MCUs.
    base = cjpeg("420_restart_rows.jpg", big, "-sample", "2x2,1x1,1x1", "-restart", "1")
    cjpeg("444_restart_1b.jpg", rgb, "-restart", "1B")
    cjpeg("422_restart_3b_prog.jpg", big, "-sample", "2x1,1x1,1x1", "-restart", "3B", "-progressive")
    # Quality 1 without forced baseline: 16-bit quantisation tables (SOF1).
    cjpeg("420_q1_16bit.jpg", big, "-quality", "1")
    cjpeg("grey_q1_16bit.jpg", grey, "-grayscale", "-quality", "1")
    cjpeg("444_q100.jpg", rgb, "-quality", "100")
    cjpeg("rgb_ids.jpg", rgb, "-rgb")

    def jpegtran(name, source, *options):
        path = os.path.join(out, name)
        run(["jpegtran", *options, "-outfile", path, source])
        manifest.append((name, 0))

    jpegtran("tran_prog.jpg", base, "-progressive")
    jpegtran("tran_restart.jpg", os.path.join(out, "444_64x48.jpg"), "-restart", "2B")
    jpegtran("tran_prog_restart.jpg", os.path.join(out, "440_255x129.jpg"), "-progressive", "-restart", "1")

    # A spectral-selection-only script: several AC scans per component.
    scans = os.path.join(out, "scans.txt")
    with open(scans, "w") as f:
        f.write("0,1,2: 0-0, 0, 0;\n0: 1-5, 0, 0;\n0: 6-63, 0, 0;\n1: 1-63, 0, 0;\n2: 1-63, 0, 0;\n")
    cjpeg("420_scans.jpg", big, "-sample", "2x2,1x1,1x1", "-scans", scans)

    # Successive approximation over several levels, spectral selection,
    # non-interleaved and partly interleaved DC scans, with and without
    # restarts, at sizes that leave partial MCUs.
    sa_colour = os.path.join(out, "sa_colour.txt")
    with open(sa_colour, "w") as f:
        f.write("0: 0-0, 0, 2;\n1,2: 0-0, 0, 2;\n0,1,2: 0-0, 2, 1;\n0,1,2: 0-0, 1, 0;\n"
                "0: 1-2, 0, 3;\n0: 3-63, 0, 3;\n1: 1-63, 0, 1;\n2: 1-10, 0, 0;\n2: 11-63, 0, 0;\n"
                "0: 1-63, 3, 2;\n0: 1-63, 2, 1;\n0: 1-63, 1, 0;\n1: 1-63, 1, 0;\n")
    sa_grey = os.path.join(out, "sa_grey.txt")
    with open(sa_grey, "w") as f:
        f.write("0: 0-0, 0, 1;\n0: 1-9, 0, 2;\n0: 10-63, 0, 2;\n0: 0-0, 1, 0;\n0: 1-63, 2, 1;\n0: 1-63, 1, 0;\n")
    for tag in ("33x31", "255x129", "7x3"):
        cjpeg("grey_sa_%s.jpg" % tag, os.path.join(out, "src_%s.pgm" % tag), "-grayscale", "-scans", sa_grey)
        cjpeg("grey_sa_restart_%s.jpg" % tag, os.path.join(out, "src_%s.pgm" % tag), "-grayscale",
              "-scans", sa_grey, "-restart", "2B")
        for name, sample in layouts.items():
            source = os.path.join(out, "src_%s.ppm" % tag)
            cjpeg("%s_sa_%s.jpg" % (name, tag), source, "-sample", sample, "-scans", sa_colour)
            cjpeg("%s_sa_restart_%s.jpg" % (name, tag), source, "-sample", sample, "-scans", sa_colour,
                  "-restart", "3B")
    for name, sample in layouts.items():
        cjpeg("%s_prog_noise_q100_41x27.jpg" % name, noise, "-sample", sample, "-quality", "100", "-progressive")

    # The same coefficients coded sequentially and progressively: same_X_seq.jpg
    # and every other same_X_*.jpg must decode to identical bytes.
    def same(tag, source, *options):
        seq = cjpeg("same_%s_seq.jpg" % tag, source, *options)
        jpegtran("same_%s_prog.jpg" % tag, seq, "-progressive")
        jpegtran("same_%s_sa.jpg" % tag, seq, "-scans", sa_grey if "-grayscale" in options else sa_colour)
        jpegtran("same_%s_prog_restart.jpg" % tag, seq, "-progressive", "-restart", "1B")

    same("grey", os.path.join(out, "src_255x129.pgm"), "-grayscale")
    same("grey_noise", noise, "-grayscale", "-quality", "100")
    for name, sample in layouts.items():
        same(name, big, "-sample", sample)
        same(name + "_noise", noise, "-sample", sample, "-quality", "95")
        same(name + "_odd", os.path.join(out, "src_17x9.ppm"), "-sample", sample, "-quality", "50")

    # Segments the decoder skips, in front of everything else.
    with open(os.path.join(out, "420_37x23.jpg"), "rb") as f:
        plain = f.read()
    comment = segment(0xFE, b"a comment")
    app1 = segment(0xE1, b"Exif\0\0" + bytes(range(256)) * 4)
    app15 = segment(0xEF, b"")
    for name, data in [
        ("com_app.jpg", insert_after_soi(plain, comment + app1 + app15)),
        ("junk_120.jpg", b"\x00\x12junk" * 20 + plain),
        ("junk_4095.jpg", bytes([0x20 + (i % 90) for i in range(4095)]) + plain),
        ("junk_ff.jpg", b"\xff\x00\xff\x12x" + plain),
        ("fill_bytes.jpg", plain[:2] + b"\xff\xff\xff" + plain[2:]),
    ]:
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
        manifest.append((name, 0, data.find(b"\xff\xd8")))
    icc = os.path.join(out, "profile.icc")
    with open(icc, "wb") as f:
        f.write(bytes(range(256)) * 300)  # spans two APP2 segments
    cjpeg("444_icc.jpg", rgb, "-icc", icc)
    with open(os.path.join(out, "grey_37x23.jpg"), "rb") as source, \
            open(os.path.join(out, "grey_wrjpgcom.jpg"), "wb") as target:
        subprocess.run(["wrjpgcom", "-comment", "written by the corpus script"],
                       stdin=source, stdout=target, check=True)
    manifest.append(("grey_wrjpgcom.jpg", 0))

    # Accepted by libjpeg, refused by this decoder.
    arith = os.path.join(out, "arith_420.jpg")
    run(["cjpeg", "-arithmetic", "-outfile", arith, rgb])
    manifest.append(("arith_420.jpg", STATUS["arithmetic_coding_unsupported"]))
    run(["cjpeg", "-arithmetic", "-progressive", "-outfile", os.path.join(out, "arith_prog.jpg"), rgb])
    # SOF10 is refused like every other frame type this decoder lacks.
    manifest.append(("arith_prog.jpg", STATUS["unsupported_frame_type"]))

    with open(os.path.join(out, "MANIFEST"), "w") as f:
        for entry in manifest:
            name, status = entry[0], entry[1]
            offset = entry[2] if len(entry) > 2 else 0
            f.write("%s %d %d\n" % (name, status, offset))


if __name__ == "__main__":
    main()
