#!/usr/bin/env python3
"""Summarises decode_bench JSON output: median MP/s per decoder and file, the
ratio of ours to each rival measured in the same run, and the geometric mean
of the ratios, for sequential and progressive files apart (a progressive
file has "prog" in its name, as tools/make_bench_corpus.sh names them).

usage: bench_report.py RESULT.json
"""
import json
import math
import sys
from collections import defaultdict

RIVALS = ["turbo", "stb"]


def main():
    data = json.load(open(sys.argv[1]))
    rate = defaultdict(dict)
    for b in data["benchmarks"]:
        if b.get("aggregate_name", "median") != "median" or "MP/s" not in b:
            continue
        decoder, name = b["run_name"].split("/", 1)
        rate[name][decoder] = b["MP/s"]
    for kind, progressive in (("baseline", False), ("progressive", True)):
        names = sorted(n for n in rate if ("prog" in n) == progressive)
        if not names:
            continue
        print(f"{kind + ' file':36} {'ours':>8} {'turbo':>8} {'stb':>8} {'/turbo':>7} {'/stb':>7}  (MP/s)")
        logs = defaultdict(list)
        for name in names:
            r = rate[name]
            line = f"{name:36} " + " ".join(f"{r.get(d, float('nan')):8.1f}" for d in ["ours"] + RIVALS)
            for d in RIVALS:
                if "ours" in r and d in r:
                    ratio = r["ours"] / r[d]
                    logs[d].append(math.log(ratio))
                    line += f" {ratio:7.2f}"
                else:
                    line += f" {'-':>7}"
            print(line)
        for d in RIVALS:
            if logs[d]:
                mean = math.exp(sum(logs[d]) / len(logs[d]))
                lowest = math.exp(min(logs[d]))
                print(f"{kind} geometric mean ours/{d}: {mean:.2f} (lowest {lowest:.2f}, {len(logs[d])} files)")
        print()


if __name__ == "__main__":
    main()
