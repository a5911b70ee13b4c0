#!/usr/bin/env python3
"""Writes the show's XM module and the music layer's test modules.

    python3 tools/make_module.py              writes data/lofasz.xm
    python3 tools/make_module.py --tests DIR  writes the test modules into DIR
    python3 tools/make_module.py --out FILE   writes the show's module to FILE

Everything is computed here: the instruments are synthesised sample data and
the tune is our own, so the output is the same on every run.
"""

import argparse
import math
import os
import random
import struct
import sys

# ---------------------------------------------------------------------------
# XM writer

NOTE_OFF = 97
C4 = 49  # XM note numbers: 1 = C-0, 49 = C-4, 96 = B-7
NOTE_NAMES = {"C": 0, "C#": 1, "D": 2, "D#": 3, "E": 4, "F": 5,
              "F#": 6, "G": 7, "G#": 8, "A": 9, "A#": 10, "B": 11}


def note(name):
    """'A-3' or 'C#4' -> XM note number."""
    name = name.replace("-", "")
    octave = int(name[-1])
    return 1 + octave * 12 + NOTE_NAMES[name[:-1]]


class Sample:
    def __init__(self, data, bits=16, loop_start=0, loop_len=0, pingpong=False,
                 volume=64, finetune=0, panning=128, relnote=0, name=""):
        self.data = data
        self.bits = bits
        self.loop_start = loop_start
        self.loop_len = loop_len
        self.pingpong = pingpong
        self.volume = volume
        self.finetune = finetune
        self.panning = panning
        self.relnote = relnote
        self.name = name


class Instrument:
    def __init__(self, name, sample, vol_env=None, vol_sustain=None, fadeout=0,
                 vibrato=(0, 0, 0, 0)):
        self.name = name
        self.sample = sample
        self.vol_env = vol_env or []     # [(tick, volume 0..64)]
        self.vol_sustain = vol_sustain   # point index or None
        self.fadeout = fadeout
        self.vibrato = vibrato           # type, sweep, depth, rate


class Pattern:
    def __init__(self, rows, channels):
        self.rows = rows
        self.channels = channels
        self.cells = {}

    def put(self, row, ch, note=0, ins=0, vol=0, eff=0, param=0):
        """vol is the raw volume-column byte (0x10 + v sets volume v)."""
        if not 0 <= row < self.rows or not 0 <= ch < self.channels:
            raise ValueError("cell out of range")
        old = self.cells.get((row, ch), (0, 0, 0, 0, 0))
        new = (note or old[0], ins or old[1], vol or old[2],
               eff if (eff or param) else old[3], param if (eff or param) else old[4])
        self.cells[(row, ch)] = new

    def effect(self, row, ch, eff, param):
        old = self.cells.get((row, ch), (0, 0, 0, 0, 0))
        self.cells[(row, ch)] = old[:3] + (eff, param)

    def packed(self):
        out = bytearray()
        for r in range(self.rows):
            for c in range(self.channels):
                n, i, v, e, p = self.cells.get((r, c), (0, 0, 0, 0, 0))
                fields = [(0x01, n), (0x02, i), (0x04, v), (0x08, e), (0x10, p)]
                mask = 0x80
                for bit, val in fields:
                    if val:
                        mask |= bit
                out.append(mask)
                for bit, val in fields:
                    if val:
                        out.append(val)
        return bytes(out)


def vol(v):
    return 0x10 + max(0, min(64, int(round(v))))


def _fixed(text, n):
    raw = text.encode("ascii")[:n]
    return raw + b" " * (n - len(raw)) if n <= 22 else raw + b"\0" * (n - len(raw))


def _sample_bytes(s):
    out = bytearray()
    prev = 0
    if s.bits == 16:
        for x in s.data:
            x = max(-32768, min(32767, int(x)))
            out += struct.pack("<h", ((x - prev + 32768) & 0xFFFF) - 32768)
            prev = x
    else:
        for x in s.data:
            x = max(-128, min(127, int(x)))
            out.append((x - prev) & 0xFF)
            prev = x
    return bytes(out)


def write_xm(path, name, speed, bpm, orders, patterns, instruments, channels):
    out = bytearray()
    out += b"Extended Module: " + _fixed(name, 20) + b"\x1a" + _fixed("make_module.py", 20)
    out += struct.pack("<HI", 0x0104, 276)
    out += struct.pack("<HHHHHHHH", len(orders), 0, channels, len(patterns),
                       len(instruments), 1, speed, bpm)
    out += bytes(orders) + b"\0" * (256 - len(orders))
    for p in patterns:
        data = p.packed()
        out += struct.pack("<IBHH", 9, 0, p.rows, len(data)) + data
    for ins in instruments:
        s = ins.sample
        head = bytearray()
        head += _fixed(ins.name, 22) + b"\0" + struct.pack("<H", 1)
        head += struct.pack("<I", 40) + b"\0" * 96
        env = list(ins.vol_env)[:12]
        for x, y in env + [(0, 0)] * (12 - len(env)):
            head += struct.pack("<HH", x, y)
        head += b"\0" * 48  # panning envelope
        head += bytes([len(env), 0])
        head += bytes([ins.vol_sustain or 0, 0, 0, 0, 0, 0])
        vtype = (1 if env else 0) | (2 if ins.vol_sustain is not None else 0)
        head += bytes([vtype, 0]) + bytes(ins.vibrato)
        head += struct.pack("<H", ins.fadeout)
        head += b"\0" * (263 - 4 - len(head))
        out += struct.pack("<I", 263) + head
        width = 2 if s.bits == 16 else 1
        stype = (2 if s.pingpong else 1) if s.loop_len else 0
        if s.bits == 16:
            stype |= 0x10
        out += struct.pack("<III", len(s.data) * width, s.loop_start * width, s.loop_len * width)
        out += struct.pack("<BbBBbB", s.volume, s.finetune, stype, s.panning, s.relnote, 0)
        out += _fixed(s.name, 22)
        out += _sample_bytes(s)
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "wb") as f:
        f.write(out)


# ---------------------------------------------------------------------------
# Test modules. Their timelines are what the music layer's tests expect, so a
# change here goes with a change there.

def _blip():
    # 8363 Hz at C-4: a short decaying square, enough to hear that rows play.
    data = [int(6000 * math.exp(-i / 400.0)) * (1 if (i // 16) % 2 else -1) for i in range(1600)]
    return Instrument("blip", Sample(data))


def write_test_modules(directory):
    os.makedirs(directory, exist_ok=True)
    blip = _blip()

    # fast.xm: the show's 18 orders of 64 rows at speed 1, 250 BPM: 441 frames
    # per tick at 44100 Hz, 64 rows in 0.64 s, 11.52 s in all.
    pats = []
    for o in range(18):
        p = Pattern(64, 2)
        for r in range(0, 64, 4):
            p.put(r, 0, note=C4 + (o % 12), ins=1, vol=vol(40))
        pats.append(p)
    write_xm(os.path.join(directory, "fast.xm"), "fast", 1, 250, list(range(18)), pats, [blip], 2)

    # smooth.xm: speed 6, 125 BPM (882 frames per tick, 5292 per row), one
    # 64-row pattern: 7.68 s.
    p = Pattern(64, 2)
    for r in range(0, 64, 2):
        p.put(r, 0, note=C4 + 12, ins=1, vol=vol(32))
    write_xm(os.path.join(directory, "smooth.xm"), "smooth", 6, 125, [0], [p], [blip], 2)

    # The small ones run at speed 2, 250 BPM: 441 frames per tick, 882 per row.
    # break.xm: order 0 breaks at row 3 (D05) to row 5 of order 1; order 1
    # plays rows 5 to 7 and the module ends. Rows heard: (0,0..3) (1,5..7).
    p0 = Pattern(8, 2)
    p1 = Pattern(8, 2)
    for r in range(8):
        p0.put(r, 0, note=C4, ins=1)
        p1.put(r, 0, note=C4 + 7, ins=1)
    p0.effect(3, 1, 0x0D, 0x05)
    write_xm(os.path.join(directory, "break.xm"), "break", 2, 250, [0, 1], [p0, p1], [blip], 2)

    # jump.xm: order 0 jumps at row 2 (B02) to order 2, skipping order 1.
    # Rows heard: (0,0..2) (2,0..7).
    p0 = Pattern(8, 2)
    p1 = Pattern(8, 2)
    p2 = Pattern(8, 2)
    for r in range(8):
        p0.put(r, 0, note=C4, ins=1)
        p1.put(r, 0, note=C4 + 3, ins=1)
        p2.put(r, 0, note=C4 + 7, ins=1)
    p0.effect(2, 1, 0x0B, 0x02)
    write_xm(os.path.join(directory, "jump.xm"), "jump", 2, 250, [0, 1, 2], [p0, p1, p2], [blip], 2)

    # delay.xm: one 8-row pattern; row 2 carries EE2, so it lasts 3 x 2 = 6
    # ticks instead of 2. Row starts in ticks: 0 2 4 10 12 14 16 18, 20 ticks.
    p0 = Pattern(8, 2)
    for r in range(8):
        p0.put(r, 0, note=C4 + r, ins=1)
    p0.effect(2, 1, 0x0E, 0xE2)
    write_xm(os.path.join(directory, "delay.xm"), "delay", 2, 250, [0], [p0], [blip], 2)


# ---------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--tests", metavar="DIR", help="write the test modules into DIR")
    ap.add_argument("--out", metavar="FILE", help="where to write the show's module")
    args = ap.parse_args()
    if args.tests:
        write_test_modules(args.tests)
        if not args.out:
            return 0
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = args.out or os.path.join(root, "data", "lofasz.xm")
    write_show_module(out)
    return 0


def write_show_module(path):
    raise NotImplementedError


if __name__ == "__main__":
    sys.exit(main())
