"""Direction: unit vector, arrowhead wings, vector measures and drawing."""
import gc
import inspect
import math
import weakref
from fractions import Fraction

import numpy as np
import pytest

import ravu.cv.direction as direction_mod
import ravu.cv.image as image_mod
from ravu.cv.direction import Direction
from tests._line_ref import PyDirection, outcome, public_state, same, same_outcome

ATTRS = ["_start_x", "_start_y", "_end_x", "_end_y", "_x", "_y", "_ax", "_ay", "_bx", "_by"]


def test_module_interface():
    assert direction_mod.__all__ == ["Direction"]
    assert direction_mod.math is math
    assert direction_mod.draw_line is image_mod.draw_line
    assert Direction.__module__ == "ravu.cv.direction"
    assert str(inspect.signature(Direction)) == "(start_x, start_y, end_x, end_y)"
    assert str(inspect.signature(Direction.unit_vector)) == "(x, y)"
    d = Direction(0, 0, 1, 0)
    for name in ("angle", "horizontal_projection_len", "vertical_projection_len"):
        assert str(inspect.signature(getattr(d, name))) == "(x, y)"
        assert getattr(Direction, name).__doc__
    assert str(inspect.signature(d.draw)) == "(image, bgr_color=(0, 255, 255), thickness=None)"


# (start, end) -> first wing, second wing
WINGS = [
    ((0, 0), (3, 4), (2, 3), (3, 3)),
    ((0, 0), (100, 0), (90, 10), (90, -10)),
    ((10, 10), (20, 10), (19, 11), (19, 9)),
    ((0, 0), (0, 10), (-1, 9), (1, 9)),
    ((5, 5), (5, -15), (7, -13), (3, -13)),
    ((0, 0), (-3, -4), (-2, -3), (-3, -3)),  # truncated toward zero, not floored
    ((0, 0), (1, 0), (0, 0), (0, 0)),
]


@pytest.mark.parametrize("start, end, first, second", WINGS)
def test_wing_points(start, end, first, second):
    d = Direction(*start, *end)
    assert list(vars(d)) == ATTRS
    assert (d._ax, d._ay) == first and (d._bx, d._by) == second
    assert all(type(getattr(d, n)) is int for n in ("_ax", "_ay", "_bx", "_by"))


def test_worked_measures():
    d = Direction(0, 0, 3, 4)
    assert (d._x, d._y) == (0.6, 0.8)
    assert d.horizontal_projection_len(3, 4) == 5.0
    assert d.horizontal_projection_len(-3, -4) == -5.0
    assert d.vertical_projection_len(4, -3) == d.vertical_projection_len(-4, 3) == 5.0
    assert d.vertical_projection_len(3, 4) == 4.440892098500626e-16
    assert Direction.unit_vector(3, 4) == (0.6, 0.8)
    assert Direction.unit_vector(-5, 0) == (-1.0, 0.0)
    assert d.unit_vector(x=3, y=4) == (0.6, 0.8)
    right = Direction(0, 0, 1, 0)
    assert [right.angle(*v) for v in [(0, 1), (0, -1), (-1, 0), (2, 0), (-1, 1)]] == [
        90.0, 90.0, 180.0, 0.0, 135.0]
    assert right.angle(1, 1) == pytest.approx(45, abs=1e-13)
    for value in (d.angle(1, 2), d.horizontal_projection_len(1, 2),
                  d.vertical_projection_len(1, 2), *Direction.unit_vector(1, 2)):
        assert type(value) is float


def test_coordinates_are_kept_as_passed():
    big, frac, npx = 2**70, Fraction(1, 3), np.float32(7.5)
    d = Direction(big, frac, npx, 5)
    assert d._start_x is big and d._start_y is frac and d._end_x is npx


# Coordinates of every kind the arithmetic meets: exact ints and floats,
# intermediate results beyond 64 bits, ints beyond 2**53 in true division,
# bools, numpy scalars (their own types, overflow and warnings), fractions,
# infinities, NaN, and the failures of a zero-length direction.
DIRECTIONS = [
    (0, 0, 3, 4), (0, 0, -3, -4), (0, 0, 1, 0), (0, 0, 3, 3), (10, 10, 20, 10),
    (0.5, 1.25, -7.75, 3.0), (1, 2.5, 3, -4), (0.1, 0.2, 0.3, 0.7),
    (0, 0, 2**31, 2**31), (0, 0, 2**62, 2**62), (-2**63, 0, 2**63, 1),
    (0, 0, 2**53 + 1, 3), (0, 0, 10**30, 7), (0, 0, 2**600, 1),
    (-2**63, 0, 2**63 - 1, 1), (-2**62, -2**62, 2**62, 2**62),  # 64-bit ends, wider differences
    (True, False, 3, 4),
    (np.int64(0), np.int64(0), np.int64(3), np.int64(4)),
    (np.float64(0.1), 0, np.float32(0.7), 2),
    (np.int32(0), np.int32(0), np.int32(50000), np.int32(50000)),
    (np.uint8(3), np.uint8(1), np.uint8(1), np.uint8(9)),
    (Fraction(1, 3), 0, Fraction(5, 2), 1),
    (0, 0, float("inf"), 0), (0, 0, float("nan"), 1),
    (1, 1, 1, 1), (1, 1, 1.0, 1.0), (np.int64(2), 2, np.int64(2), 2),
]

VECTORS = [(3, 4), (-3, -4), (0, 1), (1, 1), (-1, 1), (2, 0), (0.1, 0.2), (1e-300, 1e-300),
           (1e300, 1e300), (2**62, 1), (2**70, -3), (np.int64(2), np.int64(1)),
           (np.float64(-0.5), 2), (Fraction(1, 2), 3), (0, 0), (float("nan"), 1)]


def make(cls, args):
    return outcome(cls, *args)


@pytest.mark.parametrize("args", DIRECTIONS, ids=repr)
def test_construction_matches_plain_python(args):
    (mine, mine_warned), (ref, ref_warned) = make(Direction, args), make(PyDirection, args)
    assert mine[0] == ref[0] and mine[1:] == ref[1:] if ref[0] == "raise" else mine[0] == "ok"
    assert mine_warned == ref_warned
    if ref[0] == "ok":
        for name in ATTRS:
            assert same(getattr(mine[1], name), getattr(ref[1], name)), name


@pytest.mark.parametrize("args", [a for a in DIRECTIONS if make(PyDirection, a)[0][0] == "ok"],
                         ids=repr)
def test_measures_match_plain_python(args):
    d, p = make(Direction, args)[0][1], make(PyDirection, args)[0][1]
    for name in ("angle", "horizontal_projection_len", "vertical_projection_len"):
        for v in VECTORS:
            mine = outcome(getattr(d, name), *v)
            ref = outcome(getattr(p, name), *v)
            assert same_outcome(mine, ref), (name, v, mine, ref)
    for v in VECTORS:
        assert same_outcome(outcome(Direction.unit_vector, *v), outcome(PyDirection.unit_vector, *v))


def test_zero_length_fails_after_storing_the_points():
    d = Direction.__new__(Direction)
    with pytest.raises(ZeroDivisionError, match="^float division by zero$"):
        d.__init__(1, 1, 1, 1)
    assert vars(d) == {"_start_x": 1, "_start_y": 1, "_end_x": 1, "_end_y": 1}
    with pytest.raises(ZeroDivisionError, match="^float division by zero$"):
        Direction.unit_vector(0, 0)
    with pytest.raises(ZeroDivisionError):
        Direction(0, 0, 1, 0).angle(0, 0)
    d = Direction(0, 0, 1, 0)
    del d._x  # the unit vector of the argument fails before _x is read
    with pytest.raises(ZeroDivisionError, match="^float division by zero$"):
        d.angle(0, 0)
    with pytest.raises(AttributeError, match="_x"):
        d.angle(1, 0)
    z = np.int64(4)
    with pytest.warns(RuntimeWarning), pytest.raises(ValueError, match="NaN"):
        Direction(z, z, z, z)


def small_directions():
    return [(dx, dy) for dx in range(-12, 13) for dy in range(-12, 13) if (dx, dy) != (0, 0)]


def test_parallel_and_opposite_vectors_give_exact_angles():
    # The rounded cosine of such a vector can land just past +-1 (for
    # (3, 3) it is 1.0000000000000002), which acos refuses.
    assert Direction(0, 0, 3, 3).angle(3, 3) == 0.0
    assert Direction(0, 0, 3, 3).angle(-3, -3) == 180.0
    for dx, dy in small_directions():
        d = Direction(0, 0, dx, dy)
        for k in (1, 2, 7):
            assert d.angle(k * dx, k * dy) in (0.0, 180.0) or abs(d.angle(k * dx, k * dy)) < 1e-5
            assert 180.0 - d.angle(-k * dx, -k * dy) < 1e-5


@pytest.mark.parametrize("ux, expected", [
    (1.0 + 1e-12, 0.0),           # rounding overshoot: pulled onto 1
    (-(1.0 + 1e-12), 180.0),
    (1.0 + 1e-11, ValueError),    # more than rounding: the domain error stays
    (-(1.0 + 1e-11), ValueError),
    (2, ValueError),
    (np.float64(1.0 + 1e-13), 0.0),
    (float("nan"), "nan"),        # NaN stays NaN, not 0 degrees
])
def test_angle_pulls_back_only_rounding_overshoot(ux, expected):
    d = Direction(0, 0, 1, 0)
    d._x, d._y = ux, 0.0
    if expected is ValueError:
        with pytest.raises(ValueError, match="math domain error"):
            d.angle(1, 0)
    elif expected == "nan":
        assert math.isnan(d.angle(1, 0))
    else:
        assert d.angle(1, 0) == expected and type(d.angle(1, 0)) is float


def test_every_small_direction_and_vector_to_the_last_bit():
    # One IEEE operation at a time: a fused multiply-add in x*a + y*b, or a
    # regrouped sum, changes thousands of these results in the last bit.
    span = range(-6, 7)
    vectors = [(vx, vy) for vx in span for vy in span if (vx, vy) != (0, 0)]
    for dx, dy in vectors:
        d, p = Direction(0, 0, dx, dy), PyDirection(0, 0, dx, dy)
        assert (d._x, d._y, d._ax, d._ay, d._bx, d._by) == (p._x, p._y, p._ax, p._ay, p._bx, p._by)
        for vx, vy in vectors:
            assert d.horizontal_projection_len(vx, vy) == p.horizontal_projection_len(vx, vy)
            assert d.vertical_projection_len(vx, vy) == p.vertical_projection_len(vx, vy)
            assert d.angle(vx, vy) == p.angle(vx, vy)


def test_methods_read_the_attributes_at_each_call():
    d = Direction(0, 0, 1, 0)
    d._x, d._y = 0, 1  # ints now: the arithmetic keeps them ints
    assert d.horizontal_projection_len(3, 4) == 4 and type(d.horizontal_projection_len(3, 4)) is int
    assert d.vertical_projection_len(3, 4) == 3 and type(d.vertical_projection_len(3, 4)) is int
    assert d.angle(0, 5) == 0.0


def test_instance_and_subclass_overrides_are_called():
    d = Direction(0, 0, 1, 0)
    calls = []
    d.unit_vector = lambda x, y: calls.append(("unit", x, y)) or (0.0, 1.0)
    assert d.angle(5, 5) == 90.0 and calls == [("unit", 5, 5)]
    d.horizontal_projection_len = lambda x, y: calls.append(("hpl", x, y)) or -1.0
    assert d.angle(5, 5) == 180.0 and calls[-1] == ("hpl", 0.0, 1.0)
    d.unit_vector = lambda x, y: (1.0, 2.0, 3.0)
    with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
        d.angle(1, 1)
    d.unit_vector = lambda x, y: 7
    with pytest.raises(TypeError, match="cannot unpack non-iterable int object"):
        d.angle(1, 1)

    class Sub(Direction):
        @staticmethod
        def unit_vector(x, y):
            return [0.0, -1.0]

    s = Sub(0, 0, 10, 0)  # the constructor takes the override too
    assert (s._x, s._y) == (0.0, -1.0) and (s._ax, s._ay, s._bx, s._by) == (11, 1, 9, 1)
    assert s.angle(0, 1) == 0.0  # both vectors made (0, -1) by the override
    Sub.horizontal_projection_len = lambda self, x, y: 0.5
    assert s.angle(0, 1) == pytest.approx(60.0)
    del d.unit_vector, d.horizontal_projection_len
    assert d.angle(0, 1) == 90.0


def test_projection_is_looked_up_after_the_unit_vector():
    # As in `x, y = self.unit_vector(x, y); c = self.horizontal_projection_len(x, y)`.
    d = Direction(0, 0, 1, 0)

    def unit_vector(x, y):
        d.horizontal_projection_len = lambda x, y: -1.0
        return 1.0, 0.0

    d.unit_vector = unit_vector
    assert d.angle(1, 0) == 180.0


def test_methods_replaced_on_the_class_are_called(monkeypatch):
    d = Direction(0, 0, 1, 0)
    monkeypatch.setattr(Direction, "unit_vector", staticmethod(lambda x, y: (0.0, 1.0)))
    assert d.angle(1, 0) == 90.0
    monkeypatch.setattr(Direction, "horizontal_projection_len", lambda self, x, y: -1.0)
    assert d.angle(1, 0) == 180.0
    monkeypatch.undo()
    assert d.angle(1, 0) == 0.0


def test_module_globals_are_looked_up_at_each_call(monkeypatch):
    class FakeMath:
        pi = math.pi

        @staticmethod
        def sqrt(v):
            return 10.0

        @staticmethod
        def acos(c):
            return math.pi / 2

    monkeypatch.setattr(direction_mod, "math", FakeMath)
    assert Direction.unit_vector(3, 4) == (0.3, 0.4)
    assert Direction(0, 0, 1, 0).angle(1, 0) == 90.0


class Recorder:
    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return "ignored"


def test_draw_shaft_then_wings(monkeypatch):
    rec = Recorder()
    monkeypatch.setattr(direction_mod, "draw_line", rec)
    img = object()
    d = Direction(0.5, 0, 100, 0)
    assert d.draw(img) is None
    shaft, first, second = rec.calls
    assert shaft == ((img, 0.5, 0, 100, 0, (0, 255, 255)), {"thickness": None})
    assert first == ((img, 90, 9, 100, 0, (0, 255, 255)), {"thickness": None})
    assert second == ((img, 90, -9, 100, 0, (0, 255, 255)), {"thickness": None})
    d._end_x = 50  # moves the shaft and the wings' tip, not the wing points
    d.draw(img, bgr_color=(1, 2, 3), thickness=4)
    assert rec.calls[3] == ((img, 0.5, 0, 50, 0, (1, 2, 3)), {"thickness": 4})
    assert rec.calls[4][0][1:5] == (90, 9, 50, 0)


def test_draw_on_a_frame():
    img = np.zeros((60, 120, 3), np.uint8)
    assert Direction(10, 30, 110, 30).draw(img) is None
    assert tuple(img[30, 60]) == (0, 255, 255)  # shaft
    assert tuple(img[39, 101]) == (0, 255, 255) and tuple(img[21, 101]) == (0, 255, 255)
    assert img[5:15].sum() == 0


def test_argument_errors_are_those_of_a_def():
    d = Direction(0, 0, 1, 0)
    with pytest.raises(TypeError, match=r"Direction.angle\(\) missing 1 required positional"):
        d.angle(1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'z'"):
        d.horizontal_projection_len(1, z=2)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'end_y'"):
        Direction(0, 0, 1)
    assert Direction(start_x=0, start_y=0, end_x=0, end_y=2)._y == 1.0


def test_subclassable_with_dict_and_collected():
    class Sub(Direction):
        pass

    s = Sub(0, 0, 1, 1)
    s.extra = s  # a cycle through the instance dict
    ref = weakref.ref(s)
    del s
    gc.collect()
    assert ref() is None
    assert public_state(Direction(0, 0, 1, 1)).keys() == set(ATTRS)
