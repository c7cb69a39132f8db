"""ZoneShape, a polygonal zone of a frame with its mask, window, crops and point tests;
merge_region, one common window for several zones."""
from typing import Any, Iterable, Sequence

import numpy as np

from ravu.cv.box import Box as Box
from ravu.cv.image import (arr_to_b64 as arr_to_b64, b64_to_arr as b64_to_arr,
                           draw_box_text as draw_box_text, draw_line as draw_line,
                           draw_point as draw_point, draw_polygonal as draw_polygonal,
                           letterbox_image as letterbox_image,
                           normalize_image as normalize_image,
                           resize_image_scale as resize_image_scale)

__all__ = ["ZoneShape", "merge_region"]

class ZoneShape:
    """Polygonal zone of a frame with its 0/1 mask, bounding box and crop window."""

    width: Any
    height: Any
    xy_list: Any
    image01: np.ndarray
    min_w: int
    max_w: int
    min_h: int
    max_h: int
    bb_min_h: Any
    bb_max_h: Any
    bb_min_w: Any
    bb_max_w: Any
    bounding_box: Box
    def __init__(self, width: Any, height: Any, xy_list: Any, margin: float = ...,
                 min_w: Any = ..., max_w: Any = ..., min_h: Any = ..., max_h: Any = ...) -> None: ...
    def crop_has(self, x: Any, y: Any) -> np.bool_: ...
    def has(self, x: Any, y: Any) -> np.bool_: ...
    def crop(self, image: np.ndarray) -> np.ndarray: ...
    def crop_with_bounding_box(self, image: np.ndarray) -> np.ndarray: ...
    def crop_and_fill(self, image: np.ndarray) -> np.ndarray: ...
    def crop_and_fill_with_bounding_box(self, image: np.ndarray) -> np.ndarray: ...
    def crop_real_xy(self, x: Any, y: Any) -> tuple[Any, Any]: ...
    def draw(self, image: np.ndarray, bgr_color_polygonal: Sequence[int] = ...,
             draw_box: Any = ..., bgr_color_box: Sequence[int] = ...,
             thickness: int | None = ...) -> None: ...

def merge_region(region_list: Iterable[Any]) -> None: ...
