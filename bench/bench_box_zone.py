"""Box and ZoneShape side by side with the same rules in plain Python.

Run by hand:  PYTHONPATH=. /usr/bin/python3 bench/bench_box_zone.py
"""
import os
import sys
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from ravu.cv.box import Box  # noqa: E402
from ravu.cv.zone_shape import ZoneShape  # noqa: E402
from tests._box_zone_ref import PyBox, PyZone  # noqa: E402


# ---------------------------------------------------------------- timing

def per_op_ns(fn, loops):
    t0 = time.perf_counter_ns()
    for _ in range(loops):
        fn()
    return (time.perf_counter_ns() - t0) / loops


def side_by_side(py, cc, loops, repeats=40):
    """Best time of each, measured in alternation so that a busy machine
    slows both alike."""
    per_op_ns(py, loops // 10 + 1)
    per_op_ns(cc, loops // 10 + 1)
    tp = tc = float("inf")
    for _ in range(repeats):
        tp = min(tp, per_op_ns(py, loops))
        tc = min(tc, per_op_ns(cc, loops))
    return tp, tc


def fmt(ns):
    return f"{ns / 1e6:.2f} ms" if ns >= 1e5 else f"{ns:.0f} ns"


def main():
    rows = []
    a, b = Box(10, 20, 100, 80), Box(50, 60, 120, 90)
    pa, pb = PyBox(10, 20, 100, 80), PyBox(50, 60, 120, 90)
    assert a.iou(b) == pa.iou(pb)
    rows.append(("Box.iou (ints)", lambda: pa.iou(pb), lambda: a.iou(b), 20000, 2.5))
    fa, fb = Box(10.5, 20.25, 100.0, 80.5), Box(50.0, 60.5, 120.25, 90.0)
    pfa, pfb = PyBox(10.5, 20.25, 100.0, 80.5), PyBox(50.0, 60.5, 120.25, 90.0)
    assert fa.iou(fb) == pfa.iou(pfb)
    rows.append(("Box.iou (floats)", lambda: pfa.iou(pfb), lambda: fa.iou(fb), 20000, 2.5))

    frame = np.zeros((1080, 1920, 3), np.uint8)
    cb, pcb = Box(100, 200, 300, 400), PyBox(100, 200, 300, 400)
    assert np.array_equal(cb.crop(frame), pcb.crop(frame))
    rows.append(("Box.crop", lambda: pcb.crop(frame), lambda: cb.crop(frame), 20000, 1.5))
    rows.append(("Box.create_by_ltrb", lambda: PyBox.create_by_ltrb(10, 20, 50, 80),
                 lambda: Box.create_by_ltrb(10, 20, 50, 80), 20000, 1.0))

    zone = ZoneShape(1920, 1080, [(300, 200), (1500, 150), (1800, 900), (200, 1000)])
    pzone = PyZone(zone)
    assert zone.has(900, 500) == pzone.has(900, 500)
    rows.append(("ZoneShape.has", lambda: pzone.has(900, 500), lambda: zone.has(900, 500),
                 20000, 10.0))

    rng = np.random.default_rng(0)
    big = rng.integers(0, 256, (1080, 1920, 3), np.uint8)
    assert np.array_equal(zone.crop_and_fill(big), pzone.crop_and_fill(big))
    window = zone.crop(big)
    rows.append(("ZoneShape.crop_and_fill 1080p", lambda: pzone.crop_and_fill(big),
                 lambda: zone.crop_and_fill(big), 3, 5.0))

    print(f"{'case':32} {'plain Python':>14} {'ravu':>12} {'speed-up':>9} {'target':>7}")
    for name, py, cc, loops, target in rows:
        tp, tc = side_by_side(py, cc, loops)
        print(f"{name:32} {fmt(tp):>14} {fmt(tc):>12} {tp / tc:>8.2f}x {target:>6.1f}x")
    floor = min(per_op_ns(lambda: np.copy(window), 3) for _ in range(40))
    print(f"{'np.copy of the window (floor)':32} {'':>14} {fmt(floor):>12}")


if __name__ == "__main__":
    main()
