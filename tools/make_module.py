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

    # tour.xm: the show's orders in one second at speed 1, 250 BPM (441 frames
    # a row): every order plays rows 0-3, but order 4 breaks at its row 3 (D32)
    # to row 32 of order 5, which plays its shaking half, rows 32-63. 100 rows.
    short = Pattern(4, 2)
    short.put(0, 0, note=C4, ins=1, vol=vol(40))
    into_shake = Pattern(4, 2)
    into_shake.put(0, 0, note=C4 + 5, ins=1, vol=vol(40))
    into_shake.effect(3, 1, 0x0D, 0x32)
    shake = Pattern(64, 2)
    for r in range(32, 64, 4):
        shake.put(r, 0, note=C4 + 7, ins=1, vol=vol(40))
    write_xm(os.path.join(directory, "tour.xm"), "tour", 1, 250, [0, 0, 0, 0, 1, 2] + [0] * 12,
             [short, into_shake, shake], [blip], 2)

    # brief.xm: the show's 18 orders of 6 rows each, at speed 1, 250 BPM: 0.06 s
    # an order, 1.08 s in all. Enough to run the show end to end quickly.
    pats = []
    for o in range(18):
        p = Pattern(6, 2)
        p.put(0, 0, note=C4 + (o % 12), ins=1, vol=vol(40))
        pats.append(p)
    write_xm(os.path.join(directory, "brief.xm"), "brief", 1, 250, list(range(18)), pats, [blip], 2)

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
# Instruments of the show's tune. Drums are recorded at DRUM_RATE and played
# at C-4 with relative note +24, which plays them back at that very rate.
# Tonal instruments are loops of 128-frame cycles, also at relative note +24:
# C-4 then sounds at 8363 * 4 / 128 = 261.3 Hz, two cents under concert C.

DRUM_RATE = 8363 * 4
CYCLE = 128
rng = random.Random(1996)


def _norm(data, peak=30000):
    top = max(1e-9, max(abs(x) for x in data))
    return [int(round(x * peak / top)) for x in data]


def _noise(n):
    return [rng.uniform(-1.0, 1.0) for _ in range(n)]


def _highpass(data, a):
    out, prev_x, prev_y = [], 0.0, 0.0
    for x in data:
        prev_y = a * (prev_y + x - prev_x)
        prev_x = x
        out.append(prev_y)
    return out


def _lowpass(data, a):
    out, y = [], 0.0
    for x in data:
        y += a * (x - y)
        out.append(y)
    return out


def make_kick():
    n = int(0.36 * DRUM_RATE)
    out, phase = [], 0.0
    for i in range(n):
        t = i / DRUM_RATE
        freq = 44 + 120 * math.exp(-t / 0.028)
        phase += 2 * math.pi * freq / DRUM_RATE
        body = math.sin(phase) * math.exp(-t / 0.16)
        click = math.exp(-t / 0.0015) * 0.5
        out.append(math.tanh(1.6 * (body + click)))
    return Sample(_norm(out), relnote=24, name="kick")


def make_snare():
    n = int(0.26 * DRUM_RATE)
    hiss = _highpass(_noise(n), 0.75)
    out = []
    for i in range(n):
        t = i / DRUM_RATE
        tone = (math.sin(2 * math.pi * 185 * t) + 0.5 * math.sin(2 * math.pi * 330 * t)) * math.exp(-t / 0.045)
        out.append(0.8 * tone + hiss[i] * math.exp(-t / 0.075))
    return Sample(_norm(out, 27000), relnote=24, name="snare")


def make_hat(decay, length):
    n = int(length * DRUM_RATE)
    hiss = _highpass(_highpass(_noise(n), 0.55), 0.55)
    return Sample(_norm([hiss[i] * math.exp(-i / DRUM_RATE / decay) for i in range(n)], 22000),
                  panning=150, relnote=24, name="hat")


def make_crash():
    # Half the drum rate (relative note +12) keeps the long tail small.
    rate = DRUM_RATE // 2
    n = int(1.3 * rate)
    hiss = _highpass(_noise(n), 0.6)
    out = [(hiss[i] + 0.15 * math.sin(2 * math.pi * 3150 * i / rate)) * math.exp(-i / rate / 0.45)
           for i in range(n)]
    return Sample(_norm(out, 24000), relnote=12, name="crash")


def make_tom():
    n = int(0.3 * DRUM_RATE)
    out, phase = [], 0.0
    for i in range(n):
        t = i / DRUM_RATE
        phase += 2 * math.pi * (110 + 90 * math.exp(-t / 0.05)) / DRUM_RATE
        out.append(math.sin(phase) * math.exp(-t / 0.12))
    return Sample(_norm(out, 26000), relnote=24, name="tom")


def make_noise_loop():
    n = 8192
    return Sample(_norm(_lowpass(_noise(n), 0.5), 20000), loop_start=0, loop_len=n, relnote=24, name="air")


def _cycle(harmonics, cycles=1, detune=(0,), length=CYCLE):
    # harmonics: [(number, amplitude)]; every partial fits the loop a whole
    # number of times, so the loop has no seam.
    n = length * cycles
    out = [0.0] * n
    for d in detune:
        c = cycles + d
        for h, amp in harmonics:
            w = 2 * math.pi * h * c / n
            ph = rng.uniform(0, 2 * math.pi) if len(detune) > 1 else 0.0
            for i in range(n):
                out[i] += amp * math.sin(w * i + ph)
    return out


def make_instruments():
    saw_soft = [(h, 1.0 / h * (0.82 ** h)) for h in range(1, 14)]
    square = [(h, (1.0 / h) * (1.0 if h % 2 else 0.28)) for h in range(1, 17)]
    pad_saw = [(h, 1.0 / h * (0.7 ** h)) for h in range(1, 9)]
    bass = Sample(_norm(_cycle(saw_soft)), loop_len=CYCLE, relnote=24, name="bass")
    lead = Sample(_norm(_cycle(square)), loop_len=CYCLE, relnote=24, name="lead")
    pluck = Sample(_norm(_cycle([(1, 1.0), (2, 0.5), (3, 0.33), (4, 0.12), (6, 0.08)])),
                   loop_len=CYCLE, relnote=24, panning=96, name="pluck")
    pad_data = _norm(_cycle(pad_saw, cycles=128, detune=(-1, 0, 1)), 26000)
    pad = Sample(pad_data, loop_len=len(pad_data), relnote=24, name="pad")
    stab = Sample(list(pad_data), loop_len=len(pad_data), relnote=24, name="stab")

    def one_shot(name, sample):
        return Instrument(name, sample)

    return [
        one_shot("kick", make_kick()),                                   # 1
        one_shot("snare", make_snare()),                                 # 2
        one_shot("closed hat", make_hat(0.022, 0.09)),                   # 3
        one_shot("open hat", make_hat(0.13, 0.4)),                       # 4
        Instrument("crash", make_crash()),                               # 5
        Instrument("bass", bass, vol_env=[(0, 64), (5, 46), (24, 34)], vol_sustain=2, fadeout=3000),  # 6
        Instrument("lead", lead, vol_env=[(0, 10), (2, 64), (14, 48)], vol_sustain=2, fadeout=900,
                   vibrato=(0, 48, 3, 10)),                              # 7
        Instrument("pluck", pluck, vol_env=[(0, 64), (4, 38), (16, 14), (50, 0)]),  # 8
        Instrument("pad", pad, vol_env=[(0, 0), (14, 48), (40, 40)], vol_sustain=2, fadeout=500),  # 9
        Instrument("stab", stab, vol_env=[(0, 64), (8, 34), (40, 8), (70, 0)]),  # 10
        one_shot("tom", make_tom()),                                     # 11
        Instrument("air", make_noise_loop(), vol_env=[(0, 64), (1, 64)], vol_sustain=1, fadeout=1200),  # 12
    ]


KICK, SNARE, HAT, OHAT, CRASH, BASS, LEAD, PLUCK, PAD, STAB, TOM, AIR = range(1, 13)

# Channels.
CK, CS, CH, CC, CB, CL, CA, CHM, CT, CX = 0, 1, 2, 3, 4, 5, 6, 7, 14, 15
PAD_SETS = ((8, 9, 10), (11, 12, 13))
CHANNELS = 16

CHORDS = {
    "Am": ("A-3", "C-4", "E-4"), "F": ("A-3", "C-4", "F-4"), "C": ("G-3", "C-4", "E-4"),
    "G": ("G-3", "B-3", "D-4"), "Em": ("G-3", "B-3", "E-4"), "Dm": ("A-3", "D-4", "F-4"),
}
ROOTS = {"Am": "A-2", "F": "F-2", "C": "C-3", "G": "G-2", "Em": "E-2", "Dm": "D-2"}
VERSE = ("Am", "F", "C", "G")
FUNCTION = ("F", "G", "Em", "Am")


# ---------------------------------------------------------------------------
# Building blocks: each writes one layer into a 64-row pattern of four bars.

def pads(p, prog, level=34, from_row=0):
    for b, chord in enumerate(prog):
        row = 16 * b
        if row < from_row:
            continue
        cur, other = PAD_SETS[b % 2], PAD_SETS[1 - b % 2]
        for ch, name in zip(cur, CHORDS[chord]):
            p.put(row, ch, note=note(name), ins=PAD, vol=vol(level))
        if row > from_row:
            for ch in other:
                p.put(row, ch, note=NOTE_OFF)


def stab(p, row, chord, level=56):
    chans = PAD_SETS[(row // 16 + 1) % 2]
    for ch, name in zip(chans, CHORDS[chord]):
        p.put(row, ch, note=note(name) + 12, ins=STAB, vol=vol(level))


def four_floor(p, level=64, rows=range(0, 64, 4)):
    for r in rows:
        p.put(r, CK, note=C4, ins=KICK, vol=vol(level))


def backbeat(p, level=50, rows=(4, 12, 20, 28, 36, 44, 52, 60)):
    for r in rows:
        p.put(r, CS, note=C4, ins=SNARE, vol=vol(level))


def hats(p, sixteenths=True, level=30, open_level=34):
    for r in range(64):
        if r % 4 == 2 and open_level:
            p.put(r, CH, note=C4, ins=OHAT, vol=vol(open_level))
        elif sixteenths or r % 2 == 0:
            accent = level if r % 2 == 0 else level * 0.6
            p.put(r, CH, note=C4, ins=HAT, vol=vol(accent))


def bass_roll(p, prog, level=44):
    # Off the kick: three sixteenths per beat, octave up on the off-beat.
    for b, chord in enumerate(prog):
        root = note(ROOTS[chord])
        for beat in range(4):
            for k in (1, 2, 3):
                r = 16 * b + 4 * beat + k
                n = root + 12 if k == 2 else root
                p.put(r, CB, note=n, ins=BASS, vol=vol(level if k == 2 else level * 0.8))


def bass_eighths(p, prog, level=40):
    for b, chord in enumerate(prog):
        root = note(ROOTS[chord])
        for k in range(0, 16, 2):
            p.put(16 * b + k, CB, note=root + (12 if k % 4 == 2 else 0), ins=BASS, vol=vol(level))


def arp(p, prog, level=26, step=1, from_row=0, octave=12):
    shape = (0, 1, 2, 1, 3, 2, 1, 2)
    for b, chord in enumerate(prog):
        tones = [note(n) + octave for n in CHORDS[chord]]
        tones.append(tones[0] + 12)
        for k in range(0, 16, step):
            r = 16 * b + k
            if r >= from_row:
                p.put(r, CA, note=tones[shape[(k // step) % len(shape)]], ins=PLUCK, vol=vol(level))


def melody(p, ch, bars, level=44, transpose=0, ins=LEAD):
    # bars: four strings of 16 slots; a slot is a note ("E5", "C#5"), "."
    # (hold) or "^" (release).
    for b, text in enumerate(bars):
        slots = text.split()
        assert len(slots) == 16, text
        for k, s in enumerate(slots):
            r = 16 * b + k
            if s == ".":
                continue
            if s == "^":
                p.put(r, ch, note=NOTE_OFF)
            else:
                p.put(r, ch, note=note(s) + transpose, ins=ins, vol=vol(level))


def crash(p, row, level=48):
    p.put(row, CC, note=C4, ins=CRASH, vol=vol(level))


def snare_fill(p, rows, start=30, end=56, pitch_rise=0):
    rows = list(rows)
    for i, r in enumerate(rows):
        lvl = start + (end - start) * i / max(1, len(rows) - 1)
        p.put(r, CS, note=C4 + (pitch_rise * i) // max(1, len(rows) - 1), ins=SNARE, vol=vol(lvl))


THEME = ("E5 . . D5 . . C5 . A4 . . . C5 . D5 .",
         "C5 . . . A4 . . . C5 . . D5 . . E5 .",
         "G5 . . E5 . . D5 . E5 . . . C5 . . .",
         "D5 . . B4 . . G4 . B4 . . D5 . . E5 .")
THEME_END = THEME[:3] + ("D5 . . B4 . . G4 . A4 . . . ^ . . .",)
# A third (or so) under the theme, for the second pass.
HARMONY = ("C5 . . B4 . . A4 . E4 . . . A4 . B4 .",
           "A4 . . . F4 . . . A4 . . B4 . . C5 .",
           "E5 . . C5 . . B4 . C5 . . . G4 . . .",
           "B4 . . G4 . . D4 . G4 . . B4 . . C5 .")
CALLS = ("A4 . C5 . E5 . F5 . E5 . C5 . A4 . ^ .",
         "B4 . D5 . G5 . A5 . G5 . D5 . B4 . ^ .",
         "E5 . G5 . B5 . C6 . B5 . G5 . E5 . ^ .",
         "A5 . G5 . E5 . C5 . E5 . G5 . A5 . ^ .")
REST = ". . . . . . . . . . . . . . . ."


def compose():
    pats = []

    def new():
        p = Pattern(64, CHANNELS)
        pats.append(p)
        return p

    # Orders 0 and 1: the title. Three hits on rows 0, 2 and 4 (one picture
    # each), then pads and a quiet pluck.
    for o in range(2):
        p = new()
        for r, lvl in ((0, 52), (2, 46), (4, 64)):
            p.put(r, CK, note=C4, ins=KICK, vol=vol(lvl))
            p.put(r, CB, note=note("A-1") + (12 if r == 2 else 0), ins=BASS, vol=vol(lvl * 0.8))
        crash(p, 0, 40)
        crash(p, 4, 56)
        p.put(2, CT, note=C4 - 5, ins=TOM, vol=vol(44))
        p.put(8, CB, note=NOTE_OFF)
        pads(p, VERSE, level=30 + 6 * o, from_row=4)
        if o == 0:
            melody(p, CA, (REST, ". . . . . . . . E5 . . . C5 . . .",
                           "A4 . . . . . . . C5 . . . E5 . . .",
                           "G5 . . . . . . . D5 . . . B4 . . ."), level=28, ins=PLUCK)
        else:
            arp(p, VERSE, level=22, step=2, from_row=16)
            for r in range(16, 64, 2):
                p.put(r, CH, note=C4, ins=HAT, vol=vol(12 + r // 4))
            snare_fill(p, range(56, 64), 18, 40)

    # Orders 2 to 5: the build-up under the rising grey. Sixteenth hats, then
    # kick, pluck and backbeat; order 5 ends in the hits that shake the hat.
    for o in range(2, 6):
        p = new()
        pads(p, VERSE, level=30)
        hats(p, sixteenths=True, level=20 + 4 * (o - 2), open_level=0)
        if o == 2:
            bass_eighths(p, VERSE, level=34)
            p.put(0, CX, note=note("C-3"), ins=AIR, vol=vol(6))
            for r in range(0, 64, 8):
                p.put(r, CX, vol=vol(6 + r // 6))
        if o >= 3:
            four_floor(p, level=48 + 4 * (o - 3), rows=range(0, 64 if o < 5 else 32, 4))
            arp(p, VERSE, level=20 + 3 * (o - 3))
        if o in (3, 4):
            bass_eighths(p, VERSE, level=38)
        if o == 4:
            backbeat(p, level=40)
            melody(p, CL, THEME, level=26)
        if o == 5:
            bass_eighths(p, VERSE[:2], level=42)
            snare_fill(p, range(0, 32, 2), 28, 50)
            # The riser: a held noise that climbs in pitch and loudness.
            p.put(0, CX, note=note("C-3"), ins=AIR, vol=vol(8))
            for r in range(1, 60):
                p.effect(r, CX, 0x01, 0x01)  # 1/16 semitone a tick
                if r % 4 == 0:
                    p.put(r, CX, vol=vol(8 + r * 0.5))
            p.put(60, CX, note=NOTE_OFF)
            # Hits on the rows the shaking picture starts on: big ones at
            # 33 and 41, smaller ones at 49, 53, 57 and 61.
            for r, big in ((33, True), (41, True), (49, False), (53, False), (57, False), (61, False)):
                p.put(r, CK, note=C4, ins=KICK, vol=vol(64 if big else 52))
                p.put(r, CS, note=C4, ins=SNARE, vol=vol(56 if big else 44))
                p.put(r, CB, note=note("C-2" if r < 48 else "G-1"), ins=BASS, vol=vol(54))
                if big:
                    crash(p, r, 56)
                    stab(p, r, "C" if r < 48 else "G", 60)
                else:
                    p.put(r, CT, note=C4 + (r - 49) // 2, ins=TOM, vol=vol(48))
            # Sixteenth snares thicken towards the drop.
            snare_fill(p, range(48, 62), 18, 40, pitch_rise=7)
            for ch in PAD_SETS[0] + PAD_SETS[1]:
                p.put(62, ch, note=NOTE_OFF)

    # Orders 6 to 9: the drop. Kick on every beat (kick1), open hat on the
    # off-beat (the white flash), backbeat snare, rolling bass, the theme.
    for o in range(6, 10):
        p = new()
        four_floor(p)
        backbeat(p, level=46)
        hats(p, sixteenths=o >= 7, level=24, open_level=32)
        bass_roll(p, VERSE)
        pads(p, VERSE, level=24)
        crash(p, 0, 50)
        if o == 6:
            melody(p, CL, THEME, level=44)
        elif o == 7:
            melody(p, CL, THEME, level=44)
            melody(p, CHM, HARMONY, level=30)
        elif o == 8:
            melody(p, CL, THEME, level=40, transpose=12)
            arp(p, VERSE, level=22)
        else:
            melody(p, CL, THEME_END, level=44)
            melody(p, CHM, HARMONY[:3] + (REST,), level=30)
            arp(p, VERSE, level=20)
            snare_fill(p, range(56, 64), 34, 58)
            for r in range(56, 64):
                p.cells.pop((r, CK), None)
            p.put(60, CT, note=C4 + 4, ins=TOM, vol=vol(44))
            p.put(62, CT, note=C4, ins=TOM, vol=vol(48))

    # Orders 10 to 13: the function pictures. Each order opens with a call on
    # the lead over a stab (rows 0-15, the picture), then a half-time groove;
    # rows 57-59 kick three times (kick1 flashes), order 13 ends in a roll
    # and one hit on row 61 ("=").
    for o in range(10, 14):
        p = new()
        crash(p, 0, 52)
        p.put(0, CK, note=C4, ins=KICK, vol=vol(64))
        # Each call outlines its own chord: Fmaj7, G add9, Cmaj7, Am7.
        stab(p, 0, ("F", "G", "C", "Am")[o - 10], 58)
        melody(p, CL, (CALLS[o - 10], REST, REST, REST), level=46)
        pads(p, FUNCTION, level=26, from_row=16)
        for b, chord in enumerate(FUNCTION):
            root = note(ROOTS[chord])
            for k in (0, 3, 6, 10, 12):
                r = 16 * b + k
                if r >= 16:
                    p.put(r, CB, note=root + (12 if k == 6 else 0), ins=BASS, vol=vol(42))
        for r in range(16, 56, 16):
            p.put(r, CK, note=C4, ins=KICK, vol=vol(60))
            p.put(r + 10, CK, note=C4, ins=KICK, vol=vol(44))
            p.put(r + 8, CS, note=C4, ins=SNARE, vol=vol(48))
        for r in range(16, 56, 2):
            p.put(r, CH, note=C4, ins=HAT if r % 4 else OHAT, vol=vol(22 if r % 4 else 18))
        arp(p, FUNCTION, level=18 + 2 * (o - 10), step=1, from_row=16, octave=24)
        if o < 13:
            for r in (57, 58, 59):
                p.put(r, CK, note=C4, ins=KICK, vol=vol(56 + 4 * (r - 57)))
                p.put(r, CT, note=C4 + 2 * (59 - r), ins=TOM, vol=vol(44))
            p.put(56, CB, note=NOTE_OFF)
        else:
            snare_fill(p, range(56, 61), 30, 56, pitch_rise=5)
            p.put(61, CK, note=C4, ins=KICK, vol=vol(64))
            p.put(61, CB, note=note("A-1"), ins=BASS, vol=vol(56))
            crash(p, 61, 60)
            stab(p, 61, "Am", 62)
            for ch in PAD_SETS[0] + PAD_SETS[1]:
                p.put(61, ch, note=NOTE_OFF)

    # Orders 14 to 16: full groove, the pictures swap every beat.
    for o in range(14, 17):
        p = new()
        four_floor(p)
        backbeat(p, level=50)
        hats(p, sixteenths=True, level=26, open_level=34)
        bass_roll(p, VERSE, level=46)
        pads(p, VERSE, level=26)
        arp(p, VERSE, level=22, octave=24)
        crash(p, 0, 54)
        if o == 14:
            melody(p, CL, THEME, level=42, transpose=12)
            melody(p, CHM, THEME, level=30)
        elif o == 15:
            melody(p, CL, THEME, level=42, transpose=12)
            melody(p, CHM, HARMONY, level=32, transpose=12)
        else:
            melody(p, CL, THEME, level=44)
            melody(p, CHM, HARMONY, level=32)
            arp(p, VERSE, level=24, octave=12)
            snare_fill(p, range(56, 64), 36, 60, pitch_rise=6)

    # Order 17: every second row, then every row: eighths, then a sixteenth
    # roll up to the last hit on row 60.
    p = new()
    pads(p, VERSE, level=30)
    for r in range(0, 32, 2):
        p.put(r, CK if r % 4 == 0 else CS, note=C4, ins=KICK if r % 4 == 0 else SNARE, vol=vol(58))
        p.put(r, CB, note=note(ROOTS[VERSE[r // 16]]) + (12 if r % 4 else 0), ins=BASS, vol=vol(46))
        p.put(r, CH, note=C4, ins=OHAT if r % 4 else HAT, vol=vol(28))
    melody(p, CL, THEME[:2] + (REST, REST), level=44, transpose=12)
    four_floor(p, level=60, rows=range(32, 60, 4))
    snare_fill(p, range(32, 60), 26, 62, pitch_rise=12)
    for r in range(32, 60):
        p.put(r, CB, note=note(ROOTS[VERSE[r // 16]]) + (12 if r % 2 else 0), ins=BASS, vol=vol(44))
    arp(p, ("C", "G", "C", "G"), level=26, octave=24, from_row=32)
    p.put(32, CL, note=NOTE_OFF)
    p.put(60, CK, note=C4, ins=KICK, vol=vol(64))
    p.put(60, CB, note=note("A-1"), ins=BASS, vol=vol(60))
    p.put(60, CL, note=note("A-5"), ins=LEAD, vol=vol(48))
    p.put(60, CA, note=NOTE_OFF)
    crash(p, 60, 64)
    stab(p, 60, "Am", 64)
    for ch in PAD_SETS[1]:
        p.put(60, ch, note=NOTE_OFF)
    return pats


def write_show_module(path):
    pats = compose()
    assert len(pats) == 18
    write_xm(path, "lofasz", 6, 150, list(range(18)), pats, make_instruments(), CHANNELS)


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


if __name__ == "__main__":
    sys.exit(main())
