"""Direction and Tripwire side by side with the same rules in plain Python.

Run by hand:  PYTHONPATH=. /usr/bin/python3 bench/bench_direction_tripwire.py
"""
import os
import sys
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from ravu.cv.direction import Direction  # noqa: E402
from ravu.cv.tripwire import Tripwire  # noqa: E402
from tests._line_ref import PyDirection, PyTripwire  # noqa: E402


# ---------------------------------------------------------------- timing

def loop2(fn, a, b, loops):
    for _ in range(loops):
        fn(a, b)


def loop4(fn, a, b, c, d, loops):
    for _ in range(loops):
        fn(a, b, c, d)


def best_ns(py, cc, args, loops, repeats=25):
    """Best ns/call of each over interleaved repeats, so that load from other
    processes hits both sides alike."""
    loop = loop2 if len(args) == 2 else loop4
    loop(py, *args, max(1, loops // 10))
    loop(cc, *args, max(1, loops // 10))
    best = [float("inf"), float("inf")]
    for _ in range(repeats):
        for k, fn in enumerate((py, cc)):
            t0 = time.perf_counter_ns()
            loop(fn, *args, loops)
            best[k] = min(best[k], (time.perf_counter_ns() - t0) / loops)
    return best


def same(a, b):
    if isinstance(a, np.ndarray):
        return np.array_equal(a, b)
    return type(a) is type(b) and a == b


def main():
    pd, cd = PyDirection(120, 340, 610, 95), Direction(120, 340, 610, 95)
    # A counting line across a 1080p frame and a detection's foot point.
    pt, ct = PyTripwire(200, 700, 1700, 640), Tripwire(200, 700, 1700, 640)
    flat_p, flat_c = PyTripwire(200, 700, 1700, 700), Tripwire(200, 700, 1700, 700)
    foot, foot_f = (953, 812), (953.5, 812.25)
    rows = [
        ("Direction.angle", pd.angle, cd.angle, (37, -12), 50000),
        ("  (float vector)", pd.angle, cd.angle, (3.5, 1.25), 50000),
        ("Direction(...)", PyDirection, Direction, (120, 340, 610, 95), 20000),
        ("Tripwire.hor_or_ver_position", pt.hor_or_ver_position, ct.hor_or_ver_position,
         foot, 50000),
        ("  (horizontal line)", flat_p.hor_or_ver_position, flat_c.hor_or_ver_position,
         foot, 50000),
        ("  (float point)", pt.hor_or_ver_position, ct.hor_or_ver_position, foot_f, 50000),
        ("Tripwire.distance", pt.distance, ct.distance, foot, 100000),
        ("  (float point)", pt.distance, ct.distance, foot_f, 100000),
        ("Tripwire.has", pt.has, ct.has, foot, 100000),
        ("Tripwire.angle", pt.angle, ct.angle, (37, -12), 50000),
        ("Tripwire.get_projection", pt.get_projection, ct.get_projection, foot, 10000),
        ("Tripwire(...)", PyTripwire, Tripwire, (200, 700, 1700, 640), 5000),
    ]
    for name, py, cc, args, _ in rows:
        if len(args) == 2:
            assert same(py(*args), cc(*args)), name
    results = [(name, *best_ns(py, cc, args, n)) for name, py, cc, args, n in rows]
    print("%-32s %14s %14s %8s" % ("operation", "Python ns/op", "C++ ns/op", "ratio"))
    for name, py, cc in results:
        print("%-32s %14.0f %14.0f %7.1fx" % (name, py, cc, py / cc))


if __name__ == "__main__":
    main()
