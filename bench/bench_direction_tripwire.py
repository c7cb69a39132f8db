"""Direction and Tripwire side by side with the same rules in plain Python.

Run by hand:  PYTHONPATH=. /usr/bin/python3 bench/bench_direction_tripwire.py
"""
import math
import time

import numpy as np

from ravu.cv.direction import Direction
from ravu.cv.tripwire import Tripwire


# ---------------------------------------------------------------- plain Python rules

class PyDirection:
    @staticmethod
    def unit_vector(x, y):
        d = math.sqrt(x * x + y * y)
        return x / d, y / d

    def __init__(self, start_x, start_y, end_x, end_y):
        self._start_x = start_x
        self._start_y = start_y
        self._end_x = end_x
        self._end_y = end_y
        x = end_x - start_x
        y = end_y - start_y
        self._x, self._y = self.unit_vector(end_x - start_x, end_y - start_y)
        len = math.sqrt(x * x + y * y)
        self._ax = int(len / 10 * (-self._x - self._y) + self._end_x)
        self._ay = int(len / 10 * (-self._y + self._x) + self._end_y)
        self._bx = int(len / 10 * (-self._x + self._y) + self._end_x)
        self._by = int(len / 10 * (-self._y - self._x) + self._end_y)

    def angle(self, x, y):
        x, y = self.unit_vector(x, y)
        c = self.horizontal_projection_len(x, y)
        if 1 < c <= 1 + 1e-12:
            c = 1.0
        elif -1 - 1e-12 <= c < -1:
            c = -1.0
        return math.acos(c) / math.pi * 180

    def horizontal_projection_len(self, x, y):
        return self._x * x + self._y * y

    def vertical_projection_len(self, x, y):
        return abs(self._x * y - self._y * x)


class PyTripwire:
    def __init__(self, x1, y1, x2, y2):
        if x1 == x2 and y1 == y2:
            raise Exception("same point")
        self._x1 = x1
        self._y1 = y1
        self._x2 = x2
        self._y2 = y2
        self._A = y1 - y2
        self._signA = np.sign(self._A)
        self._B = x2 - x1
        self._C = x1 * y2 - x2 * y1
        self._signB = np.sign(self._B)
        self._D = math.sqrt(self._A * self._A + self._B * self._B)
        self._F = lambda x, y: self._A * x + self._B * y + self._C
        self._VA = np.array([x1, y1], dtype=float)
        self._VB = np.array([x2, y2], dtype=float)
        self._V = self._VB - self._VA
        self._direction = PyDirection(x1, y1, x2, y2)

    def horizontal_position(self, x, y):
        return int(self._signA * np.sign(self._F(x, y)))

    def vertical_position(self, x, y):
        return int(self._signB * np.sign(self._F(x, y)))

    def hor_or_ver_position(self, x, y):
        if self._y1 != self._y2:
            return self.horizontal_position(x, y)
        return self.vertical_position(x, y)

    def angle(self, x, y):
        return self._direction.angle(x, y)

    def has(self, x, y):
        return self._F(x, y) == 0

    def distance(self, x, y):
        return abs(self._F(x, y)) / self._D

    def get_projection(self, x, y):
        p = np.array([x, y], dtype=float)
        t = np.dot(self._V, p - self._VA) / np.dot(self._V, self._V)
        return self._VA + self._V * t


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
