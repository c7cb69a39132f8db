"""The grabbing thread of one video source."""
import threading
from typing import Any, Dict, Optional, Tuple

import numpy.typing as npt

from ravu.utils.datakit import CircularQueue


class FrameMap:
    """The default frame hook: maps nothing."""
    @staticmethod
    def map(frame: Any, frame_num: int) -> Any: ...
    @staticmethod
    def width_map(width: int, height: int) -> int: ...
    @staticmethod
    def height_map(width: int, height: int) -> int: ...


class StreamGrabber(threading.Thread):
    device_name: Any
    frame_map: Any
    cap: Any
    is_file: bool
    is_run: bool
    reconnect_time: float
    retrieve_step: int
    grab_sleep_time: float
    # None before the first frame.
    cur_frame: Optional[npt.NDArray[Any]]
    cur_map_frame: Any
    cur_frame_num: int
    event: threading.Event
    history_size: int
    # None for a size of 0 or less.
    history: Optional[CircularQueue]
    map_history_size: int
    map_history: Optional[CircularQueue]
    catch: Dict[Any, Any]
    cap_lock: threading.Lock
    endpoint: Any
    def __init__(self, device_name: Any, cap_cls: Any = None, out_width: Optional[int] = None,
                 out_height: Optional[int] = None, args: Tuple[Any, ...] = (),
                 frame_map: Any = None, reconnect_time: float = 0, retrieve_step: int = 1,
                 history_size: int = 0, map_history_size: int = 0) -> None: ...
    def run(self) -> None: ...
    def stop(self) -> None: ...
    def read_frame(self) -> bool: ...
    def update_frame(self, frame: npt.NDArray[Any]) -> None: ...
    def get_frame(self, frame_num: int) -> Optional[npt.NDArray[Any]]: ...
    def get_map_frame(self, frame_num: int) -> Any: ...
