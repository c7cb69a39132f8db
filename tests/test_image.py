"""Image functions: drawing through OpenCV, base64 image text, standardisation
and resizing.  Pixels are compared with the same cv2/numpy/Pillow calls
written out in plain Python (the reference functions of _image_ref)."""
import base64
import binascii
import io
import math
import re
import types

import cv2
import numpy as np
import pytest
from PIL import Image

import ravu.cv.image as image_mod
from ravu.cv.image import (arr_to_b64, b64_to_arr, draw_box_text, draw_line, draw_point,
                           draw_polygonal, letterbox_image, normalize_image,
                           resize_image_scale)

from ._image_ref import (frame, ref_arr_to_b64, ref_b64_to_arr, ref_draw_box_text,
                         ref_draw_line, ref_draw_point, ref_draw_polygonal, ref_fit,
                         ref_letterbox_image, ref_normalize_image)
from ._proc import run_py

# ---------------------------------------------------------------- recording cv2


class Cv2Recorder:
    """Stands in for the module's `cv2` global: records every call and
    passes it on to the real cv2 (unless `draw` is False)."""

    def __init__(self, draw=True):
        self.calls = []
        self.draw = draw

    def __getattr__(self, name):
        real = getattr(cv2, name)
        if not callable(real):
            return real

        def record(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return real(*args, **kwargs) if self.draw else None
        return record


@pytest.fixture
def recorder(monkeypatch):
    rec = Cv2Recorder()
    monkeypatch.setattr(image_mod, "cv2", rec)
    return rec


# ---------------------------------------------------------------- module


def test_module_interface():
    assert image_mod.__all__ == ["b64_to_arr", "arr_to_b64", "draw_box_text", "draw_polygonal",
                                 "draw_line", "draw_point", "normalize_image",
                                 "resize_image_scale", "letterbox_image"]
    ns = {}
    exec("from ravu.cv.image import *", ns)
    assert sorted(set(ns) - {"__builtins__"}) == sorted(image_mod.__all__)
    assert image_mod.np is np and image_mod.cv2 is cv2 and image_mod.Image is Image
    assert image_mod.base64 is base64 and image_mod.io is io and image_mod.re is re


# ---------------------------------------------------------------- drawing

SIZES = [(1920, 1080), (1280, 720), (640, 480), (320, 240), (160, 120), (100, 50)]

DRAWS = [
    (draw_box_text, ref_draw_box_text, (30, 40, 50, 60, "caption")),
    (draw_box_text, ref_draw_box_text, (30, 40, 25, 20, "x")),
    (draw_box_text, ref_draw_box_text, (2, 5, 19, 300, "top")),
    (draw_box_text, ref_draw_box_text, (10.9, 20.2, 30.7, -5.5, None)),
    (draw_polygonal, ref_draw_polygonal, ([(5, 5), (90, 10), (40.9, 45.7)],)),
    (draw_line, ref_draw_line, (10.9, 20.2, -3.9, 5.5)),
    (draw_line, ref_draw_line, (0, 0, 2000, 1000)),
    (draw_point, ref_draw_point, (0, 0)),
    (draw_point, ref_draw_point, (1000, 1000)),
    (draw_point, ref_draw_point, (-7.5, 25.9)),
]


@pytest.mark.parametrize("w,h", SIZES)
@pytest.mark.parametrize("fn,ref,args", DRAWS)
def test_drawing_matches_the_plain_calls(fn, ref, args, w, h):
    got, want = frame(w, h), frame(w, h)
    assert fn(got, *args) is None
    ref(want, *args)
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("w,h,width,move_up,scale", [
    (1920, 1080, 3, 3, 1.08), (1280, 720, 2, 3, 0.72), (640, 480, 1, 3, 0.48),
    (320, 240, 1, 3, 0.24), (160, 120, 1, 2, 0.12), (100, 50, 1, 0, 0.05)])
def test_size_derived_widths_lift_and_scale(recorder, w, h, width, move_up, scale):
    img = np.zeros((h, w, 3), np.uint8)
    draw_box_text(img, 20, 7, 1000, 1000, "t")
    draw_line(img, 1, 2, 3, 4)
    draw_polygonal(img, [(1, 1), (5, 5), (1, 5)])
    rect, text, line, poly = recorder.calls
    assert rect[1][4] == width and text[1][6] == width
    assert text[1][2] == (7, 20 - move_up) and text[1][4] == scale
    assert line[2] == {"color": (0, 97, 255), "thickness": width}
    assert poly[1][2:] == (1, (0, 255, 0), width)


def test_box_text_call_arguments(recorder):
    img = np.zeros((1080, 1920, 3), np.uint8)
    draw_box_text(img, 100, 200, 50, 40, "person")
    name, args, kwargs = recorder.calls[0]
    assert name == "rectangle" and args[1:] == ((200, 100), (240, 150), (235, 206, 135), 3)
    assert args[0] is img and not kwargs
    name, args, kwargs = recorder.calls[1]
    assert name == "putText" and not kwargs
    assert args[0] is img and args[1:] == ("person", (200, 97), cv2.FONT_HERSHEY_SIMPLEX, 1.08,
                                           (235, 206, 135), 3)


@pytest.mark.parametrize("h,w,expected", [
    (50, 40, 3), (25, 20, 2), (19, 500, 1), (500, 19, 1), (10 ** 9, 10 ** 9, 3)])
def test_box_width_bounded_by_the_box(recorder, h, w, expected):
    draw_box_text(np.zeros((1080, 1920, 3), np.uint8), 0, 0, h, w)
    assert [c[1][4] for c in recorder.calls] == [expected]


@pytest.mark.parametrize("top,baseline", [(0, 1), (4, 1), (5, 2), (-50, 1), (100, 97)])
def test_caption_baseline_never_above_row_one(recorder, top, baseline):
    draw_box_text(np.zeros((300, 300, 3), np.uint8), top, 10, 50, 50, "c")
    assert recorder.calls[1][1][2] == (10, baseline)


def test_caption_only_when_text_is_not_none(recorder):
    img = np.zeros((200, 200, 3), np.uint8)
    draw_box_text(img, 10, 10, 20, 20)
    draw_box_text(img, 10, 10, 20, 20, "")
    assert [c[0] for c in recorder.calls] == ["rectangle", "rectangle", "putText"]
    assert recorder.calls[2][1][1] == ""


def test_font_scale_is_exactly_thousandths_of_the_side(monkeypatch):
    rec = Cv2Recorder(draw=False)
    monkeypatch.setattr(image_mod, "cv2", rec)
    for s in range(1, 4001):
        draw_box_text(types.SimpleNamespace(shape=(s, 5000, 3)), 10, 10, 10, 10, "c")
    scales = [args[4] for name, args, _ in rec.calls if name == "putText"]
    assert scales == [0.001 * s for s in range(1, 4001)]


def test_caller_width_and_colour_reach_opencv_unchanged(recorder):
    img = np.zeros((1080, 1920, 3), np.uint8)
    width, colour = np.int32(7), [1.4, 2.6, 300]
    draw_box_text(img, 1, 2, 3, 4, "c", colour, width)
    draw_line(img, 1, 2, 3, 4, colour, width)
    draw_polygonal(img, [(1, 2), (3, 4)], colour, width)
    for name, args, kwargs in recorder.calls:
        passed = kwargs or {"color": args[-2], "thickness": args[-1]}
        assert passed["color"] is colour and passed["thickness"] is width


def test_points_are_truncated_and_use_the_default_integer_type(recorder):
    img = np.zeros((100, 100, 3), np.uint8)
    draw_line(img, 10.9, 20.2, -3.9, np.float32(5.5))
    assert recorder.calls[0][1][1:] == ((10, 20), (-3, 5))
    draw_polygonal(img, [(1.9, -2.9), (50.5, 60.1)])
    pts = recorder.calls[1][1][1]
    assert pts.dtype == np.int_ and pts.tolist() == [[[1, -2], [50, 60]]]


@pytest.mark.parametrize("w,h,x,y,corners", [
    (640, 480, 0, 0, (0, 0, 2, 2)),
    (640, 480, 1000, 1000, (637, 477, 639, 479)),
    (640, 480, -5, 300, (0, 299, 2, 301)),
    (1920, 1080, 10 ** 40, -(10 ** 40), (1913, 0, 1919, 6)),
])
def test_point_square_kept_inside(w, h, x, y, corners):
    img = np.zeros((h, w, 3), np.uint8)
    draw_point(img, x, y)
    rows, cols = np.nonzero(img[..., 2])
    assert (cols.min(), rows.min(), cols.max(), rows.max()) == corners
    assert img[..., 2].sum() == 255 * (corners[2] - corners[0] + 1) * (corners[3] - corners[1] + 1)


def test_point_on_an_image_narrower_than_the_square():
    img = np.zeros((10, 1, 3), np.uint8)
    want = img.copy()
    draw_point(img, 0, 5)
    ref_draw_point(want, 0, 5)
    np.testing.assert_array_equal(img, want)
    assert img[4:7, 0, 2].tolist() == [255, 255, 255]


@pytest.mark.parametrize("t", [2, True, np.int64(2), 2.0])
def test_point_width_types_follow_the_plain_code(t):
    img, want = frame(50, 40), frame(50, 40)
    try:
        ref_draw_point(want, 3, 4, thickness=t)
    except cv2.error:
        with pytest.raises(cv2.error):
            draw_point(img, 3, 4, thickness=t)
    else:
        draw_point(img, 3, 4, thickness=t)
    np.testing.assert_array_equal(img, want)


@pytest.mark.parametrize("fn,args", [
    (draw_line, (0, 0, 10, 10)), (draw_box_text, (1, 1, 5, 5, "c")),
    (draw_polygonal, ([(0, 0), (9, 9), (0, 9)],)), (draw_point, (5, 5))])
def test_drawing_into_a_column_slice_view_changes_the_frame(fn, args):
    base = frame(80, 60)
    want = base.copy()
    view = base[:, 10:50]
    fn(view, *args)
    part = want[:, 10:50].copy()
    fn(part, *args)
    want[:, 10:50] = part
    np.testing.assert_array_equal(base, want)
    assert not np.array_equal(base, frame(80, 60))


@pytest.mark.parametrize("layout", [lambda f: f[..., ::-1], lambda f: f[:, ::2],
                                    lambda f: np.asfortranarray(f)])
@pytest.mark.parametrize("fn,args", [(draw_line, (0, 0, 10, 10)), (draw_point, (5, 5)),
                                     (draw_box_text, (1, 1, 5, 5, "c")),
                                     (draw_polygonal, ([(0, 0), (9, 9)],))])
def test_layouts_opencv_cannot_draw_in_place_raise(fn, args, layout):
    img = layout(frame(40, 30))
    before = img.copy()
    with pytest.raises(cv2.error):
        fn(img, *args)
    np.testing.assert_array_equal(img, before)


@pytest.mark.parametrize("fn,args", [
    (draw_line, (0, 0, 10, 10)), (draw_box_text, (1, 1, 5, 5, "c")),
    (draw_polygonal, ([(0, 0), (9, 9), (0, 9)],)), (draw_point, (5, 5))])
def test_read_only_images_are_refused_untouched(fn, args):
    raw = bytes(30 * 40 * 3)
    img = np.frombuffer(raw, np.uint8).reshape(30, 40, 3)
    with pytest.raises(ValueError, match="^image is read-only$"):
        fn(img, *args)
    assert raw == bytes(30 * 40 * 3)


def test_read_only_memmap_is_refused_without_a_crash(tmp_path):
    path = tmp_path / "frame.bin"
    np.zeros((30, 40, 3), np.uint8).tofile(path)
    run_py(tmp_path, f"""
        import numpy as np
        from ravu.cv.image import draw_line, draw_point
        img = np.memmap({str(path)!r}, np.uint8, "r", shape=(30, 40, 3))
        for fn, args in ((draw_line, (0, 0, 10, 10)), (draw_point, (5, 5))):
            try:
                fn(img, *args)
            except ValueError as e:
                assert str(e) == "image is read-only"
            else:
                raise AssertionError("drawn")
        assert not img.any()
    """)


def test_images_of_four_dimensions_and_surrogate_captions_fail_without_a_crash(tmp_path):
    # OpenCV overruns the heap drawing on a (1, 1, 1, 1) float array and
    # reads past a caption holding a lone surrogate.
    run_py(tmp_path, """
        import gc
        import numpy as np
        from ravu.cv.image import draw_box_text, draw_line, draw_point, draw_polygonal
        calls = [(draw_line, (0, 0, 10, 10)), (draw_point, (0, 0)),
                 (draw_box_text, (0, 0, 5, 5, "c")), (draw_polygonal, ([(0, 0), (9, 9)],))]
        for shape, dtype in [((1, 1, 1, 1), np.float64), ((1, 1, 1, 1, 1), np.int32),
                             ((4, 4, 3, 1), np.float32)]:
            for fn, args in calls:
                img = np.zeros(shape, dtype)
                try:
                    fn(img, *args)
                except ValueError as e:
                    assert "at most 3" in str(e), e
                else:
                    raise AssertionError(fn)
                assert not img.any()
        img = np.zeros((30, 40, 3), np.uint8)
        for text in ["\\ud800", "ok\\udfff"]:
            try:
                draw_box_text(img, 10, 2, 5, 5, text)
            except UnicodeEncodeError:
                pass
            else:
                raise AssertionError(text)
        assert img.any()  # the rectangle stays drawn
        gc.collect()
    """)


@pytest.mark.parametrize("fn,args,exc", [
    (draw_line, (float("nan"), 0, 10, 10), ValueError),
    (draw_line, (0, 0, float("inf"), 10), OverflowError),
    (draw_box_text, (1, 1, float("nan"), 5, "c"), ValueError),
    (draw_point, (float("-inf"), 5), OverflowError),
    (draw_line, ("a", 0, 10, 10), ValueError),
    (draw_line, (None, 0, 10, 10), TypeError),
    (draw_polygonal, ([(0, 0), (float("nan"), 9)],), ValueError),
    (draw_polygonal, ([(0, 0), (float("inf"), 9)],), OverflowError),
    (draw_polygonal, ([(0, 0), (2 ** 32 + 150, 9)],), OverflowError),
    (draw_polygonal, ([(0, 0), (-2 ** 31 - 1, 9)],), OverflowError),
    (draw_polygonal, ([(0, 0), (np.uint64(2 ** 64 - 5), 9)],), OverflowError),
    (draw_polygonal, (np.array([[0, 0], [3e9, 9]], np.float32),), OverflowError),
    (draw_polygonal, ([(0, 0), (2 ** 70, 9)],), OverflowError),
])
def test_bad_coordinates_fail_before_drawing(fn, args, exc):
    img = np.zeros((30, 40, 3), np.uint8)
    with pytest.raises(exc):
        fn(img, *args)
    assert not img.any()


def test_polygon_points_at_the_32_bit_limits_are_drawn():
    img, want = np.zeros((30, 40, 3), np.uint8), np.zeros((30, 40, 3), np.uint8)
    pts = [(0, 0), (2 ** 31 - 1, 9), (-2 ** 31, 20)]
    draw_polygonal(img, pts)
    ref_draw_polygonal(want, pts)
    np.testing.assert_array_equal(img, want)
    assert img.any()


@pytest.mark.parametrize("call", [
    lambda img: draw_line(img, 0, 0, 5, 5, (1, 2, 3), 0),
    lambda img: draw_line(img, 0, 0, 5, 5, (1, 2, 3), 1.0),
    lambda img: draw_polygonal(img, [(0, 0), (5, 5)], (1, 2, 3), 40000),
    lambda img: draw_box_text(img, 0, 0, 5, 5, 7),
    lambda img: draw_line(img, 0, 0, 5, 5, np.array([1, 2, 3])),
])
def test_opencv_argument_errors_pass_through(call):
    with pytest.raises(cv2.error):
        call(np.zeros((30, 40, 3), np.uint8))


def test_failing_caption_leaves_the_rectangle_drawn():
    img = np.zeros((30, 40, 3), np.uint8)
    with pytest.raises(cv2.error):
        draw_box_text(img, 5, 5, 10, 10, b"bytes")
    assert img.any()


@pytest.mark.parametrize("image,exc", [
    (np.zeros(10, np.uint8), IndexError), (None, AttributeError), ([[1, 2]], AttributeError)])
def test_images_without_two_dimensions(image, exc):
    for fn, args in ((draw_line, (0, 0, 1, 1)), (draw_point, (0, 0)),
                     (draw_polygonal, ([(0, 0)],)), (draw_box_text, (0, 0, 1, 1))):
        with pytest.raises(exc):
            fn(image, *args)


def test_keywords_and_argument_errors():
    img = np.zeros((30, 40, 3), np.uint8)
    want = img.copy()
    draw_line(image=img, x1=0, y1=1, x2=20, y2=21, bgr_color=(9, 9, 9), thickness=2)
    ref_draw_line(want, 0, 1, 20, 21, (9, 9, 9), 2)
    np.testing.assert_array_equal(img, want)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'y2'"):
        draw_line(img, 0, 1, 2)
    with pytest.raises(TypeError, match="unexpected keyword argument 'colour'"):
        draw_point(img, 1, 1, colour=(1, 2, 3))


# ---------------------------------------------------------------- codec


def outcome(fn, *args):
    try:
        return fn(*args)
    except Exception as e:  # noqa: BLE001 - the exception class is the outcome
        return type(e)


@pytest.mark.parametrize("arr,fmt", [
    (frame(64, 48), "jpeg"), (frame(64, 48), "PNG"), (frame(64, 48), "bmp"),
    (frame(64, 48)[..., 0], "png"), (frame(64, 48)[..., 0], "jpeg"),
    (np.dstack([frame(20, 10), frame(20, 10, 1)[..., :1]]), "png"),
    (np.array([[300, -1], [12.7, 255.9]]), "png"),
    (np.dstack([frame(20, 10), frame(20, 10, 1)[..., :1]]), "jpeg"),
    (frame(20, 10), "no-such-format"),
    (np.zeros((4, 4, 2), np.uint8), "png"),
])
def test_arr_to_b64_gives_pillows_bytes(arr, fmt):
    want = outcome(ref_arr_to_b64, arr, fmt)
    got = outcome(arr_to_b64, arr, fmt)
    if isinstance(want, str):
        assert isinstance(got, str) and got == want
        assert "\n" not in got and not got.startswith("data:")
    else:
        assert got is want


def test_codec_round_trip_keeps_channel_order_and_casts():
    bgr = frame(64, 48)
    back = b64_to_arr(arr_to_b64(bgr, format="png"))
    assert back.dtype == np.uint8 and np.array_equal(back, bgr)
    lossy = b64_to_arr(arr_to_b64(bgr))
    assert lossy.shape == bgr.shape and not np.array_equal(lossy, bgr)
    assert b64_to_arr(arr_to_b64(np.array([[300, 12.7]]), "png")).tolist() == [[44, 12]]
    assert b64_to_arr(arr_to_b64(np.array([[300, 7]], np.int64), "png")).tolist() == [[44, 7]]
    rgba = np.dstack([bgr, bgr[..., :1]])
    assert np.array_equal(b64_to_arr(arr_to_b64(rgba, "png")), rgba)
    assert np.array_equal(b64_to_arr(arr_to_b64(bgr[..., 1], "png")), bgr[..., 1])


PNG = ref_arr_to_b64(frame(8, 6), "png")


@pytest.mark.parametrize("text", [
    PNG,
    "data:image/png;base64," + PNG,
    "data:image/jpeg;base64,data:image/x;base64," + PNG,       # greedy: up to the last one
    " data:image/png;base64," + PNG,                           # not at the very start
    "data:image/png\n;base64," + PNG,                          # ".+" stops at a line break
    "data:image/;base64," + PNG,                               # ".+" needs a character
    "DATA:image/png;base64," + PNG,
    "\n".join(PNG[i:i + 76] for i in range(0, len(PNG), 76)),  # line breaks are skipped
    PNG.rstrip("="),                                           # bad padding
    PNG[:-8] + "é" + PNG[-8:],                                 # beyond ASCII
    base64.b64encode(b"not an image").decode(),
    "",
    PNG.encode(),
    None,
])
def test_b64_to_arr_follows_the_plain_decoding(text):
    want = outcome(ref_b64_to_arr, text)
    got = outcome(b64_to_arr, text)
    if isinstance(want, np.ndarray):
        assert isinstance(got, np.ndarray) and got.dtype == want.dtype
        np.testing.assert_array_equal(got, want)
    else:
        assert got is want


def test_b64_to_arr_errors_and_bomb_guard(monkeypatch):
    with pytest.raises(binascii.Error):
        b64_to_arr(PNG[:-1])
    big = ref_arr_to_b64(np.zeros((60, 60), np.uint8), "png")
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 100)
    with pytest.raises(Image.DecompressionBombError):
        b64_to_arr(big)
    with pytest.raises(TypeError):
        b64_to_arr()
    assert b64_to_arr(b64=PNG).shape == (6, 8, 3)


# ---------------------------------------------------------------- normalize


def sample(shape, dtype, seed=3, spread=None):
    rng = np.random.default_rng(seed)
    dtype = np.dtype(dtype)
    if dtype.kind == "f":
        return (rng.standard_normal(shape) * (spread or 40) + (spread or 100)).astype(dtype)
    if dtype.kind == "b":
        return rng.integers(0, 2, shape).astype(dtype)
    info = np.iinfo(dtype)
    return rng.integers(max(info.min, -40000), min(info.max, 40000), shape,
                        endpoint=True).astype(dtype)


def exact_deviation(image):
    """The population deviation of integer elements, exact until one final
    float64 division and root, as float32."""
    x = image.astype(np.int64).ravel()
    n, s, q = x.size, int(x.sum()), int((x * x).sum())
    return np.float32(math.sqrt(float(n * q - s * s) / n / n))


def expected_standardised(image):
    """What normalize_image gives: the numpy expression; for 8-bit elements
    with the exact deviation in place of numpy's float32 one (a few units
    in the last place apart)."""
    if image.dtype.itemsize != 1 or image.dtype.kind not in "ui":
        return ref_normalize_image(image)
    f = image.astype(np.float32)
    std_adj = np.maximum(exact_deviation(image), 1.0 / np.sqrt(f.size))
    return np.multiply(np.subtract(f, np.mean(f)), 1 / std_adj)


NORMALIZE_CASES = [
    sample((416, 416, 3), np.uint8), sample((64, 48, 3), np.uint8), sample((100, 3), np.int8),
    sample((300, 200), np.uint16), sample((300, 200), np.int16), sample((64, 64), np.int32),
    sample((64, 64), np.int64), sample((50, 60, 3), np.float32), sample((50, 60), np.float64),
    sample((50, 60), np.float16), sample((40, 30), np.bool_), sample((30, 20), ">u2"),
    sample((416, 416, 3), np.uint8)[:, ::3], np.asfortranarray(sample((40, 30, 3), np.uint8)),
    sample((40, 30, 3), np.float32).transpose(1, 0, 2), sample((41, 33), np.int16)[::-1],
    sample((7,), np.uint8), np.float64(5.0), np.array(7, np.uint8),
    sample((2, 2, 2, 2), np.float32),
    # around numpy's 8192-element pieces and its 128-element blocks
    *(sample((n,), np.uint8, seed=n) for n in (127, 129, 8191, 8192, 8193, 16385, 24581)),
    *(sample((n,), np.float32, seed=n) for n in (8191, 8192, 8193, 16385)),
    sample((91, 90), np.uint16), sample((91, 91), np.int16), sample((97, 85, 1), np.uint8),
    sample((257, 255, 3), np.uint8), sample((33, 31, 1), np.float64),
    # large values, where float32 rounds at every addition
    sample((300, 301), np.float32, spread=3e7), sample((100, 99), np.float64, spread=1e15),
    np.full((200, 100), 65535, np.uint16) - sample((200, 100), np.uint8).astype(np.uint16),
    np.where(sample((150, 150), np.bool_), np.int16(-32768), np.int16(32767)),
    np.full((9, 9), 127, np.int8),
]


def same_bits(got, want):
    return got.dtype == want.dtype and got.shape == want.shape and \
        np.array_equal(got.view(np.uint32), want.view(np.uint32))


@pytest.mark.parametrize("image", NORMALIZE_CASES)
def test_normalize_gives_the_numpy_expression(image):
    before = image.copy()
    got = normalize_image(image)
    want = ref_normalize_image(image)
    assert type(got) is np.ndarray and got.dtype == np.float32 and got.shape == np.shape(image)
    np.testing.assert_array_equal(image, before)
    assert same_bits(got, np.asarray(expected_standardised(image), np.float32))
    # 8-bit images: numpy's float32 deviation is a few units off the exact one.
    np.testing.assert_array_max_ulp(got, want, 4)
    if isinstance(want, np.ndarray):
        assert got.strides == want.strides  # numpy's layout: Fortran stays Fortran


def cpu_flags():
    with open("/proc/cpuinfo") as f:
        return set(next(line for line in f if line.startswith("flags")).split(":")[1].split())


ISAS = {"sse2": {"sse2"}, "avx2": {"avx2"},
        "avx512": {"avx512f", "avx512bw", "avx512vl", "avx512dq"}}


@pytest.mark.parametrize("isa", ISAS)
def test_normalize_gives_the_same_bits_on_every_vector_width(isa):
    if not ISAS[isa] <= cpu_flags():
        with pytest.raises(ValueError, match="lacks"):
            image_mod._normalize_image_isa(NORMALIZE_CASES[0], isa)
        pytest.skip(f"this processor lacks {isa}")
    for image in NORMALIZE_CASES:
        got = image_mod._normalize_image_isa(image, isa)
        assert same_bits(got, normalize_image(image))


def test_normalize_vector_width_names():
    for bad in ("avx", "AVX2", 2, None):
        with pytest.raises(ValueError, match="unknown instruction set"):
            image_mod._normalize_image_isa(np.zeros(3, np.uint8), bad)


def test_normalize_is_exact_where_numpy_sums_are():
    image = sample((64, 48, 3), np.uint8)
    np.testing.assert_array_max_ulp(normalize_image(image), ref_normalize_image(image), 4)
    assert normalize_image(np.array([[0, 0], [255, 255]], np.uint8)).tolist() == \
        [[-1, -1], [1, 1]]


@pytest.mark.parametrize("image", [
    np.ma.array(np.array([[0, 10], [20, 250]], np.uint8), mask=[[0, 0], [0, 1]]),
    np.array([[0, 10], [20, 250]], np.uint8).view(type("Frame", (np.ndarray,), {})),
])
def test_normalize_of_array_subclasses_is_numpys_own(image):
    # A masked array's statistics leave the masked elements out.
    got, want = normalize_image(image), ref_normalize_image(image)
    assert type(got) is type(want) and got.dtype == np.float32
    np.testing.assert_array_equal(got, want)
    if np.ma.isMaskedArray(image):
        assert got.mask.tolist() == image.mask.tolist() and got[0, 0] == np.float32(-1.2247448)


@pytest.mark.parametrize("image,zeros", [
    (np.full((416, 416, 3), 77, np.uint8), True), (np.full((10, 10), -3, np.int16), True),
    (np.full((9,), 2 ** 40, np.int64), True), (np.full((1080, 1920, 3), 255, np.uint8), True),
    # numpy's float32 mean of these is not the value itself (0.10000001), so
    # numpy's expression leaves small differences, scaled by sqrt(N).
    (np.full((300, 300), 0.1, np.float32), False), (np.full((100, 100), 1e10), False),
])
def test_normalize_of_a_uniform_image(image, zeros):
    got = normalize_image(image)
    assert got.dtype == np.float32 and same_bits(got, ref_normalize_image(image))
    assert bool(got.any()) is not zeros


def test_normalize_of_empty_and_non_finite_images():
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        got = normalize_image(np.zeros((0, 5, 3), np.uint8))
    assert got.shape == (0, 5, 3) and got.dtype == np.float32
    assert np.isnan(normalize_image(np.array([1.0, np.nan, 3.0]))).all()
    with pytest.raises(AttributeError):
        normalize_image([[1, 2], [3, 4]])
    with pytest.raises(TypeError):
        normalize_image(np.zeros(3), np.zeros(3))


# ---------------------------------------------------------------- resizing


@pytest.mark.parametrize("rows,cols,target,scale,size,offset", [
    (1080, 1920, (416, 416), 0.21666666666666667, (234, 416), (91, 0)),
    (480, 640, (416, 416), 0.65, (312, 416), (52, 0)),
    (480, 640, (640, 640), 1.0, (480, 640), (80, 0)),
    (720, 1280, (608, 1088), 0.8444444444444444, (608, 1080), (0, 4)),
    (7, 7, (61, 61), 8.714285714285714, (60, 60), (0, 0)),
    (5, 9, (20, 31), 3.4444444444444446, (17, 31), (1, 0)),
])
def test_fitting_table(rows, cols, target, scale, size, offset):
    image = frame(cols, rows)
    resized, got_scale = resize_image_scale(image, target)
    assert type(got_scale) is float and got_scale == scale
    assert resized.shape == size + (3,)
    np.testing.assert_array_equal(resized, cv2.resize(image, size[::-1]))
    box = letterbox_image(image, target)
    assert box.shape == target + (3,) and box.dtype == np.uint8
    (top, left), (nh, nw) = offset, size
    np.testing.assert_array_equal(box[top:top + nh, left:left + nw], resized)
    box[top:top + nh, left:left + nw] = 128
    assert (box == 128).all()


@pytest.mark.parametrize("image", [
    frame(40, 30), frame(40, 30)[..., 0], frame(40, 30)[..., :1], frame(40, 30)[..., :2],
    np.dstack([frame(40, 30)] * 2), frame(40, 30)[:, 5:35], frame(30, 40)[::2],
    frame(40, 30).astype(np.float32) * 1.7 - 20, frame(40, 30)[..., 0].astype(np.float64) / 3,
    frame(40, 30)[..., :1].astype(np.float32) + 0.9, frame(40, 30).astype(np.uint16) * 3,
    frame(40, 30).astype(np.int16) - 300,
])
@pytest.mark.parametrize("target", [(64, 64), (20, 90), (31, 17), (30, 40)])
def test_letterbox_matches_the_plain_steps(image, target):
    before = image.copy()
    got = letterbox_image(image, target)
    want = ref_letterbox_image(image, target)
    assert got.dtype == np.uint8 and got.shape == want.shape
    np.testing.assert_array_equal(got, want)
    resized, scale = resize_image_scale(image, target)
    ref_resized, ref_scale, *_ = ref_fit(image, target)
    assert scale == ref_scale and resized.dtype == image.dtype
    np.testing.assert_array_equal(resized, ref_resized)
    np.testing.assert_array_equal(image, before)


@pytest.mark.parametrize("image,channels", [
    (frame(64, 48)[..., 0], None), (frame(64, 48)[..., :1], 1),
    (frame(64, 48)[..., :1].astype(np.float32), 1)])
def test_letterbox_of_grey_images_keeps_their_layout(image, channels):
    got = letterbox_image(image, (100, 100))
    assert got.shape == ((100, 100) if channels is None else (100, 100, channels))
    grey = got if channels is None else got[..., 0]
    resized, _ = resize_image_scale(image, (100, 100))
    assert resized.shape == (75, 100)
    np.testing.assert_array_equal(grey[12:87], resized.astype(np.uint8))
    assert (grey[:12] == 128).all() and (grey[87:] == 128).all()


def test_shape_given_as_numpy_numbers():
    image = frame(64, 48)
    target = (np.int64(100), np.int32(90))
    np.testing.assert_array_equal(letterbox_image(image, target),
                                  ref_letterbox_image(image, target))
    resized, scale = resize_image_scale(image, (100.0, 90.0))
    assert resized.shape == (67, 90, 3) and scale == 90 / 64


@pytest.mark.parametrize("image,shape,exc,message", [
    (frame(40, 30), (416, 416, 3), ValueError, "too many values to unpack (expected 2)"),
    (frame(40, 30), (416,), ValueError, "not enough values to unpack (expected 2, got 1)"),
    (frame(40, 30), iter([1, 2, 3]), ValueError, "too many values to unpack (expected 2)"),
    (frame(40, 30), 416, TypeError, "cannot unpack non-iterable int object"),
    (np.zeros(10, np.uint8), (4, 4), ValueError,
     "not enough values to unpack (expected 2, got 1)"),
    (np.zeros((0, 10, 3), np.uint8), (4, 4), ZeroDivisionError, None),
    (np.zeros((10, 0, 3), np.uint8), (4, 4), ZeroDivisionError, None),
    (np.zeros((1, 1000, 3), np.uint8), (100, 100), cv2.error, None),
    (None, (4, 4), AttributeError, None),
])
def test_resizing_errors(image, shape, exc, message):
    for fn in (resize_image_scale, letterbox_image):
        if isinstance(shape, type(iter([]))):
            shape = iter([1, 2, 3])
        with pytest.raises(exc) as info:
            fn(image, shape)
        if message:
            assert str(info.value) == message


def test_interpolation_default_is_read_at_import(monkeypatch):
    import inspect
    for fn in (resize_image_scale, letterbox_image):
        assert inspect.signature(fn).parameters["interpolation"].default == cv2.INTER_LINEAR

    class Changed(Cv2Recorder):
        INTER_LINEAR = cv2.INTER_NEAREST
    rec = Changed()
    monkeypatch.setattr(image_mod, "cv2", rec)
    image = frame(40, 30)
    resize_image_scale(image, (10, 10))
    letterbox_image(image.astype(np.float32), (10, 10))
    assert [c[2]["interpolation"] for c in rec.calls] == [cv2.INTER_LINEAR] * 2
    got, _ = resize_image_scale(image, shape=(10, 10), interpolation=cv2.INTER_NEAREST)
    np.testing.assert_array_equal(got, cv2.resize(image, (10, 7), interpolation=cv2.INTER_NEAREST))
