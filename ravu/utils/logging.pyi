"""The one logger of each process and its console, file and collect handlers."""
import logging
import logging.handlers
from typing import Any, Dict, Optional, Sequence, Union

__all__ = ["set_logid", "init_logger", "log"]


def set_logid(log_id: Any, /) -> None: ...
def init_logger(appname: Optional[str] = None, filename: Optional[str] = None,
                log_id: Any = None, exist_ok: bool = False, open_console: bool = True,
                open_localfile: bool = True, open_collect: bool = False,
                level: Union[str, int] = "DEBUG",
                rotating_conf: Dict[str, Any] = ...,
                collect_address: Sequence[Any] = ...) -> None: ...
def log() -> logging.Logger: ...


class ConsoleHandler(logging.StreamHandler):  # type: ignore[type-arg]
    def __init__(self) -> None: ...


class LocalFileHandler(logging.handlers.TimedRotatingFileHandler):
    def __init__(self, filename: str, rotating_conf: Dict[str, Any] = ...) -> None: ...


class CollectHandler(logging.handlers.DatagramHandler):
    hostname: str
    def __init__(self, host: str, port: int) -> None: ...
    def makePickle(self, record: logging.LogRecord) -> bytes: ...
