"""Tripwire: the line through two points, its side tests, on-line test,
distance, projection, vector measures and drawing."""
import gc
import inspect
import math
import weakref
from fractions import Fraction

import numpy as np
import pytest

import ravu.cv.direction as direction_mod
import ravu.cv.image as image_mod
import ravu.cv.tripwire as tripwire_mod
from ravu.cv.direction import Direction
from ravu.cv.tripwire import Tripwire
from tests._line_ref import PyTripwire, outcome, same, same_outcome

ATTRS = ["_x1", "_y1", "_x2", "_y2", "_A", "_signA", "_B", "_C", "_signB", "_D", "_F", "_VA",
         "_VB", "_V", "_direction"]
METHODS = ["horizontal_position", "vertical_position", "hor_or_ver_position", "angle",
           "horizontal_projection_len", "vertical_projection_len", "has", "distance",
           "get_projection"]


def test_module_interface():
    assert tripwire_mod.__all__ == ["Tripwire"]
    assert tripwire_mod.math is math and tripwire_mod.np is np
    assert tripwire_mod.draw_line is image_mod.draw_line
    assert tripwire_mod.Direction is direction_mod.Direction
    assert str(inspect.signature(Tripwire)) == "(x1, y1, x2, y2)"
    t = Tripwire(0, 0, 3, 4)
    for name in METHODS:
        assert str(inspect.signature(getattr(t, name))) == "(x, y)"
        assert getattr(Tripwire, name).__doc__
    assert str(inspect.signature(t.draw)) == "(image, bgr_color=(0, 97, 255), thickness=None)"
    assert str(inspect.signature(t._F)) == "(x, y)"
    assert list(vars(t)) == ATTRS
    assert type(t._direction) is Direction and vars(t._direction)["_end_y"] == 4


def test_construction_worked_values():
    t = Tripwire(0, 0, 3, 4)
    assert (t._A, t._B, t._C) == (-4, 3, 0)
    assert type(t._signA) is np.int64 and (t._signA, t._signB) == (-1, 1)
    assert t.len == 5.0 and type(t.len) is float
    for arr in (t._VA, t._VB, t._V):
        assert arr.dtype == np.float64 and arr.shape == (2,)
    assert t._V.tolist() == [3.0, 4.0]
    assert type(Tripwire(0.0, 0, 3, 4)._signB) is np.float64
    assert isinstance(Tripwire.len, property) and Tripwire.len.fset is None
    with pytest.raises(AttributeError, match="property 'len' of 'Tripwire' object has no setter"):
        t.len = 1
    with pytest.raises(AttributeError, match="property 'len' of 'Tripwire' object has no deleter"):
        del t.len
    t._D = 7
    assert t.len == 7


@pytest.mark.parametrize("points, same_point", [
    ((3, 4, 3, 4), True), ((1, 2, 1.0, 2.0), True), ((np.int64(1), 2, 1, np.float64(2)), True),
    ((1, 2, 1, 5), False), ((1, 2, 5, 2), False),
])
def test_same_point(points, same_point):
    if same_point:
        t = Tripwire.__new__(Tripwire)
        with pytest.raises(Exception) as info:
            t.__init__(*points)
        assert type(info.value) is Exception and info.value.args == ("same point",)
        assert vars(t) == {}  # nothing stored
    else:
        Tripwire(*points)


def test_nan_is_no_same_point():
    # NaN equals nothing, not even itself: the points pass, and the
    # Direction of the line fails later on its NaN wing point.
    nan = float("nan")
    t = Tripwire.__new__(Tripwire)
    with pytest.raises(ValueError, match="cannot convert float NaN to integer"):
        t.__init__(nan, nan, nan, nan)
    assert list(vars(t)) == ATTRS[:-1]


# line (first -> second end point), point, horizontal, vertical, hor_or_ver
SIDES = [
    ((0, 0, 10, 0), (5, 3), 0, 1, 1), ((0, 0, 10, 0), (5, -3), 0, -1, -1),
    ((10, 0, 0, 0), (5, 3), 0, 1, 1), ((10, 0, 0, 0), (5, -3), 0, -1, -1),
    ((0, 0, 0, 10), (3, 5), 1, 0, 1), ((0, 0, 0, 10), (-3, 5), -1, 0, -1),
    ((0, 10, 0, 0), (3, 5), 1, 0, 1), ((0, 10, 0, 0), (-3, 5), -1, 0, -1),
    ((0, 0, 10, 10), (7, 2), 1, -1, 1), ((0, 0, 10, 10), (2, 7), -1, 1, -1),
    ((10, 10, 0, 0), (7, 2), 1, -1, 1), ((0, 0, 10, 10), (4, 4), 0, 0, 0),
    ((0, 5, 10, 5), (3, 9), 0, 1, 1),     # horizontal: below
    ((0, 5, 10, 6), (3, 9), -1, 1, -1),   # nearly flat: left, although below
    ((0, 0, 3, 1), (0.3, 0.1), -1, 1, -1),  # F rounds to a tiny positive number
]


@pytest.mark.parametrize("line, point, hor, ver, either", SIDES)
def test_side_tests(line, point, hor, ver, either):
    t = Tripwire(*line)
    got = (t.horizontal_position(*point), t.vertical_position(*point),
           t.hor_or_ver_position(*point))
    assert got == (hor, ver, either)
    assert all(type(v) is int for v in got)


def test_worked_examples():
    t = Tripwire(0, 0, 10, 0)
    assert t.has(25, 0) is True and t.has(5, 1) is False
    assert t.distance(25, 5) == 5.0
    assert t.get_projection(25, 5).tolist() == [25.0, 0.0]
    assert t.get_projection(-5, -3).tolist() == [-5.0, 0.0]
    assert t._F(5, 3) == 30 and Tripwire(10, 0, 0, 0)._F(x=5, y=3) == -30
    assert Tripwire(0, 0, 3, 1).has(6, 2) is True
    assert Tripwire(0, 0, 3, 1).has(0.3, 0.1) is False
    assert Tripwire(0, 0, 4, 2).get_projection(1, 3).tolist() == [2.0, 1.0]
    assert t.horizontal_projection_len(3, 4) == 3.0
    assert t.vertical_projection_len(3, 4) == 4.0
    assert t.angle(0, 1) == 90.0
    # A vector along the line: the rounded cosine overshoots 1 here.
    assert Tripwire(0, 0, 3, 3).angle(3, 3) == 0.0
    assert Tripwire(0, 0, 3, 3).angle(-3, -3) == 180.0


def test_exact_integers_beyond_64_bits():
    assert Tripwire(0, 0, 2**32, 2**32 + 1).has(2**33, 2**33 + 2) is True
    assert Tripwire(0, 0, 2**32, 2**32 + 1).has(2**33, 2**33 + 1) is False
    t = Tripwire(-2**62, 3, 2**62, -5)
    assert t._C == -2**62 * -5 - 2**62 * 3 and type(t._F(2**40, 7)) is int
    big = Tripwire(0, 0, 10**20, 1)
    assert big.horizontal_position(10**20 + 1, 1) == 1
    assert big.hor_or_ver_position(10**20 - 1, 1) == -1
    assert big.distance(0, 1) == 10**20 / math.sqrt(10**40 + 1)


# End points and points of every kind the arithmetic meets.
LINES = [
    (0, 0, 10, 0), (0, 0, 0, 10), (0, 0, 3, 4), (10, 10, 0, 0), (0.9, 5.99, 10.5, -0.5),
    (0.1, 0.2, 0.3, 0.7), (1, 2.5, 3, 2.5), (-2**63, 0, 2**63, 1), (-2**63, 0, 2**63 - 1, 1), (0, 0, 2**62, 2**62 - 1),
    (0, 0, 10**30, 3), (True, False, 5, 2),
    (np.int64(0), np.int64(0), np.int64(3), np.int64(1)),
    (np.float64(0.5), 1, np.float32(2.25), -3), (np.int32(0), np.int32(1), np.int32(90000), 5),
    (Fraction(1, 3), 0, Fraction(7, 2), 2), (0, 0, float("inf"), 1), (0, float("nan"), 3, 4),
]
POINTS = [(5, 3), (5, -3), (25, 0), (6, 2), (0.3, 0.1), (-7.5, 2.25), (2**33, 2**33 + 2),
          (10**20, -1), (np.int64(6), np.int64(2)), (np.float64(1.5), 2), (Fraction(2, 3), 1),
          (float("nan"), 1), (float("inf"), 0)]


@pytest.mark.parametrize("line", LINES, ids=repr)
def test_matches_plain_python(line):
    (mine, mw), (ref, rw) = outcome(Tripwire, *line), outcome(PyTripwire, *line)
    assert mw == rw
    if ref[0] == "raise":
        assert mine == ref
        return
    t, p = mine[1], ref[1]
    for name in ATTRS:
        if name not in ("_F", "_direction"):
            assert same(getattr(t, name), getattr(p, name)), name
    assert same(t.len, p.len)
    for name in METHODS:
        for point in POINTS:
            a = outcome(getattr(t, name), *point)
            b = outcome(getattr(p, name), *point)
            assert same_outcome(a, b), (name, point, a, b)
        assert same_outcome(outcome(t._F, *point), outcome(p._F, *point))


def test_result_types():
    t = Tripwire(0, 0, 3, 1)
    n = Tripwire(np.int64(0), np.int64(0), np.int64(3), np.int64(1))
    assert type(t.has(6, 2)) is bool and type(t.has(6.0, 2)) is bool
    assert type(n.has(6, 2)) is np.bool_ and n.has(6, 2)
    assert type(t.has(np.int64(6), 2)) is np.bool_
    for v in (t.horizontal_position(9, 1), n.vertical_position(9, 1),
              t.hor_or_ver_position(np.float64(9), 1)):
        assert type(v) is int
    first, second = t.get_projection(1, 1), t.get_projection(1, 1)
    assert first is not second and first.dtype == np.float64
    first[0] = 99
    assert t.get_projection(1, 1)[0] != 99
    assert type(t.distance(1, 1)) is float and type(t.distance(np.float64(1), 1)) is np.float64


def test_nan_point_makes_side_tests_raise():
    t = Tripwire(0, 0, 3, 1)
    with pytest.raises(ValueError, match="cannot convert float NaN to integer"):
        t.horizontal_position(float("nan"), 1)
    assert t.has(float("nan"), 1) is False


def test_line_function_reads_the_coefficients_at_each_call():
    t = Tripwire(0, 0, 10, 0)
    f = t._F
    t._C = -30  # the line moves to y = 3 for every user of _F
    assert f(5, 3) == 0 and t.has(5, 3) is True and t.distance(5, 0) == 3.0
    assert t.vertical_position(5, 4) == 1 and t.vertical_position(5, 2) == -1
    t._signB = np.int64(-1)
    assert t.vertical_position(5, 4) == -1 and t.hor_or_ver_position(5, 4) == -1
    t._D = 2
    assert t.distance(5, 0) == 15.0
    with pytest.raises(TypeError, match=r"Tripwire._F\(\) missing 1 required positional"):
        f(1)


def test_whatever_F_holds_is_called():
    t = Tripwire(0, 0, 10, 0)
    calls = []
    t._F = lambda x, y: calls.append((x, y)) or -2
    assert (t.has(1, 2), t.distance(1, 2), t.vertical_position(1, 2)) == (False, 0.2, -1)
    assert calls == [(1, 2)] * 3
    other = Tripwire(0, 0, 0, 10)
    t._F = other._F  # another line's function answers for that line
    assert t._F(3, 0) == -30 and t.has(0, 7) is True and t.distance(3, 0) == 3.0
    t._F = lambda x, y: np.float64("nan")
    with pytest.raises(ValueError):
        t.vertical_position(0, 0)


def test_side_test_overrides_are_called():
    t = Tripwire(0, 0, 10, 1)
    t.horizontal_position = lambda x, y: "instance"
    assert t.hor_or_ver_position(0, 0) == "instance"
    flat = Tripwire(0, 0, 10, 0)
    flat.vertical_position = lambda x, y: ("v", x, y)
    assert flat.hor_or_ver_position(x=1, y=2) == ("v", 1, 2)
    del flat.vertical_position
    assert flat.hor_or_ver_position(1, 2) == 1

    class Sub(Tripwire):
        def horizontal_position(self, x, y):
            return 7

    s = Sub(0, 0, 10, 1)
    assert s.hor_or_ver_position(5, 5) == 7 and s.vertical_position(5, 5) == 1
    Sub.vertical_position = lambda self, x, y: 8
    assert Sub(0, 0, 10, 0).hor_or_ver_position(5, 5) == 8


def test_side_tests_replaced_on_the_class_are_called(monkeypatch):
    t, flat = Tripwire(0, 0, 10, 1), Tripwire(0, 0, 10, 0)
    monkeypatch.setattr(Tripwire, "horizontal_position", lambda self, x, y: "h")
    monkeypatch.setattr(Tripwire, "vertical_position", lambda self, x, y: "v")
    assert (t.hor_or_ver_position(5, 5), flat.hor_or_ver_position(5, 5)) == ("h", "v")
    monkeypatch.undo()
    assert (t.hor_or_ver_position(5, 5), flat.hor_or_ver_position(5, 5)) == (-1, 1)


def test_vector_measures_go_through_the_direction():
    t = Tripwire(0, 0, 10, 0)
    t._direction = Direction(0, 0, 0, 1)
    assert t.horizontal_projection_len(3, 4) == 4.0 and t.angle(0, 1) == 0.0

    class Recorder:
        def __getattr__(self, name):
            return lambda x, y: (name, x, y)

    t._direction = Recorder()
    assert t.vertical_projection_len(x=1, y=2) == ("vertical_projection_len", 1, 2)


def test_module_globals_are_looked_up_at_each_call(monkeypatch):
    class FakeNp:
        array = staticmethod(np.array)
        dot = staticmethod(np.dot)

        @staticmethod
        def sign(v):
            return np.int64(5)

    t = Tripwire(0, 0, 10, 0)
    monkeypatch.setattr(tripwire_mod, "np", FakeNp)
    assert t.vertical_position(1, 1) == 5
    made = []
    monkeypatch.setattr(tripwire_mod, "Direction", lambda *a: made.append(a) or "d")
    assert Tripwire(1, 2, 3, 4)._direction == "d" and made == [(1, 2, 3, 4)]


def test_draw(monkeypatch):
    calls = []
    monkeypatch.setattr(tripwire_mod, "draw_line",
                        lambda *a, **k: calls.append((a, k)) or "ignored")
    img = object()
    t = Tripwire(0.9, 5.99, 10.5, -0.5)
    assert t.draw(img) is None
    assert calls == [((img, 0, 5, 10, 0, (0, 97, 255)), {"thickness": None})]
    assert all(type(v) is int for v in calls[0][0][1:5])
    t._x2 = 2**70 + 0.0
    t.draw(img, (1, 2, 3), thickness=2)
    assert calls[1] == ((img, 0, 5, 2**70, 0, (1, 2, 3)), {"thickness": 2})


def test_draw_on_a_frame():
    img = np.zeros((40, 80, 3), np.uint8)
    Tripwire(5, 20, 70, 20).draw(img)
    assert tuple(img[20, 40]) == (0, 97, 255)
    assert img[20, 71:].sum() == 0 and img[:19].sum() == 0


def test_collected_by_the_cycle_collector():
    # _F refers to its object: without the collector every Tripwire leaks.
    gc.collect()
    refs = []
    for i in range(50):
        t = Tripwire(0, 0, i + 1, 1)
        t.has(1, 1)
        refs.append(weakref.ref(t))
    del t
    gc.collect()
    assert all(r() is None for r in refs)

    class Sub(Tripwire):
        pass

    s = Sub(0, 0, 1, 1)
    assert s._F.__self__ is s
    ref = weakref.ref(s)
    del s
    gc.collect()
    assert ref() is None
