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

usage: bench_report.py RESULT.json
"""
import json
import math
import sys
from collections import defaultdict

DECODERS = ["1T", "all", "turbo", "stb"]
RATIOS = [("1T", "turbo"), ("all", "turbo"), ("1T", "stb"), ("all", "stb"), ("all", "1T")]
# Benchmark names before the threads were measured apart.
ALIASES = {"ours": "1T", "ours-1T": "1T", "ours-all": "all"}
# Output written before the picture's size rode along belongs to no size group.
SIZES = [("", lambda mp: True), (">= 2 MP", lambda mp: mp is not None and mp >= 2),
         ("< 0.5 MP", lambda mp: mp is not None and mp < 0.5)]


def medians(benchmarks):
    """{file: {decoder: benchmark entry}}: the median of repeated runs, or
    the single run where there were no repetitions."""
    runs = {}
    for b in benchmarks:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        if "MP/s" not in b:
            continue
        # "ours-all/FILE.jpg/process_time/real_time": the decoder, then the file.
        decoder, name = b["run_name"].split("/")[:2]
        key = (name, ALIASES.get(decoder, decoder))
        if b.get("run_type") == "aggregate" or key not in runs:
            runs[key] = b
    table = defaultdict(dict)
    for (name, decoder), b in runs.items():
        table[name][decoder] = b
    return table


def main():
    data = json.load(open(sys.argv[1]))
    table = medians(data["benchmarks"])
    context = data.get("context", {})
    if context.get("decoder_threads"):
        print(f"ours-all: {context['decoder_threads']} decoder threads")
    if context.get("busy_processes", "0") != "0":
        print(f"beside {context['busy_processes']} busy processes")
    for kind, progressive in (("sequential", False), ("progressive", True)):
        names = sorted(n for n in table if ("prog" in n) == progressive)
        if not names:
            continue
        print(f"{kind + ' file':36} {'MP':>5} " + " ".join(f"{d:>7}" for d in DECODERS) + "   " +
              " ".join(f"{a + '/' + b:>9}" for a, b in RATIOS) + f" {'cpu/real':>8}   (MP/s)")
        logs = defaultdict(list)
        for name in names:
            r = table[name]
            mp = next((b["MP"] for b in r.values() if "MP" in b), None)
            line = f"{name:36} " + (f"{mp:5.1f} " if mp is not None else f"{'-':>5} ")
            line += " ".join(f"{r[d]['MP/s']:7.1f}" if d in r else f"{'-':>7}" for d in DECODERS) + "  "
            for a, b in RATIOS:
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
        print(f"{'geometric mean (lowest)':36} {'files':>5}  " + " ".join(f"{a + '/' + b:>12}" for a, b in RATIOS))
        for size, _ in SIZES:
            counts = {len(logs[size, a, b]) for a, b in RATIOS} - {0}
            if not counts:
                continue
            line = f"{(kind + ' ' + size).strip():36} {max(counts):5}  "
            for a, b in RATIOS:
                values = logs[size, a, b]
                line += f" {math.exp(sum(values) / len(values)):5.2f} ({math.exp(min(values)):4.2f})" if values else f" {'-':>12}"
            print(line)
        print()


if __name__ == "__main__":
    main()
