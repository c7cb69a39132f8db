"""ZoneShape and merge_region: the construction compared with the same rules
written in plain Python (ref_zone and ref_mask of _box_zone_ref), the worked
zones, point tests on the live mask, the window and bounding-box crops, the
fill crops against numpy's own product, drawing and the merged window."""
import gc
import inspect
import types
import weakref

import cv2
import numpy as np
import pytest

import ravu.cv.zone_shape as zone_mod
from ravu.cv.box import Box
from ravu.cv.zone_shape import ZoneShape, merge_region

from ._box_zone_ref import ref_fill, ref_mask, ref_zone
from ._proc import run_py

# ---------------------------------------------------------------- construction

ATTRS = ["width", "height", "xy_list", "image01", "min_w", "max_w", "min_h", "max_h",
         "bb_min_h", "bb_max_h", "bb_min_w", "bb_max_w", "bounding_box"]
RECT = [(20, 30), (120, 30), (120, 70), (20, 70)]
ENCLOSING = [(-10, -10), (210, -10), (210, 110), (-10, 110)]
BELOW = [(20, 150), (120, 150), (70, 180)]

ZONES = [
    ((200, 100, RECT), {}),
    ((200, 100, ENCLOSING), {}),
    ((200, 100, BELOW), {}),
    ((200, 100, RECT), {"margin": -0.05}),
    ((200, 99, RECT), {"margin": 0.05}),
    ((200, 99, RECT), {"margin": -0.05}),
    ((200, 100, RECT), {"min_w": 0, "max_h": 99}),
    ((200, 100, RECT), {"min_w": 15, "max_h": 60}),
    ((200, 100, RECT), {"min_w": -7.9, "max_w": 150.5}),
    ((200, 100, [(5, 5), (50, 8), (30, 90)]), {"margin": 0.5}),
    ((200, 100, np.array(RECT)), {}),
    ((200, 100, np.array(RECT, np.int32)), {"margin": np.float32(0.1)}),
    ((np.int64(200), np.int64(100), RECT), {}),
    ((200, 100, ((x, y) for x, y in RECT)), {}),  # generator: consumed by the bounds
]


@pytest.mark.parametrize("args, kwargs", ZONES, ids=lambda v: repr(v)[:60])
def test_construction_matches_the_plain_rules(args, kwargs):
    if inspect.isgenerator(args[2]):
        # The vertex loop takes the generator's items; the fill then
        # receives the spent generator, which OpenCV refuses.
        with pytest.raises(cv2.error):
            ZoneShape(*args, **kwargs)
        return
    z = ZoneShape(*args, **kwargs)
    want = ref_zone(*args, **kwargs)
    assert list(vars(z)) == ATTRS
    for k, v in want.items():
        got = getattr(z, k)
        assert got is v if k == "xy_list" else (got == v and type(got) is type(v)), k
    for k in ("min_w", "max_w", "min_h", "max_h"):
        assert type(getattr(z, k)) is int
    assert z.image01.dtype == np.uint8 and z.image01.shape == (args[1], args[0])
    assert np.array_equal(z.image01, ref_mask(*args[:3]))
    bb = z.bounding_box
    assert type(bb) is Box
    assert bb.to_ltrb() == [want["bb_min_w"], want["bb_min_h"], want["bb_max_w"], want["bb_max_h"]]


def test_the_rectangle_zone():
    z = ZoneShape(200, 100, RECT)
    assert (z.bb_min_h, z.bb_max_h, z.bb_min_w, z.bb_max_w) == (30, 70, 20, 120)
    assert (z.min_h, z.max_h, z.min_w, z.max_w) == (25, 75, 10, 130)
    frame = np.arange(100 * 200 * 3, dtype=np.uint32).reshape(100, 200, 3)
    assert np.array_equal(z.crop(frame), frame[25:75, 10:130])
    assert z.crop_real_xy(0, 0) == (10, 25)
    assert z.bounding_box.to_tlhw() == [30, 20, 40, 100]
    assert np.array_equal(z.crop_with_bounding_box(frame), frame[30:70, 20:120])
    assert z.has(60, 50) is np.True_ and z.crop_has(50, 25) is np.True_
    assert z.has(5, 5) is np.False_


def test_the_enclosing_zone_and_its_clipped_bounding_crops():
    z = ZoneShape(200, 100, ENCLOSING)
    assert z.image01.all()
    assert (z.bb_min_h, z.bb_max_h, z.bb_min_w, z.bb_max_w) == (-10, 110, -10, 210)
    assert (z.min_h, z.max_h, z.min_w, z.max_w) == (0, 99, 0, 199)
    frame = np.random.default_rng(1).integers(0, 256, (100, 200, 3), np.uint8)
    assert z.crop(frame).shape == (99, 199, 3)
    assert z.has(-5, -5) is np.True_
    z.image01[99, 199] = 0
    assert z.has(500, 500) is np.False_
    # The box starts above and left of the frame: cut at 0, not counted
    # from the far end.
    assert np.array_equal(z.crop_with_bounding_box(frame), frame)
    filled = z.crop_and_fill_with_bounding_box(frame)
    assert filled.shape == (100, 200, 3) and filled[99, 199].sum() == 0
    assert np.array_equal(filled[:99], frame[:99])


def test_vertices_below_the_frame_keep_the_seed():
    z = ZoneShape(200, 100, BELOW)
    assert (z.bb_min_h, z.bb_max_h, z.min_h, z.max_h) == (99, 180, 94, 99)
    assert z.bounding_box.to_tlhw()[:3] == [99, 20, 81]


@pytest.mark.parametrize("xy_list", [[], ()])
def test_an_empty_polygon_gives_an_empty_mask(xy_list):
    z = ZoneShape(200, 100, xy_list)
    assert (z.min_h, z.max_h, z.min_w, z.max_w) == (94, 5, 189, 10)
    assert (z.bb_min_h, z.bb_max_h, z.bb_min_w, z.bb_max_w) == (99, 0, 199, 0)
    assert not z.image01.any() and z.xy_list is xy_list
    frame = np.ones((100, 200, 3), np.uint8)
    assert z.crop(frame).size == 0 and z.crop_and_fill(frame).size == 0
    assert z.has(50, 50) is np.False_


def test_an_empty_numpy_vertex_array_in_a_child(tmp_path):
    # OpenCV's fill crashes the interpreter on such an array: the child
    # keeps the test run alive if it ever reaches the fill again.
    _, out, _ = run_py(tmp_path, """
        import numpy as np
        from ravu.cv.zone_shape import ZoneShape
        for dtype in (int, np.int32, float):
            z = ZoneShape(200, 100, np.zeros((0, 2), dtype))
            print(z.min_h, z.max_h, z.min_w, z.max_w, int(z.image01.sum()))
    """)
    assert out.split("\n")[:3] == ["94 5 189 10 0"] * 3


@pytest.mark.parametrize("xy_list", [
    [(2**32 + 150, 10), (160, 10), (150, 50)],
    np.array([(2**32 + 150, 10), (160, 10), (150, 50)]),
    [(150, -2**31 - 1), (160, 10), (150, 50)],
    np.array([(150, 2**31), (160, 10), (150, 50)], np.uint32),
])
def test_vertices_beyond_32_bits_raise_overflow(xy_list):
    with pytest.raises(OverflowError):
        ZoneShape(200, 100, xy_list)


def test_vertices_at_the_32_bit_limits_are_filled():
    z = ZoneShape(200, 100, [(-2**31, 10), (2**31 - 1, 10), (150, 50)])
    assert z.has(150, 20) is np.True_


@pytest.mark.parametrize("xy_list, error", [
    ([(1, 2, 3)], ValueError),
    ([(1,)], ValueError),
    ([5], TypeError),
    ([(1.5, 2), (3, 4), (5, 6)], cv2.error),
])
def test_bad_vertices(xy_list, error):
    with pytest.raises(error):
        ZoneShape(200, 100, xy_list)


# ---------------------------------------------------------------- point tests


def test_has_reads_the_live_mask_and_clamps_to_the_frame():
    z = ZoneShape(20, 10, [(2, 2), (5, 2), (5, 5)])
    z.image01[:] = 0
    z.image01[0, 0] = 1
    z.image01[9, 19] = 1
    for x, y, want in [(0, 0, True), (-50, -50, True), (100, 100, True), (19, -3, False),
                       (np.int64(-5), np.int32(0), True)]:
        assert z.has(x, y) is (np.True_ if want else np.False_), (x, y)
    z.image01[0, 0] = 2
    assert z.has(0, 0) is np.False_
    z.image01 = np.ones((10, 20), np.float32)
    assert z.has(3, 3) is np.True_
    z.width = 30  # beyond the mask: numpy's own error
    with pytest.raises(IndexError):
        z.has(25, 0)
    with pytest.raises(IndexError):
        z.has(1.5, 2)


def test_crop_has_goes_through_has():
    z = ZoneShape(200, 100, RECT)
    assert z.crop_has(x=50, y=25) is np.True_
    z.has = lambda x, y: ("own", x, y)
    assert z.crop_has(1, 2) == ("own", 11, 27)

    class Sub(ZoneShape):
        def has(self, x, y):
            return ("sub", x, y)
    assert Sub(200, 100, RECT).crop_has(0, 0) == ("sub", 10, 25)


# ---------------------------------------------------------------- crops

FRAMES = {
    "uint8": np.random.default_rng(2).integers(0, 256, (100, 200, 3), np.uint8),
    "uint8 view": np.random.default_rng(3).integers(0, 256, (100, 400, 3), np.uint8)[:, ::2],
    "uint8 planes": np.random.default_rng(4).integers(0, 256, (3, 100, 200), np.uint8)
    .transpose(1, 2, 0),
    "float32": np.random.default_rng(5).random((100, 200, 3), np.float32),
    "int16": np.random.default_rng(6).integers(-300, 300, (100, 200, 3), np.int16),
}
WINDOWS = [None, (25, 75, 10, 130), (-7, 75, -3, 40), (50, 20, 0, 10), (0, 500, 190, 900),
           (-20, -5, 0, 10)]


@pytest.mark.parametrize("window", WINDOWS)
@pytest.mark.parametrize("name", FRAMES)
def test_crop_and_fill_match_numpy(name, window):
    frame = FRAMES[name]
    before = frame.copy()
    z = ZoneShape(200, 100, [(20, 30), (120, 10), (180, 90), (60, 70)])
    if window:
        z.min_h, z.max_h, z.min_w, z.max_w = window
    z.image01[40, 100] = 3  # any mask value multiplies as numpy does
    got = z.crop_and_fill(frame)
    want = ref_fill(frame, z.image01, z.min_h, z.max_h, z.min_w, z.max_w)
    assert got.dtype == want.dtype and got.shape == want.shape
    assert np.array_equal(got, want)
    assert np.array_equal(frame, before)
    owner = frame if frame.base is None else frame.base
    assert z.crop(frame).base is owner
    assert got.base is None
    bb = z.crop_and_fill_with_bounding_box(frame)
    assert np.array_equal(bb, ref_fill(frame, z.image01, z.bb_min_h, z.bb_max_h, z.bb_min_w,
                                       z.bb_max_w))


def test_window_below_zero_is_clipped_in_crops():
    z = ZoneShape(200, 100, RECT, min_w=-7.9)
    assert z.min_w == -7
    frame = FRAMES["uint8"]
    assert np.array_equal(z.crop(frame), frame[25:75, 0:130])
    assert z.crop_and_fill(frame).shape == (50, 130, 3)
    assert z.crop_real_xy(0, 0) == (-7, 25)


def test_fill_with_other_masks_and_mismatched_frames():
    z = ZoneShape(200, 100, RECT)
    frame = FRAMES["uint8"]
    z.image01 = z.image01.astype(bool)
    got = z.crop_and_fill(frame)
    assert got.dtype == np.uint8 and np.array_equal(got, ref_fill(frame, z.image01, 25, 75, 10, 130))
    z.image01 = z.image01.astype(np.float64)
    assert z.crop_and_fill(frame).dtype == np.float64
    with pytest.raises(ValueError):  # broadcasting of 4 channels with 3
        ZoneShape(200, 100, RECT).crop_and_fill(np.zeros((100, 200, 4), np.uint8))
    with pytest.raises(IndexError):
        ZoneShape(200, 100, RECT).crop(np.zeros((100, 200), np.uint8))


def test_bounding_crops_go_through_the_box():
    z = ZoneShape(200, 100, RECT)
    calls = []

    class Spy(Box):
        def crop(self, image):
            calls.append(image)
            return super().crop(image)
    z.bounding_box = Spy(30, 20, 40, 100)
    frame = FRAMES["uint8"]
    assert z.crop_with_bounding_box(frame).shape == (40, 100, 3)
    assert z.crop_and_fill_with_bounding_box(frame).shape == (40, 100, 3)
    assert len(calls) == 2 and calls[0] is frame


# ---------------------------------------------------------------- drawing


def test_draw_through_the_module_globals(monkeypatch):
    calls = []
    monkeypatch.setattr(zone_mod, "draw_box_text", lambda *a, **k: calls.append(("box", a, k)))
    monkeypatch.setattr(zone_mod, "draw_polygonal", lambda *a, **k: calls.append(("poly", a, k)))
    z = ZoneShape(200, 100, RECT)
    frame = np.zeros((100, 200, 3), np.uint8)
    assert z.draw(frame) is None
    assert z.draw(frame, draw_box=[1], thickness=4) is None
    assert calls == [
        ("poly", (frame, RECT), {"bgr_color": (0, 255, 0), "thickness": None}),
        ("box", (frame, 25, 10, 50, 120), {"bgr_color": (200, 255, 200), "thickness": 4}),
        ("poly", (frame, RECT), {"bgr_color": (0, 255, 0), "thickness": 4}),
    ]
    assert calls[0][1][1] is z.xy_list


def test_draw_on_a_frame():
    z = ZoneShape(200, 100, RECT)
    frame = np.zeros((100, 200, 3), np.uint8)
    z.draw(frame, draw_box=True)
    assert tuple(frame[25, 60]) == (200, 255, 200) and tuple(frame[75, 130]) == (200, 255, 200)
    assert tuple(frame[30, 60]) == (0, 255, 0) and tuple(frame[50, 20]) == (0, 255, 0)


# ---------------------------------------------------------------- merge_region


def window(z):
    return (z.min_w, z.min_h, z.max_w, z.max_h)


def test_merge_region_gives_one_covering_window():
    a = ZoneShape(200, 100, RECT)
    b = ZoneShape(200, 100, [(60, 10), (180, 10), (180, 55)])
    b.min_w, b.min_h, b.max_w, b.max_h = 50, 5, 190, 60
    mask, bb = a.image01.copy(), a.bounding_box
    assert merge_region([a, b]) is None
    assert window(a) == window(b) == (10, 5, 190, 75)
    assert np.array_equal(a.image01, mask) and a.bounding_box is bb and a.bb_min_h == 30
    frame = FRAMES["uint8"]
    assert a.crop(frame).shape == b.crop(frame).shape


@pytest.mark.parametrize("windows, merged", [
    ([(20000, 3, 5, 6)], (10000, 3, 5, 6)),
    ([(3.9, -2.5, 7.9, np.int64(8))], (3, -2, 7, 8)),
    ([(1, 1, 1, 1), (0, 0, 0, 0)], (0, 0, 1, 1)),
    ([(2**40, 2, -1, -5)], (10000, 2, 0, 0)),
])
def test_merge_region_values(windows, merged):
    zones = [types.SimpleNamespace(min_w=a, min_h=b, max_w=c, max_h=d) for a, b, c, d in windows]
    merge_region(zones)
    for z in zones:
        assert window(z) == merged and all(type(v) is int for v in window(z))


def test_merge_region_edges():
    merge_region([])
    z = types.SimpleNamespace(min_w=1, min_h=2, max_w=3, max_h=4)
    merge_region(iter([z]))  # spent by the first pass
    assert window(z) == (1, 2, 3, 4)
    with pytest.raises(AttributeError):
        merge_region([object()])
    with pytest.raises(TypeError):
        merge_region([types.SimpleNamespace(min_w="5", min_h=2, max_w=3, max_h=4)])
    with pytest.raises(OverflowError):
        merge_region([types.SimpleNamespace(min_w=1, min_h=2, max_w=2**64, max_h=4)])

    # The second pass fails on the second zone: the first is already set.
    class Frozen(types.SimpleNamespace):
        def __setattr__(self, name, value):
            raise AttributeError("frozen")
    a = types.SimpleNamespace(min_w=1, min_h=2, max_w=3, max_h=4)
    b = Frozen(min_w=0, min_h=0, max_w=9, max_h=9)
    with pytest.raises(AttributeError, match="frozen"):
        merge_region([a, b])
    assert window(a) == (0, 0, 9, 9)


# ---------------------------------------------------------------- module, classes, lifetime


def test_module_and_signatures():
    assert zone_mod.__all__ == ["ZoneShape", "merge_region"]
    from ravu.cv import image
    for name in image.__all__:
        assert getattr(zone_mod, name) is getattr(image, name)
    assert zone_mod.Box is Box and zone_mod.np is np and zone_mod.cv2 is cv2
    assert str(inspect.signature(ZoneShape)) == (
        "(width, height, xy_list, margin=0.05, min_w=None, max_w=None, min_h=None, max_h=None)")
    assert str(inspect.signature(merge_region)) == "(region_list)"
    for name in ("has", "crop_has", "crop", "crop_with_bounding_box", "crop_and_fill",
                 "crop_and_fill_with_bounding_box", "crop_real_xy", "draw"):
        assert getattr(ZoneShape, name).__doc__
    z = ZoneShape(xy_list=RECT, height=100, width=200, margin=0.1)
    assert (z.min_h, z.min_w) == (20, 0)


def test_module_globals_are_looked_up_at_each_call(monkeypatch):
    made = []

    class FakeBox:
        @staticmethod
        def create_by_ltrb(*a):
            made.append(a)
            return "box"
    monkeypatch.setattr(zone_mod, "Box", FakeBox)
    assert ZoneShape(200, 100, RECT).bounding_box == "box"
    assert made == [(20, 30, 120, 70)]


def test_subclass_attributes_go_through_setattr():
    seen = []

    class Sub(ZoneShape):
        def __setattr__(self, name, value):
            seen.append(name)
            super().__setattr__(name, value)
    z = Sub(200, 100, RECT)
    assert seen[:4] == ["width", "height", "xy_list", "image01"] and seen[-1] == "bounding_box"
    assert z.has(60, 50) is np.True_


def test_zones_in_cycles_are_collected():
    z = ZoneShape(20, 10, [(1, 1), (5, 1), (5, 5)])
    z.me = z
    ref = weakref.ref(z)
    del z
    gc.collect()
    assert ref() is None


