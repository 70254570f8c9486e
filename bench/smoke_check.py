#!/usr/bin/env python3
"""Runs the benchmark driver once at its tiny smoke sizes and checks the shape
of what it prints: every figure has a row, every measured value is a number
with its spread over the runs (or "n/a (no desktop build)" where the desktop
program is missing), and the Markdown file holds the same rows. Timing is
never judged here.

    smoke_check.py SOURCE_DIR BUILD_DIR
"""

import os
import re
import subprocess
import sys

ROWS = ["1", "2", "3", "4a", "4b", "4c", "4d", "5a", "5b", "6", "7a", "7b", "8a", "8b", "9a", "9b",
        "10a", "10b", "10c"]
# Measured beside another figure for comparison, with no target of their own.
COMPARISON_ROWS = {"10c"}
DESKTOP_ROWS = {"4b", "4d", "7a", "7b", "8b", "9a", "9b"}
NUMBER = re.compile(r"[-+]?\d+(\.\d+)?")
# A median, then the lowest and highest run; smoke sizes run each figure once.
SPREAD = re.compile(r"\d[^()]*? \((1 run|min [-+]?\d[^,()]*, max [-+]?\d[^,()]*)\)")


def fail(message, output=""):
    print("bench smoke: " + message)
    if output:
        print(output)
    sys.exit(1)


def main():
    source, build = sys.argv[1], sys.argv[2]
    out_md = os.path.join(build, "bench-smoke.md")
    if os.path.exists(out_md):
        os.remove(out_md)
    proc = subprocess.run([os.path.join(source, "bench", "run_benchmarks.sh"), "--smoke", build],
                          capture_output=True, text=True, timeout=600)
    output = proc.stdout + proc.stderr
    if proc.returncode != 0:
        fail(f"the driver exited with {proc.returncode}", output)

    desktop = os.access(os.path.join(build, "flash3"), os.X_OK)
    rows = {}
    for line in proc.stdout.splitlines():
        cells = re.split(r"\s{2,}", line.strip())
        if cells and cells[0] in ROWS:
            if len(cells) != 5:
                fail(f"row {cells[0]} has {len(cells)} columns, not 5: {line!r}", output)
            rows[cells[0]] = cells
    missing = [r for r in ROWS if r not in rows]
    if missing:
        fail("no row for figure(s) " + ", ".join(missing), output)

    for fid, (_, figure, value, target, holds) in rows.items():
        if holds not in ("yes", "no", "n/a"):
            fail(f"row {fid}: holds is {holds!r}", output)
        if fid in COMPARISON_ROWS:
            if target != "-" or holds != "n/a":
                fail(f"row {fid} is a comparison: no target, not judged", output)
        elif not NUMBER.search(target):
            fail(f"row {fid}: the target {target!r} names no number", output)
        if value == "n/a (no desktop build)":
            if desktop or fid not in DESKTOP_ROWS:
                fail(f"row {fid} was not measured although it could be", output)
            continue
        if value.startswith("error") or not NUMBER.search(value):
            fail(f"row {fid}: the measured value {value!r} is not a number", output)
        if not SPREAD.search(value):
            fail(f"row {fid}: the measured value {value!r} does not show its runs", output)
        if holds == "n/a" and fid not in COMPARISON_ROWS:
            fail(f"row {fid}: measured but not judged against its target", output)
    # Figure 3 gives three numbers.
    if len(SPREAD.findall(rows["3"][2])) < 3:
        fail("figure 3 should give the median, the 99th percentile and the longest interval", output)

    if not os.path.exists(out_md):
        fail("no Markdown table was written", output)
    with open(out_md) as f:
        md = f.read()
    md_rows = re.findall(r"^\| (\w+) \|", md, re.M)
    if [r for r in md_rows if r != "#"] != ROWS:
        fail(f"the Markdown rows are {md_rows}, not {ROWS}", md)
    if not re.search(r"\d+ cores", md):
        fail("the Markdown file does not name the machine", md)
    print(proc.stdout)
    print("bench smoke: every figure measured, table well formed")


if __name__ == "__main__":
    main()
