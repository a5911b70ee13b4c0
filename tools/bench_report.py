#!/usr/bin/env python3
"""Summarises decode_bench JSON output: median MP/s per decoder and file, the
ratio of ours to each rival, and the geometric mean of the ratios.

usage: bench_report.py RESULT.json
"""
import json
import math
import sys
from collections import defaultdict


def main():
    data = json.load(open(sys.argv[1]))
    rate = defaultdict(dict)
    for b in data["benchmarks"]:
        if b.get("aggregate_name", "median") != "median" or "MP/s" not in b:
            continue
        decoder, name = b["run_name"].split("/", 1)
        rate[name][decoder] = b["MP/s"]
    rivals = ["turbo", "stb"]
    print(f"{'file':32} {'ours':>8} {'turbo':>8} {'stb':>8} {'/turbo':>7} {'/stb':>7}")
    logs = defaultdict(list)
    for name in sorted(rate):
        r = rate[name]
        line = f"{name:32} " + " ".join(f"{r.get(d, float('nan')):8.1f}" for d in ["ours"] + rivals)
        for d in rivals:
            if "ours" in r and d in r:
                ratio = r["ours"] / r[d]
                logs[d].append(math.log(ratio))
                line += f" {ratio:7.2f}"
        print(line)
    for d in rivals:
        if logs[d]:
            print(f"geometric mean ours/{d}: {math.exp(sum(logs[d]) / len(logs[d])):.2f}")


if __name__ == "__main__":
    main()
