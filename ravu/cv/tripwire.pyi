"""Tripwire: the straight line through two points, with side tests,
distances and projections."""
from typing import Any, Callable, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

from ravu.cv.direction import Direction

_Coord = Union[int, float, np.number[Any]]

__all__ = ["Tripwire"]

class Tripwire:
    _x1: _Coord
    _y1: _Coord
    _x2: _Coord
    _y2: _Coord
    _A: _Coord
    _signA: Any
    _B: _Coord
    _C: _Coord
    _signB: Any
    _D: float
    _F: Callable[[_Coord, _Coord], Any]
    _VA: npt.NDArray[np.float64]
    _VB: npt.NDArray[np.float64]
    _V: npt.NDArray[np.float64]
    _direction: Direction
    def __init__(self, x1: _Coord, y1: _Coord, x2: _Coord, y2: _Coord) -> None: ...
    @property
    def len(self) -> float: ...
    def horizontal_position(self, x: _Coord, y: _Coord) -> int: ...
    def vertical_position(self, x: _Coord, y: _Coord) -> int: ...
    def hor_or_ver_position(self, x: _Coord, y: _Coord) -> int: ...
    def angle(self, x: _Coord, y: _Coord) -> float: ...
    def horizontal_projection_len(self, x: _Coord, y: _Coord) -> Any: ...
    def vertical_projection_len(self, x: _Coord, y: _Coord) -> Any: ...
    def has(self, x: _Coord, y: _Coord) -> Union[bool, np.bool_]: ...
    def distance(self, x: _Coord, y: _Coord) -> Any: ...
    def get_projection(self, x: _Coord, y: _Coord) -> npt.NDArray[np.float64]: ...
    def draw(
        self,
        image: npt.NDArray[Any],
        bgr_color: Sequence[int] = ...,
        thickness: Optional[int] = ...,
    ) -> None: ...
