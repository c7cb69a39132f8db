"""Serialise calls through plain locks taken with a time-out."""
import threading as threading
from typing import Any, Callable, Optional, Protocol, TypeVar

__all__ = ["lock_class_func", "lock_func"]

_F = TypeVar("_F", bound=Callable[..., Any])


class _Lock(Protocol):
    def acquire(self, blocking: bool = ..., timeout: float = ...) -> bool: ...
    def release(self) -> None: ...


# The wrapper has the wrapped function's call shape; its __name__ is
# "decorator" and its __doc__ None.
def get_new_func(func: _F, timeout: float, mutex: _Lock) -> _F: ...
def lock_func(mutex: Optional[_Lock] = None, timeout: float = 3) -> Callable[[_F], _F]: ...
def lock_class_func(instance: object, func: Callable[..., Any], mutex_name: str = "",
                    timeout: float = 3) -> None: ...
