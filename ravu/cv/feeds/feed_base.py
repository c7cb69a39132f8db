"""The interface every capture source offers the stream grabber."""

from typing import Any, Iterable, Optional

import numpy.typing as npt

__all__ = ["FeedBase"]


class FeedBase:
    """A video source opened at construction.

    `device_name` names the source, `out_width` and `out_height` ask for a
    size of delivered frames (None: the source's own), `args` is a tuple of
    source-specific options.  Subclasses implement every method below.
    """

    def __init__(self, device_name: Any, out_width: Optional[int] = None,
                 out_height: Optional[int] = None, args: Optional[Iterable[Any]] = ()) -> None:
        self.device_name = device_name
        self.out_width = out_width
        self.out_height = out_height
        self.args = tuple(args) if args is not None else ()

    def is_open(self) -> bool:
        """True when the source opened."""
        raise NotImplementedError

    def file_or_stream(self) -> str:
        """"file" for a file source, "stream" otherwise."""
        raise NotImplementedError

    def fps(self) -> float:
        """Nominal frames per second; never 0."""
        raise NotImplementedError

    def width(self) -> int:
        """Width of delivered frames."""
        raise NotImplementedError

    def height(self) -> int:
        """Height of delivered frames."""
        raise NotImplementedError

    def read(self) -> Optional[npt.NDArray[Any]]:
        """The next frame, or None."""
        raise NotImplementedError

    def grab(self) -> bool:
        """Advances the source by one frame."""
        raise NotImplementedError

    def retrieve(self) -> Optional[npt.NDArray[Any]]:
        """The frame at the last grabbed position, or None."""
        raise NotImplementedError

    def reopen(self) -> None:
        """Opens the source anew."""
        raise NotImplementedError

    def close(self) -> None:
        """Releases the source."""
        raise NotImplementedError
