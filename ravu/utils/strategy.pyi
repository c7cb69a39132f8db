"""Trigger records that turn a stream of observations into yes or no."""
from typing import ClassVar, List

import numpy as np
import numpy.typing as npt

__all__ = ["RecordByTime", "RecordByFrequency"]


class RecordByTime:
    MAX_LEN: ClassVar[int]
    queue: List[float]
    sec: float
    num: int
    def __init__(self, sec: float, num: int) -> None: ...
    def set(self) -> bool: ...
    def get(self) -> bool: ...
    def clear(self) -> None: ...


class RecordByFrequency:
    data: npt.NDArray[np.float32]
    mean_over: float
    index: int
    size: int
    def __init__(self, size: int, mean_over: float) -> None: ...
    def set(self, n: float) -> np.bool_: ...
    def get(self) -> np.bool_: ...
    def clear(self) -> None: ...
