"""Direction and Tripwire written as plain Python classes, the rules the
extension modules follow (the angle with its cosine pulled back onto +-1
when rounding carries it past by at most 1e-12), and helpers that compare
outcomes exactly: value, type, error class and message, warnings."""
import math
import warnings

import numpy as np


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

    @property
    def len(self):
        return self._D

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

    def horizontal_projection_len(self, x, y):
        return self._direction.horizontal_projection_len(x, y)

    def vertical_projection_len(self, x, y):
        return self._direction.vertical_projection_len(x, y)

    def has(self, x, y):
        return self._F(x, y) == 0

    def distance(self, x, y):
        return abs(self._F(x, y)) / self._D

    def get_projection(self, x, y):
        p = np.array([x, y], dtype=float)
        t = np.dot(self._V, p - self._VA) / np.dot(self._V, self._V)
        return self._VA + self._V * t


def outcome(fn, *args):
    """("ok", result) or ("raise", class, message), with the warnings seen."""
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        try:
            result = ("ok", fn(*args))
        except Exception as e:  # the comparison is the point
            result = ("raise", type(e), str(e))
    return result, sorted((w.category.__name__, str(w.message)) for w in seen)


def same(a, b):
    """Equal values of the same type; NaN equals NaN; arrays by dtype and values."""
    if type(a) is not type(b):
        return False
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b, equal_nan=True)
    if isinstance(a, tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if a != a:  # NaN
        return b != b
    return bool(a == b)


def same_outcome(a, b):
    (ra, wa), (rb, wb) = a, b
    if ra[0] != rb[0] or wa != wb:
        return False
    if ra[0] == "raise":
        return ra[1:] == rb[1:]
    return same(ra[1], rb[1])


def public_state(obj, skip=()):
    """The instance dict without the entries named in `skip`."""
    return {k: v for k, v in vars(obj).items() if k not in skip}
