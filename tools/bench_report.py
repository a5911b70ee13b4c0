#!/usr/bin/env python3
"""Summarises decode_bench JSON output: median MP/s per decoder and file, our
decoder on one thread ("1T") and on all of the default count ("all") against
libjpeg-turbo and stb_image measured in the same run, and the geometric means
of the ratios, for sequential and progressive files apart (a progressive file
has "prog" in its name, as tools/make_bench_corpus.sh names them) and within
each for pictures of 2 megapixels and more and of under half a megapixel.

A ratio is how many times faster the first is: the second's median time over
the first's. cpu/real is the whole process's CPU time over the real time of
ours-all, the cores its decode kept busy (1.00 is one core).

Scaled decodes ("ours-1T-1/8/FILE.jpg") get the same tables per scale, ours
against libjpeg-turbo at that scale; their MP/s counts the full picture's
pixels, so a scale's rate over the full size's is how many times faster that
file decodes at it. Then the largest file's full-size time over its scaled
ones on one thread, and the C interface ("ours-c-1T") against ours-1T.

usage: bench_report.py RESULT.json
"""
import json
import math
import sys
from collections import defaultdict

DECODERS = ["1T", "all", "turbo", "stb"]
RATIOS = [("1T", "turbo"), ("all", "turbo"), ("1T", "stb"), ("all", "stb"), ("all", "1T")]
SCALED_DECODERS = ["1T", "all", "turbo"]
SCALED_RATIOS = [("1T", "turbo"), ("all", "turbo"), ("all", "1T")]
# Benchmark names before the threads were measured apart.
ALIASES = {"ours": "1T", "ours-1T": "1T", "ours-all": "all", "ours-c-1T": "c-1T"}
# Output written before the picture's size rode along belongs to no size group.
SIZES = [("", lambda mp: True), (">= 2 MP", lambda mp: mp is not None and mp >= 2),
         ("< 0.5 MP", lambda mp: mp is not None and mp < 0.5)]


def split_name(run_name):
    """(decoder, scale denominator, file) of a benchmark's run name:
    "ours-all/FILE.jpg/process_time/real_time" is at full size (1),
    "ours-all-1/8/FILE.jpg/..." at 1/8."""
    parts = run_name.split("/")
    if parts[0].endswith("-1") and len(parts) > 2 and parts[1].isdigit():
        return parts[0][:-2], int(parts[1]), parts[2]
    return parts[0], 1, parts[1]


def medians(benchmarks):
    """{scale denominator: {file: {decoder: benchmark entry}}}: the median of
    repeated runs, or the single run where there were no repetitions."""
    runs = {}
    for b in benchmarks:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        if "MP/s" not in b:
            continue
        decoder, scale, name = split_name(b["run_name"])
        key = (scale, name, ALIASES.get(decoder, decoder))
        if b.get("run_type") == "aggregate" or key not in runs:
            runs[key] = b
    table = defaultdict(lambda: defaultdict(dict))
    for (scale, name, decoder), b in runs.items():
        table[scale][name][decoder] = b
    return table


def megapixels(row):
    return next((b["MP"] for b in row.values() if "MP" in b), None)


def geometric_mean(values):
    return math.exp(sum(values) / len(values))


def print_tables(table, decoders, ratios, scale_label):
    """Per file the decoders' MP/s and the ratios, then their geometric means
    (and lowest) by size group, sequential and progressive files apart."""
    for kind, progressive in (("sequential", False), ("progressive", True)):
        names = sorted(n for n in table if ("prog" in n) == progressive)
        if not names:
            continue
        print(f"{(kind + ' file ' + scale_label).strip():36} {'MP':>5} " + " ".join(f"{d:>7}" for d in decoders) +
              "   " + " ".join(f"{a + '/' + b:>9}" for a, b in ratios) + f" {'cpu/real':>8}   " +
              ("(MP/s)" if not scale_label else "(MP/s of the full-size picture)"))
        logs = defaultdict(list)
        for name in names:
            r = table[name]
            mp = megapixels(r)
            line = f"{name:36} " + (f"{mp:5.1f} " if mp is not None else f"{'-':>5} ")
            line += " ".join(f"{r[d]['MP/s']:7.1f}" if d in r else f"{'-':>7}" for d in decoders) + "  "
            for a, b in ratios:
                if a in r and b in r:
                    ratio = r[a]["MP/s"] / r[b]["MP/s"]
                    for size, within in SIZES:
                        if within(mp):
                            logs[size, a, b].append(math.log(ratio))
                    line += f" {ratio:9.2f}"
                else:
                    line += f" {'-':>9}"
            busy = r.get("all")
            line += f" {busy['cpu_time'] / busy['real_time']:8.2f}" if busy else f" {'-':>8}"
            print(line)
        print(f"{'geometric mean (lowest)':36} {'files':>5}  " + " ".join(f"{a + '/' + b:>12}" for a, b in ratios))
        for size, _ in SIZES:
            counts = {len(logs[size, a, b]) for a, b in ratios} - {0}
            if not counts:
                continue
            label = " ".join(part for part in (kind, scale_label, size) if part)
            line = f"{label:36} {max(counts):5}  "
            for a, b in ratios:
                values = logs[size, a, b]
                line += f" {geometric_mean(values):5.2f} ({math.exp(min(values)):4.2f})" if values else f" {'-':>12}"
            print(line)
        print()


def print_scale_gain(table):
    """How many times faster the largest file measured at full size and at a
    smaller scale decodes at that scale, on one thread."""
    full = table.get(1, {})
    scales = sorted(s for s in table if s > 1)
    names = [n for n in full if "1T" in full[n] and any("1T" in table[s].get(n, {}) for s in scales)]
    if not names:
        return
    name = max(names, key=lambda n: megapixels(full[n]) or 0)
    base = full[name]["1T"]["MP/s"]
    print(f"ours-1T on the largest file, {name}, at full size and scaled:")
    for s in scales:
        if "1T" in table[s].get(name, {}):
            gain = table[s][name]["1T"]["MP/s"] / base
            print(f"  1/{s}: {gain:5.2f} times as fast, {1 / gain:5.3f} of the full-size time")
    print()


def print_c_interface(table):
    """ours-c-1T over ours-1T per file at full size: below 1.00 the C
    interface is slower."""
    full = table.get(1, {})
    names = sorted(n for n in full if "c-1T" in full[n] and "1T" in full[n])
    if not names:
        return
    print(f"{'C interface file':36} {'c-1T/1T':>9}")
    ratios = []
    for name in names:
        ratios.append(full[name]["c-1T"]["MP/s"] / full[name]["1T"]["MP/s"])
        print(f"{name:36} {ratios[-1]:9.3f}")
    print(f"{'geometric mean (lowest, highest)':36} {geometric_mean([math.log(r) for r in ratios]):9.3f} "
          f"({min(ratios):.3f}, {max(ratios):.3f})")
    print()


def main():
    data = json.load(open(sys.argv[1]))
    table = medians(data["benchmarks"])
    context = data.get("context", {})
    if context.get("decoder_threads"):
        print(f"ours-all: {context['decoder_threads']} decoder threads")
    if context.get("busy_processes", "0") != "0":
        print(f"beside {context['busy_processes']} busy processes")
    if 1 in table:
        print_tables(table[1], DECODERS, RATIOS, "")
    for scale in sorted(s for s in table if s > 1):
        print_tables(table[scale], SCALED_DECODERS, SCALED_RATIOS, f"1/{scale}")
    print_scale_gain(table)
    print_c_interface(table)


if __name__ == "__main__":
    main()
