"""The hot rows of a benchmark against their floors, and the same rows of
another build side by side.

A benchmark calls `main_rows(argv, cases)`, `cases()` giving a list of
(row, n, {column: (statement, names), ...}):

    bench_x.py --rows              the rows of the modules on the path, JSON
    bench_x.py --against DIR       those rows of this tree and of the build in
                                   DIR (another checkout, built in place), in
                                   alternating processes, as one table

Every figure is ns per execution of the statement, the median of 5 rounds
of n whose columns alternate (so that load from elsewhere falls on all of
them alike), less the bare loop's own cost.
"""
import json
import os
import pathlib
import statistics
import subprocess
import sys
import time

ROUNDS = 5


def _loop(stmt, names):
    ns = dict(names)
    exec(compile("def _f(_n):\n    for _ in range(_n):\n        %s\n" % stmt, "<row>", "exec"), ns)
    return ns["_f"]


def median_ns(cols, n):
    """Median ns per statement of each column over ROUNDS alternating rounds."""
    loops = {k: _loop(stmt, names) for k, (stmt, names) in cols.items()}
    loops[None] = _loop("pass", {})
    for f in loops.values():
        f(max(1, n // 10))
    got = {k: [] for k in loops}
    for _ in range(ROUNDS):
        for k, f in loops.items():
            t0 = time.perf_counter_ns()
            f(n)
            got[k].append((time.perf_counter_ns() - t0) / n)
    bare = statistics.median(got.pop(None))
    return {k: statistics.median(v) - bare for k, v in got.items()}


def _run(script, root, passes):
    env = dict(os.environ, PYTHONPATH=str(root))
    out = subprocess.run([sys.executable, script, "--rows"], env=env, check=True,
                         capture_output=True, text=True).stdout
    passes.append(json.loads(out))


def main_rows(argv, cases):
    """Handles --rows and --against; False when neither was asked for."""
    if "--rows" in argv:
        print(json.dumps({row: median_ns(fns, n) for row, n, fns in cases()}))
        return True
    if "--against" not in argv:
        return False
    other = pathlib.Path(argv[argv.index("--against") + 1]).resolve()
    here = pathlib.Path(__file__).resolve().parents[1]
    script = str(pathlib.Path(sys.argv[0]).resolve())
    before, after = [], []
    for _ in range(2):  # alternate the builds, median of the passes' medians
        _run(script, other, before)
        _run(script, here, after)
    print("ns per call, median of %d rounds; before = %s, after = %s" % (ROUNDS, other, here))
    print("%-44s %10s %10s %10s %10s %8s %8s" % ("row", "Python", "before", "after", "floor",
                                                  "bef/fl", "aft/fl"))
    for row in before[0]:
        def fig(passes, col):
            vals = [p[row][col] for p in passes if col in p[row]]
            return statistics.median(vals) if vals else float("nan")
        py, b, a, f = (fig(before, "python"), fig(before, "ravu"), fig(after, "ravu"),
                       fig(after, "floor"))
        print("%-44s %10.0f %10.0f %10.0f %10.0f %7.2fx %7.2fx" % (row, py, b, a, f, b / f, a / f))
        for col in sorted(set(before[0][row]) - {"python", "ravu", "floor"}):
            print("  %-42s %10.0f" % (col, fig(after, col)))
    return True
