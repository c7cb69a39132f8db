"""Image functions: drawing on frames through OpenCV, base64 image text
through Pillow, standardisation and aspect-keeping resizing."""
import base64 as base64
import io as io
import re as re
from typing import Any, Sequence

import cv2 as cv2  # type: ignore[import]
import numpy as np
import numpy.typing as npt
from PIL import Image as Image  # type: ignore[import]

__all__ = ["b64_to_arr", "arr_to_b64", "draw_box_text", "draw_polygonal", "draw_line",
           "draw_point", "normalize_image", "resize_image_scale", "letterbox_image"]

_Colour = Sequence[float] | float | None
_Coord = Any  # anything int() accepts

def b64_to_arr(b64: str) -> npt.NDArray[Any]: ...
def arr_to_b64(arr: npt.NDArray[Any], format: str = "jpeg") -> str: ...
def draw_box_text(image: npt.NDArray[Any], top: _Coord, left: _Coord, height: _Coord,
                  width: _Coord, text: str | None = None,
                  bgr_color: _Colour = (235, 206, 135), thickness: int | None = None) -> None: ...
def draw_polygonal(image: npt.NDArray[Any], xy_list: Sequence[Sequence[float]] | npt.ArrayLike,
                   bgr_color: _Colour = (0, 255, 0), thickness: int | None = None) -> None: ...
def draw_line(image: npt.NDArray[Any], x1: _Coord, y1: _Coord, x2: _Coord, y2: _Coord,
              bgr_color: _Colour = (0, 97, 255), thickness: int | None = None) -> None: ...
def draw_point(image: npt.NDArray[Any], x: _Coord, y: _Coord, bgr_color: _Colour = (0, 0, 255),
               thickness: int | None = None) -> None: ...
def normalize_image(image: npt.NDArray[Any]) -> npt.NDArray[np.float32]: ...
def resize_image_scale(image: npt.NDArray[Any], shape: Sequence[float],
                       interpolation: int = ...) -> tuple[npt.NDArray[Any], float]: ...
def letterbox_image(image: npt.NDArray[Any], shape: Sequence[float],
                    interpolation: int = ...) -> npt.NDArray[np.uint8]: ...
