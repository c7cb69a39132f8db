"""Box: the rectangle kept as given, its conversions, overlap measures, crop
and outline.  The measures are compared with the same rules written in plain
Python (PyBox of _box_zone_ref), over a table of boxes of every number kind,
results and errors alike."""
import gc
import inspect
import math
import weakref

import numpy as np
import pytest

import ravu.cv.box as box_mod
from ravu.cv.box import Box

from ._box_zone_ref import PyBox, outcome

BIG = 2**53 + 1
# (top, left, height, width) of every number kind the class keeps as given.
BOXES = [
    (0, 0, 10, 10),
    (0, 10, 10, 10),          # shares an edge with the first
    (2, 2, 4, 4),             # inside the first
    (20, 20, 5, 5),           # disjoint
    (0, 0, 0, 0),             # zero area
    (10.5, 3, 2.25, 4),
    (1, 1.5, 7, 3.25),
    (-5, -5, 3, -2),          # negative width
    (0, 0, 2**32, 2**32),     # area 2**64: beyond 64 bits
    (2**62, 2**62, 2**62, 2**62),  # bottom overflows 64 bits
    (BIG, 0, 3, BIG),         # quotients beyond 2**53
    (float(2**53), 0.0, 1.0, 1.0),  # compared exactly with BIG
    (0.0, 0.0, float("nan"), 4.0),
    (0, 0, float("inf"), 1),
    (np.int64(1), np.int64(2), np.int64(6), np.int64(5)),
    (np.float64(0.5), 1, np.float32(3.5), 2),
    (np.int32(0), np.int32(0), np.int32(50000), np.int32(50000)),  # numpy wraps, warns
    (True, False, True, 3),
]


@pytest.mark.parametrize("a", BOXES, ids=repr)
def test_measures_match_the_plain_rules(a):
    for b in BOXES:
        for name in ("inter_area", "iou"):
            got = outcome(lambda: getattr(Box(*a), name)(Box(*b)))
            want = outcome(lambda: getattr(PyBox(*a), name)(PyBox(*b)))
            assert got == want, (name, a, b)
    assert outcome(lambda: Box(*a).area()) == outcome(lambda: PyBox(*a).area())
    box, ref = Box(*a), PyBox(*a)
    assert vars(box) == vars(ref) or math.isnan(a[2])  # NaN != NaN
    assert [type(v) for v in vars(box).values()] == [type(v) for v in vars(ref).values()]


def test_worked_conversions():
    b = Box.create_by_ltrb(10, 20, 50, 80)
    assert vars(b) == {"top": 20, "left": 10, "height": 60, "width": 40, "bottom": 80, "right": 50}
    assert list(vars(b)) == ["top", "left", "height", "width", "bottom", "right"]
    assert b.to_ltrb() == [10, 20, 50, 80]
    assert b.to_tlhw() == [20, 10, 60, 40]
    assert b.to_ltwh() == [10, 20, 40, 60]
    assert b.to_tlbr() == [20, 10, 80, 50]
    assert vars(Box.create_by_ltwh(5, 7, 3, 2)) == vars(Box(7, 5, 2, 3))
    assert vars(Box.create_by_tlbr(7, 5, 9, 8)) == vars(Box(7, 5, 2, 3))
    assert vars(Box.create_by_tlhw(7, 5, 2, 3)) == vars(Box(7, 5, 2, 3))
    # Same objects, new list at every call.
    t = 10**30
    b = Box(t, 0, 1, 1)
    assert b.to_tlhw()[0] is t and b.to_tlhw() is not b.to_tlhw()


@pytest.mark.parametrize("a, b, inter, iou", [
    ((0, 0, 10, 10), (0, 10, 10, 10), 0, 0.0),
    ((2, 2, 4, 4), (0, 0, 10, 10), 16, 0.16),
    ((0, 0, 10, 10), (2, 2, 4, 4), 16, 0.16),
    ((0, 0, 10, 10), (0, 0, 10, 10), 100, 1.0),
    ((0, 0, 10, 10), (20, 20, 5, 5), 0, 0.0),
    ((0, 0, 10, -10), (0, 0, 10, 20), 0, 0.0),
])
def test_worked_measures(a, b, inter, iou):
    assert Box(*a).inter_area(Box(*b)) == inter
    r = Box(*a).iou(Box(*b))
    assert type(r) is float and r == iou


@pytest.mark.parametrize("a, b, message", [
    ((0, 0, 0, 0), (0, 0, 0, 0), "division by zero"),
    ((0, 0, 0.0, 0), (0, 0, 0, 0), "float division by zero"),
])
def test_zero_union_raises_the_interpreters_error(a, b, message):
    with pytest.raises(ZeroDivisionError, match=f"^{message}$"):
        Box(*a).iou(Box(*b))


def test_exact_integers_beyond_64_bits():
    assert Box(0, 0, 2**32, 2**32).area() == 2**64
    b = Box(2**62, 2**62, 2**62, 2**62)
    assert b.bottom == 2**63 and type(b.bottom) is int
    assert b.inter_area(Box(0, 0, 2**63, 2**63)) == 2**124
    assert Box(0, 0, BIG, 1).iou(Box(0, 0, 3, 1)) == 3 / BIG


def test_numpy_scalars_keep_numpys_semantics():
    z = np.float64(0)
    with pytest.warns(RuntimeWarning):
        r = Box(z, z, z, z).iou(Box(z, z, z, z))
    assert type(r) is np.float64 and math.isnan(r)
    with pytest.warns(RuntimeWarning):
        a = Box(0, 0, np.int32(50000), np.int32(50000)).area()
    assert type(a) is np.int32 and int(a) == 50000 * 50000 - 2**32


def test_methods_read_the_attributes_anew_and_bottom_right_stay():
    b = Box(0, 0, 10, 10)
    b.top = 5
    assert b.to_tlhw() == [5, 0, 10, 10]
    assert b.to_tlbr() == [5, 0, 10, 10]
    assert b.area() == 100
    frame = np.zeros((20, 20, 3), np.uint8)
    assert b.crop(frame).shape == (5, 10, 3)
    b.right = 3
    assert b.inter_area(Box(0, 0, 20, 20)) == 15


class Recorded(Box):
    def __init__(self, *a):
        super().__init__(*a)
        self.calls = []

    def to_ltrb(self):
        self.calls.append("to_ltrb")
        return [0, 0, 4, 4]

    def area(self):
        self.calls.append("area")
        return 16


def test_calls_go_through_the_objects():
    # A subclass's methods are used, on either side.
    r = Recorded(100, 100, 1, 1)
    assert r.inter_area(Box(0, 0, 2, 2)) == 4
    assert Box(0, 0, 2, 2).iou(r) == 4 / (4 + 16 - 4)
    assert r.calls == ["to_ltrb", "to_ltrb", "area"]
    # An instance attribute shadows the class's method.
    b = Box(100, 100, 1, 1)
    b.to_ltrb = lambda: [0, 0, 2, 2]
    assert b.inter_area(Box(0, 0, 10, 10)) == 4
    assert Box(0, 0, 10, 10).inter_area(b) == 4
    b.area = lambda: 4
    assert b.iou(Box(0, 0, 10, 10)) == 4 / 100
    b.inter_area = lambda box: 2
    assert b.iou(Box(0, 0, 10, 10)) == 2 / 102
    del b.to_ltrb, b.area, b.inter_area
    assert b.iou(Box(0, 0, 10, 10)) == 0.0
    # Any object with to_ltrb() and area() serves as the argument.

    class Duck:
        def to_ltrb(self):
            return (0, 0, 5, 5)

        def area(self):
            return 25
    assert Box(0, 0, 10, 10).iou(Duck()) == 0.25


@pytest.mark.parametrize("name, value, inter, iou", [
    ("to_ltrb", lambda self: [0, 0, 2, 2], 4, 4 / (100 + 100 - 4)),
    ("area", lambda self: 50, None, None),
    ("inter_area", lambda self, box: 25, 25, 25 / 175),
])
def test_methods_replaced_on_the_class_take_effect(monkeypatch, name, value, inter, iou):
    a, b = Box(0, 0, 10, 10), Box(0, 0, 10, 10)
    monkeypatch.setattr(Box, name, value)
    if name == "area":
        # Both areas 50 with an overlap of 100: a union of 0.
        with pytest.raises(ZeroDivisionError):
            a.iou(b)
        return
    assert a.inter_area(b) == inter
    assert a.iou(b) == iou


@pytest.mark.parametrize("other, error, message", [
    (object(), AttributeError, "'object' object has no attribute 'to_ltrb'"),
    (type("T3", (), {"to_ltrb": lambda self: [1, 2, 3]})(), ValueError,
     "not enough values to unpack (expected 4, got 3)"),
    (type("T5", (), {"to_ltrb": lambda self: iter(range(5))})(), ValueError,
     "too many values to unpack (expected 4)"),
    (type("TN", (), {"to_ltrb": lambda self: 7})(), TypeError, "cannot unpack non-iterable int object"),
])
def test_bad_other_boxes(other, error, message):
    with pytest.raises(error) as info:
        Box(0, 0, 1, 1).inter_area(other)
    assert str(info.value) == message


def test_constructors_use_the_module_global_and_build_plain_boxes(monkeypatch):
    assert type(Recorded.create_by_ltrb(0, 0, 1, 1)) is Box
    assert type(Box(0, 0, 1, 1).create_by_tlhw(0, 0, 1, 1)) is Box
    made = []
    monkeypatch.setattr(box_mod, "Box", lambda *a: made.append(a) or "made")
    assert Box.create_by_ltrb(10, 20, 50, 80) == "made"
    assert Box.create_by_ltwh(1, 2, 3, 4) == "made"
    assert made == [(20, 10, 60, 40), (2, 1, 4, 3)]
    monkeypatch.delattr(box_mod, "Box")
    with pytest.raises(NameError, match="'Box'"):
        Box.create_by_tlbr(0, 0, 1, 1)


@pytest.mark.parametrize("call, message", [
    (lambda: Box(1, 2, 3), "Box.__init__() missing 1 required positional argument: 'width'"),
    (lambda: Box.create_by_ltrb(1, 2, 3, 4, 5),
     "Box.create_by_ltrb() takes 4 positional arguments but 5 were given"),
    (lambda: Box(0, 0, 1, 1).area(1), "Box.area() takes 1 positional argument but 2 were given"),
    (lambda: Box(0, 0, 1, 1).iou(bx=1), "Box.iou() got an unexpected keyword argument 'bx'"),
    (lambda: Box("a", 0, 1, 1), 'can only concatenate str (not "int") to str'),
])
def test_argument_and_arithmetic_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("args", [("a", 1, 1, 1), (1, "a", 1, 2), (1, 2, 3, 4)])
def test_init_stores_what_the_plain_order_stores_before_a_failing_sum(args):
    b, ref = Box.__new__(Box), PyBox.__new__(PyBox)
    assert outcome(lambda: b.__init__(*args)) == outcome(lambda: ref.__init__(*args))
    assert vars(b) == vars(ref) and list(vars(b)) == list(vars(ref))
    # Initialised again over its own dict: the same attributes, replaced.
    b.__init__(5, 6, 7, 8)
    assert vars(b) == {"top": 5, "left": 6, "height": 7, "width": 8, "bottom": 12, "right": 14}


def test_keywords_and_signatures():
    b = Box(top=1, left=2, height=3, width=4)
    assert b.to_tlhw() == [1, 2, 3, 4]
    assert vars(Box.create_by_ltrb(l=10, t=20, r=50, b=80)) == vars(Box(20, 10, 60, 40))
    assert str(inspect.signature(Box)) == "(top, left, height, width)"
    assert str(inspect.signature(Box.create_by_tlbr)) == "(t, l, b, r)"
    assert str(inspect.signature(Box.draw)) == \
        "(self, /, image, bgr_color=(235, 206, 135), thickness=None)"
    for name in ("create_by_tlhw", "to_ltrb", "area", "inter_area", "iou", "crop", "draw"):
        assert getattr(Box, name).__doc__
    assert box_mod.__all__ == ["Box"]


# ---------------------------------------------------------------- crop

FRAME = np.arange(20 * 30 * 3, dtype=np.uint8).reshape(20, 30, 3)


@pytest.mark.parametrize("box, rows, cols", [
    ((-5, 2, 10, 4), (0, 5), (2, 6)),       # overhangs the top
    ((-5, -8, 3, 4), (0, 0), (0, 0)),       # wholly above and left: empty
    ((3, -2, 4, 6), (3, 7), (0, 4)),        # overhangs the left
    ((5, 0, -10, 10), (5, 5), (0, 10)),     # inverted: empty
    ((10.5, 3, 2.25, 4), (10, 12), (3, 7)),  # int() truncates
    ((-0.5, 0, 2, 2), (0, 1), (0, 2)),
    ((15, 25, 10, 10), (15, 20), (25, 30)),  # past the bottom right: cut at the frame
    ((40, 0, 5, 5), (20, 20), (0, 5)),      # below the frame: empty
    ((0, 0, 2**70, 2.0**70), (0, 20), (0, 30)),
    ((np.int64(2), np.float32(3.7), np.int32(4), 5), (2, 6), (3, 8)),
])
def test_crop_window_clipped_at_zero(box, rows, cols):
    c = Box(*box).crop(FRAME)
    assert c.shape == (rows[1] - rows[0], cols[1] - cols[0], 3)
    assert np.array_equal(c, FRAME[rows[0]:rows[1], cols[0]:cols[1]])


def test_crop_is_a_view_of_the_frame():
    frame = np.zeros((20, 30, 3), np.uint8)
    c = Box(2, 3, 4, 5).crop(frame)
    assert c.base is frame and c.flags.writeable and c.flags.c_contiguous is False
    c[:] = 7
    assert frame[2:6, 3:8].min() == 7 and frame.sum() == 7 * 4 * 5 * 3
    frame.flags.writeable = False
    assert not Box(2, 3, 4, 5).crop(frame).flags.writeable
    # A view's view has the owner as base, as numpy's slicing gives.
    inner = frame[1:, 1:]
    assert Box(0, 0, 2, 2).crop(inner).base is frame
    # Deeper arrays keep their further axes; subclasses and non-arrays are
    # indexed through their own protocol.
    deep = np.zeros((6, 6, 3, 2))
    assert Box(1, 1, 2, 2).crop(deep).shape == (2, 2, 3, 2)
    class Sub(np.ndarray):
        pass
    m = Box(1, 1, 2, 2).crop(np.zeros((6, 6, 3)).view(Sub))
    assert type(m) is Sub and m.shape == (2, 2, 3)

    class Keys:
        def __getitem__(self, key):
            return key
    assert Box(-5, 2, 10, 4.5).crop(Keys()) == (slice(0, 5), slice(2, 6), slice(None))


@pytest.mark.parametrize("box, error, message", [
    ((float("nan"), 0, 1, 1), ValueError, "cannot convert float NaN to integer"),
    ((0, 0, float("inf"), 1), OverflowError, "cannot convert float infinity to integer"),
    (("x", 0, "y", 1), ValueError, "invalid literal for int() with base 10: 'x'"),
])
def test_crop_conversion_errors(box, error, message):
    b = Box(0, 0, 1, 1)
    b.top, b.left, b.bottom, b.right = box
    with pytest.raises(error) as info:
        b.crop(FRAME)
    assert str(info.value) == message


def test_crop_of_a_single_channel_frame_raises_index_error():
    with pytest.raises(IndexError):
        Box(0, 0, 2, 2).crop(np.zeros((5, 5)))


# ---------------------------------------------------------------- draw and lifetime


def test_draw_through_the_module_global(monkeypatch):
    calls = []
    monkeypatch.setattr(box_mod, "draw_box_text", lambda *a, **k: calls.append((a, k)) or "x")
    frame = np.zeros((10, 10, 3), np.uint8)
    b = Box(0, 0, 10, 10)
    b.top = 5
    assert b.draw(frame) is None
    assert b.draw(frame, (1, 2, 3), thickness=2) is None
    assert calls == [((frame, 5, 0, 10, 10), {"bgr_color": (235, 206, 135), "thickness": None}),
                     ((frame, 5, 0, 10, 10), {"bgr_color": (1, 2, 3), "thickness": 2})]


def test_draw_outlines_the_box_on_the_frame():
    frame = np.zeros((100, 100, 3), np.uint8)
    Box(10.7, 20, 30, 40).draw(frame, (1, 2, 3))
    assert tuple(frame[10, 20]) == (1, 2, 3) and tuple(frame[40, 60]) == (1, 2, 3)
    assert not frame[11:40, 21:60].any() and not frame[:10].any()


def test_boxes_in_cycles_are_collected():
    b = Box(0, 0, 1, 1)
    b.me = b
    ref = weakref.ref(b)
    del b
    gc.collect()
    assert ref() is None


def test_init_keeps_a_dict_the_sums_gave_the_box():
    # top + height runs the caller's __add__, which may store into the very
    # Box being initialised: that dict must be kept, not replaced (and leaked).
    b = Box.__new__(Box)

    class Top(int):
        def __add__(self, other):
            b.note = "added"
            return int(self) + other

    Box.__init__(b, Top(1), 2, 3, 4)
    assert vars(b) == {"note": "added", "top": 1, "left": 2, "height": 3, "width": 4,
                       "bottom": 4, "right": 6}
