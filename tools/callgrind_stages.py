#!/usr/bin/env python3
"""Counts the instructions of whole decodes by decoding stage, with callgrind
(repeatable, unlike wall-clock time on a shared machine).

Each file is decoded to RGBA by jpeg-decode under valgrind --tool=callgrind,
counting only inside the decode call; every function's own count (inlined
code included) goes to the stage its name belongs to.

usage: callgrind_stages.py JPEG_DECODE_BINARY FILE.jpg...
Environment (JPEG_SIMD_LEVEL, ...) is passed through to the decoder.
"""
import os
import re
import subprocess
import sys
import tempfile

# First match wins.
STAGES = [
    ("huffman+bits", r"decode_baseline_mcu_row|read_entropy_byte|fill_input_buffer|read_byte|"
                     r"dc_initial_block|dc_refinement_block|ac_initial_block|ac_refinement_block|"
                     r"decode_scan_blocks|resync_at_restart|reload_bit_window|read_bits_scan|next_entropy_pair|decode_huffman|"
                     r"decode_block|decode_progressive_scans|scan_bits"),
    ("gathering", r"reconstruct_progressive_row"),
    ("colour", r"convert_|colour"),
    ("upsampling", r"upsample|compute_terms|compute_[ab]_terms|quarter|mcu_to_samples_upsampled"),
    ("idct", r"inverse_dct|transform_block|mcu_to_samples"),
    ("rows+other", r""),  # row copies, headers, store zeroing (memset)
]


def split(binary, path):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        "--toggle-collect=jpeg::decode_jpeg_with_status*",
                        "--toggle-collect=jpeg::decode_jpeg_scaled*", binary, "--components", "4", path,
                        os.path.join(tmp, "out.pam")], check=True, capture_output=True)
        text = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", "--auto=no", out], check=True,
                              capture_output=True, text=True).stdout
    counts = {name: 0 for name, _ in STAGES}
    total = 0
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+(.*)", line)
        if not m:
            continue
        n = int(m.group(1).replace(",", ""))
        what = m.group(2)
        if what.startswith("PROGRAM TOTALS"):
            total = n
            continue
        function = what.split(":", 1)[1] if ":" in what else what
        for name, pattern in STAGES:
            if re.search(pattern, function):
                counts[name] += n
                break
    return total, counts


def main():
    binary = sys.argv[1]
    names = [name for name, _ in STAGES]
    print(f"{'file':32} {'total Mi':>9} " + " ".join(f"{n:>13}" for n in names) + "   (million instructions)")
    for path in sys.argv[2:]:
        total, counts = split(binary, path)
        print(f"{os.path.basename(path):32} {total / 1e6:9.1f} " +
              " ".join(f"{counts[n] / 1e6:13.1f}" for n in names))


if __name__ == "__main__":
    main()
