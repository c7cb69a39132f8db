"""Files and streams read with OpenCV's `cv2.VideoCapture`."""
import math
import os

from typing import Any, Iterable, Optional, Tuple

import cv2  # type: ignore[import]  # OpenCV ships no type information
import numpy.typing as npt

from .feed_base import FeedBase

__all__ = ["PlainFeed"]


class PlainFeed(FeedBase):
    """A path that exists is a file source; anything else (a URL, a device
    number) a stream.  `args` are passed on to `cv2.VideoCapture` after the
    source, e.g. ``(cv2.CAP_FFMPEG,)``.  With `out_width` and/or
    `out_height`, frames are resized (one of them alone keeps the aspect)."""

    # Used when the source reports no usable rate (many streams report 0).
    DEFAULT_FPS = 25.0

    def __init__(self, device_name: Any, out_width: Optional[int] = None,
                 out_height: Optional[int] = None, args: Optional[Iterable[Any]] = ()) -> None:
        super().__init__(device_name, out_width, out_height, args)
        is_path = isinstance(device_name, (str, bytes, os.PathLike))
        self._kind = "file" if is_path and os.path.exists(device_name) else "stream"
        self._cap = self._open()

    def _open(self) -> Any:
        return cv2.VideoCapture(self.device_name, *self.args)

    def is_open(self) -> bool:
        return bool(self._cap.isOpened())

    def file_or_stream(self) -> str:
        return self._kind

    def fps(self) -> float:
        rate: float = self._cap.get(cv2.CAP_PROP_FPS)
        # Some streams report their time base (90000) or nothing at all.
        if not math.isfinite(rate) or rate <= 0 or rate > 1000:
            return self.DEFAULT_FPS
        return rate

    def _source_size(self) -> Tuple[int, int]:
        return (int(self._cap.get(cv2.CAP_PROP_FRAME_WIDTH)),
                int(self._cap.get(cv2.CAP_PROP_FRAME_HEIGHT)))

    def _out_size(self) -> Optional[Tuple[int, int]]:
        """(width, height) of delivered frames, or None for the source's."""
        w, h = self.out_width, self.out_height
        if w is not None and h is not None:
            return int(w), int(h)
        if w is None and h is None:
            return None
        sw, sh = self._source_size()
        if not sw or not sh:
            return None
        if h is not None:
            return max(1, round(sw * h / sh)), int(h)
        assert w is not None
        return int(w), max(1, round(sh * w / sw))

    def width(self) -> int:
        size = self._out_size()
        return size[0] if size else self._source_size()[0]

    def height(self) -> int:
        size = self._out_size()
        return size[1] if size else self._source_size()[1]

    def _deliver(self, ok: bool,
                 frame: Optional[npt.NDArray[Any]]) -> Optional[npt.NDArray[Any]]:
        if not ok or frame is None:
            return None
        size = self._out_size()
        if size and (frame.shape[1], frame.shape[0]) != size:
            frame = cv2.resize(frame, size, interpolation=cv2.INTER_LINEAR)
        return frame

    def read(self) -> Optional[npt.NDArray[Any]]:
        return self._deliver(*self._cap.read())

    def grab(self) -> bool:
        return bool(self._cap.grab())

    def retrieve(self) -> Optional[npt.NDArray[Any]]:
        return self._deliver(*self._cap.retrieve())

    def reopen(self) -> None:
        self._cap.release()
        self._cap = self._open()

    def close(self) -> None:
        self._cap.release()
