"""Periodic task threads, started together by timer_start_all and stopped
together by timer_stop_all."""
import threading as threading
import time as time
import traceback as traceback
from typing import Any

from ravu.utils.working import get_class_or_func as get_class_or_func

__all__ = ["Ticker", "timer_add_task", "timer_start_all", "timer_stop_all"]

TIMER_STATUS_START: int
TIMER_STATUS_STOP: int
_status: int
_task_list: list[Ticker]

def log() -> Any: ...

class Ticker(threading.Thread):
    task_info: Any
    interval: Any
    def __init__(self, task_info: Any) -> None: ...
    def init(self) -> None: ...
    def init_run(self) -> None: ...
    def do(self) -> None: ...
    def run(self) -> None: ...

def timer_add_task(task_info: Any) -> None: ...
def timer_start_all() -> None: ...
def timer_stop_all() -> None: ...
