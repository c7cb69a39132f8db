from types import TracebackType
from typing import Any, Mapping, Optional, Type

__all__ = ["KvMutex"]

_unlock_script: str

class KvMutex:
    redis_conf: Optional[Mapping[str, Any]]
    lock_name: str
    acquire_timeout: int
    lock_timeout: int
    uuid: Optional[str]
    def __init__(self, lock_name: object, redis_conf: Optional[Mapping[str, Any]] = None,
                 acquire_timeout: Any = 12, lock_timeout: Any = None) -> None: ...
    def __enter__(self) -> None: ...
    def __exit__(self, exc_type: Optional[Type[BaseException]],
                 exc_val: Optional[BaseException],
                 exc_tb: Optional[TracebackType]) -> None: ...
