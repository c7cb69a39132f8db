"""Direction: a directed segment that measures vectors against itself and
draws itself as an arrow."""
from typing import Any, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

# Coordinates are kept and computed as passed: ints, floats, numpy scalars.
_Coord = Union[int, float, np.number[Any]]

__all__ = ["Direction"]

class Direction:
    _start_x: _Coord
    _start_y: _Coord
    _end_x: _Coord
    _end_y: _Coord
    _x: Any
    _y: Any
    _ax: int
    _ay: int
    _bx: int
    _by: int
    @staticmethod
    def unit_vector(x: _Coord, y: _Coord) -> Tuple[Any, Any]: ...
    def __init__(self, start_x: _Coord, start_y: _Coord, end_x: _Coord, end_y: _Coord) -> None: ...
    def angle(self, x: _Coord, y: _Coord) -> float: ...
    def horizontal_projection_len(self, x: _Coord, y: _Coord) -> Any: ...
    def vertical_projection_len(self, x: _Coord, y: _Coord) -> Any: ...
    def draw(
        self,
        image: npt.NDArray[Any],
        bgr_color: Sequence[int] = ...,
        thickness: Optional[int] = ...,
    ) -> None: ...
