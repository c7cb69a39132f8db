"""ZoneShape, a polygonal zone of a frame with its mask, window, crops and point tests;
merge_region, one common window for several zones."""
from typing import Any, Iterable, Optional, Protocol, Sequence, TypeVar, Union, overload

import numpy as np
import numpy.typing as npt

from ravu.cv.box import Box as Box
from ravu.cv.image import (arr_to_b64 as arr_to_b64, b64_to_arr as b64_to_arr,
                           draw_box_text as draw_box_text, draw_line as draw_line,
                           draw_point as draw_point, draw_polygonal as draw_polygonal,
                           letterbox_image as letterbox_image,
                           normalize_image as normalize_image,
                           resize_image_scale as resize_image_scale)

__all__ = ["ZoneShape", "merge_region"]

_Int = Union[int, np.integer[Any]]
# Integer pixel coordinates: (x, y) pairs, or an N x 2 integer array.
_Points = Union[Sequence[Sequence[_Int]], npt.NDArray[np.integer[Any]]]
# Crops are views: the frame's element type stays.
_SCT = TypeVar("_SCT", bound=np.generic)


class _Window(Protocol):
    min_w: int
    max_w: int
    min_h: int
    max_h: int


class ZoneShape:
    """Polygonal zone of a frame with its 0/1 mask, bounding box and crop window."""

    width: int
    height: int
    xy_list: _Points
    image01: npt.NDArray[np.uint8]
    min_w: int
    max_w: int
    min_h: int
    max_h: int
    # The vertex bounds keep the type of the vertex coordinates.
    bb_min_h: Any
    bb_max_h: Any
    bb_min_w: Any
    bb_max_w: Any
    bounding_box: Box
    def __init__(self, width: int, height: int, xy_list: _Points, margin: float = ...,
                 min_w: Optional[float] = ..., max_w: Optional[float] = ...,
                 min_h: Optional[float] = ..., max_h: Optional[float] = ...) -> None: ...
    def crop_has(self, x: _Int, y: _Int) -> np.bool_: ...
    def has(self, x: _Int, y: _Int) -> np.bool_: ...
    def crop(self, image: npt.NDArray[_SCT]) -> npt.NDArray[_SCT]: ...
    def crop_with_bounding_box(self, image: npt.NDArray[_SCT]) -> npt.NDArray[_SCT]: ...
    # The product with the uint8 mask: numpy's result type, the frame's own for uint8.
    @overload
    def crop_and_fill(self, image: npt.NDArray[np.uint8]) -> npt.NDArray[np.uint8]: ...
    @overload
    def crop_and_fill(self, image: npt.NDArray[Any]) -> npt.NDArray[Any]: ...
    @overload
    def crop_and_fill_with_bounding_box(self, image: npt.NDArray[np.uint8]) -> npt.NDArray[np.uint8]: ...
    @overload
    def crop_and_fill_with_bounding_box(self, image: npt.NDArray[Any]) -> npt.NDArray[Any]: ...
    def crop_real_xy(self, x: Any, y: Any) -> tuple[Any, Any]: ...
    def draw(self, image: npt.NDArray[Any], bgr_color_polygonal: Sequence[int] = ...,
             draw_box: object = ..., bgr_color_box: Sequence[int] = ...,
             thickness: Optional[int] = ...) -> None: ...

def merge_region(region_list: Iterable[_Window]) -> None: ...
