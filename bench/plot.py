#!/usr/bin/env python3
"""Draws the cost curve that bench.py measured: median milliseconds of a whole
run against the input's size, both on log scales, one line a command and the
floor (a static program that does nothing) as a dashed line.

    python3 bench/plot.py RESULTS.json OUT.svg

Needs matplotlib (Debian's python3-matplotlib). The SVG carries no date and a
fixed id salt, so the same figures give the same file.
"""
import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

STYLE = {  # command: colour, marker
    "zemkar": ("#1f6fb4", "o"),
    "zemkar static": ("#2a9d4b", "s"),
    "cat": ("#888888", "^"),
    "objcopy": ("#c0392b", "v"),
}


def main(results_path, out_path):
    results = json.loads(open(results_path, encoding="utf-8").read())
    sizes = [size / 1e6 for size in results["sizes"]]
    plt.rcParams["svg.hashsalt"] = "zemkar"
    figure, axes = plt.subplots(figsize=(7, 4.2))
    for name, medians in results["medians"].items():
        colour, marker = STYLE.get(name, ("#000000", "."))
        axes.plot(sizes, medians, marker=marker, color=colour, label=name, linewidth=1.5, markersize=4)
    axes.axhline(results["floor"], color="#555555", linestyle="--", linewidth=1,
                 label="floor: a static program that does nothing")
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("input (MB of Intel HEX, two images joined)")
    axes.set_ylabel("whole run, median (ms)")
    axes.set_title("Cost of one conversion by input size")
    axes.grid(True, which="both", linewidth=0.3, alpha=0.5)
    axes.legend(fontsize=8, loc="upper left")
    figure.tight_layout()
    figure.savefig(out_path, metadata={"Date": None} if out_path.endswith(".svg") else None)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
